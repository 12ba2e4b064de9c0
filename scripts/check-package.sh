#!/usr/bin/env bash
# Manual check of the Debian packages on a machine that has only what they
# declare: builds both .deb files with CPack, installs them with apt into a
# fresh minimal Debian 12 (debootstrap, variant minbase) so that apt resolves
# their computed Depends, then inside that system runs
#   tessera-recorder --version,
#   tessera-recorder under xvfb-run + dbus-run-session until it answers
#   "phase: idle" on the session bus (the X server and the session bus are
#   test tools installed after the packages, not dependencies),
#   tessera-webapp on a loopback port until it answers over HTTP.
# Needs root (debootstrap, chroot, mounts) and the network (deb.debian.org).
# Not part of CI: the first run puts a base system (about 200 MB) into
# .cache/package-check (kept and reused, as are the downloaded packages; each
# run installs into a fresh copy of it).
#   sudo bash scripts/check-package.sh [build-dir]      (default: build-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-release}")
work=$root/.cache/package-check
base=$work/bookworm-base
target=$work/bookworm-check
mirror=http://deb.debian.org/debian

if [ "$(id -u)" -ne 0 ]; then
  echo "Run as root: debootstrap, chroot and mount need it." >&2
  exit 1
fi
step() { printf '\n== %s\n' "$*"; }

if ! command -v debootstrap >/dev/null; then
  step "installing debootstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap
fi

step "building the packages in $build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTESSERA_BUILD_TESTS=OFF \
    -DTESSERA_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target tessera-recorder tessera-webapp
rm -f "$build"/tessera-recorder_*.deb "$build"/tessera-webapp_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/tessera-recorder_*.deb "$build"/tessera-webapp_*.deb)
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "CPack made no $deb" >&2; exit 1; }
  echo "$(basename "$deb"):"
  dpkg-deb -f "$deb" Package Version Depends Recommends | sed 's/^/  /'
done

if [ ! -x "$base/usr/bin/apt-get" ]; then
  step "debootstrap bookworm (minbase) into $base"
  rm -rf "$base"
  mkdir -p "$work"
  debootstrap --variant=minbase bookworm "$base" "$mirror"
fi

step "a fresh copy of the base system"
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
# A mount left behind by an interrupted run would make rm -rf reach the host's
# /dev: unmount first, and stop if anything is still mounted there.
for m in var/cache/apt/archives dev/shm dev/pts dev sys proc; do umount -l "$target/$m" 2>/dev/null || true; done
if grep -q " $target/" /proc/mounts; then
  echo "Something is still mounted under $target; not removing it." >&2
  exit 1
fi
rm -rf "$target"
cp -a "$base" "$target"
for m in proc sys dev dev/pts; do
  case $m in
    proc) mount -t proc proc "$target/proc" ;;
    sys) mount -t sysfs sys "$target/sys" ;;
    *) mount --bind "/$m" "$target/$m" ;;
  esac
  mounted+=("$target/$m")
done
# MIT-SHM and Qt need a writable /dev/shm of their own.
mount -t tmpfs shm "$target/dev/shm"
mounted+=("$target/dev/shm")
# The downloaded .debs are kept between runs.
mkdir -p "$work/apt-archives/partial"
mount --bind "$work/apt-archives" "$target/var/cache/apt/archives"
mounted+=("$target/var/cache/apt/archives")
cp /etc/resolv.conf "$target/etc/resolv.conf"
mkdir -p "$target/tmp/debs"
cp "${debs[@]}" "$target/tmp/debs/"

in_chroot() {
  chroot "$target" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"
}

step "apt-get install ./tessera-recorder.deb ./tessera-webapp.deb (Depends only)"
in_chroot apt-get update -q >/dev/null
in_chroot sh -c 'apt-get install -y -q --no-install-recommends /tmp/debs/*.deb' |
  grep -E '^(Setting up tessera|[0-9]+ upgraded|E:)' || true
in_chroot dpkg -s tessera-recorder tessera-webapp >/dev/null

step "installed files"
in_chroot sh -c 'dpkg -L tessera-recorder tessera-webapp | while read -r f; do [ -f "$f" ] && echo "  $f"; done'
for f in /usr/share/applications/com.tessera.recorder.desktop \
  /usr/share/icons/hicolor/scalable/apps/com.tessera.recorder.svg \
  /usr/share/tessera-recorder/models/LICENSE /usr/share/tessera-recorder/models/NOTICE; do
  [ -s "$target$f" ] || { echo "missing: $f" >&2; exit 1; }
done
models=$(find "$target/usr/share/tessera-recorder/models" -name '*.onnx' | wc -l)
echo "  $models camera-effect models"
[ "$models" -ge 3 ] || { echo "the camera-effect models are missing" >&2; exit 1; }

step "libraries the programs and the Qt X11 plugin cannot find"
in_chroot sh -c 'for f in /usr/bin/tessera-recorder /usr/bin/tessera-webapp \
    /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so; do
  ldd "$f" | grep "not found" | sed "s|^|$f: |"; done; true' | tee "$work/missing-libraries.txt"
[ ! -s "$work/missing-libraries.txt" ] || exit 1
echo "  none"

step "tessera-recorder --version"
in_chroot tessera-recorder --version

step "test tools (not dependencies): xvfb, xauth, dbus, curl"
in_chroot apt-get install -y -q --no-install-recommends xvfb xauth dbus dbus-bin curl >/dev/null

step "tessera-recorder under xvfb-run and dbus-run-session"
# Ready means it answers "phase: idle" on the session bus; then SIGTERM, which
# it handles by quitting cleanly, and its log (written out at exit) must say
# it started.
in_chroot sh -c '
  export XDG_STATE_HOME=/tmp/state XDG_CONFIG_HOME=/tmp/config XDG_RUNTIME_DIR=/tmp/run
  mkdir -p /tmp/run && chmod 700 /tmp/run
  xvfb-run -a -s "-screen 0 1280x800x24" dbus-run-session -- sh -c "
    tessera-recorder >/tmp/recorder.out 2>&1 & pid=\$!
    for i in \$(seq 300); do
      tessera-recorder --status 2>/dev/null | grep -q \"phase: idle\" && break
      kill -0 \$pid 2>/dev/null || break
      sleep 0.1
    done
    tessera-recorder --status >/tmp/status.out 2>&1
    kill -TERM \$pid 2>/dev/null; wait \$pid; echo \"  exit status \$?\""
  sed "s/^/  log: /" /tmp/state/tessera-recorder/tessera-recorder.log
  sed "s/^/  stderr: /" /tmp/recorder.out
  sed "s/^/  --status: /" /tmp/status.out
  grep -q "phase: idle" /tmp/status.out &&
    grep -q "\[app\] started" /tmp/state/tessera-recorder/tessera-recorder.log'

step "tessera-webapp: a start that answers over HTTP"
in_chroot sh -c '
  mkdir -p /tmp/webapp-data
  tessera-webapp --port 3199 --data-dir /tmp/webapp-data >/tmp/webapp.out 2>&1 & pid=$!
  for i in $(seq 100); do
    curl -sf -o /dev/null http://127.0.0.1:3199/api/recordings && break
    sleep 0.1
  done
  curl -sf -w "  GET /api/recordings: HTTP %{http_code}\n" -o /dev/null http://127.0.0.1:3199/api/recordings
  status=$?
  kill -TERM $pid; wait $pid
  exit $status'

step "the packages install and run on a minimal Debian 12"
