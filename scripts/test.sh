#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then builds the unit
# tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

echo "== formatting"
bash scripts/format.sh --check

echo "== build"
bash scripts/build.sh "$root/build"
echo "== all tests"
(cd build && ctest --output-on-failure -j 2 --timeout 600)

echo "== sanitizer build (unit tests)"
bash scripts/build.sh "$root/build-asan" -DTESSERA_SANITIZE=ON -DTESSERA_BUILD_BENCH=OFF -- unit_tests
echo "== unit tests under ASan and UBSan"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j 2 -L unit --timeout 600)
