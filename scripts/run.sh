#!/usr/bin/env bash
# Quick start: installs what is missing, builds a Release tree, starts the
# reference web app on port 3123 when nothing answers there, and starts
# tessera-recorder. Ctrl+C (or quitting the recorder) stops what this script
# started; a web app that was already running is left alone.
#   bash scripts/run.sh [tessera-recorder options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"
port=3123

# Before the long build: the recorder needs an X session.
if [ -z "${DISPLAY:-}" ]; then
  echo "No X display (DISPLAY is not set): start the recorder from a desktop session." >&2
  exit 1
fi

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSERA_BUILD_TESTS=OFF \
  -DTESSERA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tessera-recorder tessera-webapp

started=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

answers() { curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/api/recordings"; }

if answers; then
  echo "A server already answers on port $port; the recorder uses it."
else
  data="${XDG_DATA_HOME:-$HOME/.local/share}/tessera-webapp"
  mkdir -p "$data"
  "$build/webapp/tessera-webapp" --port "$port" --data-dir "$data" &
  started+=($!)
  for _ in $(seq 100); do answers && break; sleep 0.1; done
  answers || { echo "The web app did not start on port $port." >&2; exit 1; }
  echo "Web app: http://127.0.0.1:$port (data in $data)"
fi

"$build/src/app/entry/tessera-recorder" "$@" &
started+=($!)
echo "Tessera Recorder is running: click its tray icon (without a tray its panel is open). Ctrl+C here quits it."
wait "${started[-1]}"
