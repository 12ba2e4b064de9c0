#!/usr/bin/env bash
# Builds tessera-recorder (Release) and installs it with its desktop entry,
# icon and camera-effect models, under ~/.local or --prefix. The list of the
# installed files is kept, so --uninstall removes exactly those.
#   ./build-app.sh [--prefix DIR]
#   ./build-app.sh --uninstall [--prefix DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
prefix="$HOME/.local"
uninstall=false
while (($#)); do
  case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --prefix=*) prefix=${1#--prefix=}; shift ;;
    --uninstall) uninstall=true; shift ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
prefix=$(realpath -m "$prefix")
manifest="$prefix/share/tessera-recorder/installed-files.txt"

if $uninstall; then
  if [ ! -f "$manifest" ]; then
    echo "Nothing to remove: no installation under $prefix." >&2
    exit 1
  fi
  while IFS= read -r file || [ -n "$file" ]; do
    [ -n "$file" ] && rm -f -- "$file"
  done <"$manifest"
  rm -f -- "$manifest"
  # Folders of ours that are now empty go too; shared ones stay.
  rmdir --ignore-fail-on-non-empty "$prefix/share/tessera-recorder/models" \
    "$prefix/share/tessera-recorder" 2>/dev/null || true
  echo "Removed Tessera Recorder from $prefix."
  exit 0
fi

# The desktop entry names the program by its full path, which must be writable
# there: quoted when it holds a space or a shell character, and never one of
# the characters that would need escapes inside the quotes.
program=$prefix/bin/tessera-recorder
case $program in
  *[\"\`\$\\%]* | *$'\n'*)
    echo "The prefix may not hold \", \`, \$, \\, % or a line break." >&2
    exit 2 ;;
esac
exec_program=$program
if [[ $program =~ [[:space:]\'\<\>~\|\&\;\*\?\#\(\)] ]]; then exec_program="\"$program\""; fi

bash "$root/scripts/setup.sh"
build="$root/build-release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSERA_BUILD_TESTS=OFF \
  -DTESSERA_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tessera-recorder
cmake --install "$build" --component recorder
# The menu must find the program even when
# $prefix/bin is not on PATH.
entry=$prefix/share/applications/com.tessera.recorder.desktop
rewritten=$(while IFS= read -r line; do
  if [[ $line == Exec=tessera-recorder* ]]; then line="Exec=$exec_program${line#Exec=tessera-recorder}"; fi
  printf '%s\n' "$line"
done <"$entry")
printf '%s\n' "$rewritten" >"$entry"
mkdir -p "$(dirname "$manifest")"
# CMake's list ends without a newline; one line per file here.
{ cat "$build/install_manifest_recorder.txt"; echo; echo "$manifest"; } | sed '/^$/d' >"$manifest"
# No update-desktop-database: the entry declares no MIME types, and the cache it
# writes would be a file outside the list that --uninstall removes.
echo "Installed Tessera Recorder under $prefix: run $prefix/bin/tessera-recorder"
