#!/usr/bin/env bash
# The idle application as a user starts it: time from exec to the tray icon,
# resident memory after 10 s, and CPU over 60 s of idling, on a private X
# server (Xvfb + openbox + trayer) and session bus. Prints figures.
#   bash bench/bench_app_idle.sh [path/to/tessera-recorder] [idle seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
app=${1:-$root/build/src/app/entry/tessera-recorder}
idle=${2:-60}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
read -r -t 10 display <&3
export DISPLAY=":$display"
openbox >/dev/null 2>&1 &
pids+=($!)
dbus-daemon --session --fork --print-address=4 --print-pid=5 4>"$work/bus" 5>"$work/bus.pid"
pids+=("$(cat "$work/bus.pid")")
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus")
trayer --edge top --align right --SetDockType true --height 24 >/dev/null 2>&1 &
tray_pid=$!
pids+=("$tray_pid")
for _ in $(seq 200); do
  [ -n "$(xdotool search --onlyvisible --pid "$tray_pid" 2>/dev/null)" ] && break
  sleep 0.05
done
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state XDG_CACHE_HOME=$work/cache

now_ms() { date +%s%3N; }
start=$(now_ms)
"$app" >"$work/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")
until [ -n "$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null)" ]; do
  kill -0 "$app_pid" 2>/dev/null || { echo "the app ended:"; cat "$work/app.log"; exit 1; }
done
icon=$(( $(now_ms) - start ))

sleep 10
rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$app_pid/status")

ticks() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$idle"
after=$(ticks)
cpu=$(awk -v t=$((after - before)) -v hz="$hz" -v s="$idle" 'BEGIN { printf "%.2f", 100 * t / hz / s }')

printf '%-34s %10s\n' "figure" "value"
printf '%-34s %8d ms\n' "exec to tray icon" "$icon"
printf '%-34s %8.1f MB\n' "resident memory after 10 s" "$(awk -v k="$rss_kb" 'BEGIN { print k / 1024 }')"
printf '%-34s %8s %%\n' "CPU over ${idle} s idle" "$cpu"
