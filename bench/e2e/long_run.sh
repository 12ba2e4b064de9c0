#!/usr/bin/env bash
# A long recording with the whole program (not part of the tests): a private
# Xvfb with a scrolling terminal and a noisy moving picture away from the
# screen's middle, and in the middle a dark window that bench_av_marker turns
# white at the host time a 1 kHz beep sounds in the system audio. Three markers
# at the start and three at the end; the app's resident memory and CPU are
# sampled every 10 s. At the end the recording the server joined is decoded
# and the audio-video offset at the start and at the end is printed.
#
#   bench/e2e/long_run.sh [--minutes N] [--size WxH]
#
# Needs a Release build in build-bench (BUILD=...) with tessera-recorder,
# tessera-webapp and bench_av_marker. Figures go to stdout and, per sample,
# to $OUT/rss.csv (OUT defaults to a fresh folder under /tmp, kept).
source "$(dirname "$0")/lib.sh"

minutes=30
size=1920x1080
while (($#)); do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    *) die "unknown argument $1" ;;
  esac
done
width=${size%x*}
height=${size#*x}
MARKER_BIN=$BUILD/bench/bench_av_marker
[ -x "$MARKER_BIN" ] || die "no $MARKER_BIN: build bench_av_marker in $BUILD"

OUT=${OUT:-$(mktemp -d "${TMPDIR:-/tmp}/tessera-long-run-XXXXXX")}
trap 'stop_started' EXIT
session_start "$OUT" "$width" "$height"
content_start "$width" "$height" --avoid-centre

mw=240 mh=180
coproc MARKER { exec "$MARKER_BIN" play --sink tessera_null --x $(((width - mw) / 2)) \
  --y $(((height - mh) / 2)) --width $mw --height $mh 2>"$OUT/marker.log"; }
STARTED_PIDS+=($MARKER_PID)
read -r -t 30 -u "${MARKER[0]}" ready && [ "$ready" = ready ] || die "the marker did not start"

app_start '{"showCursorInRecording": false}'
# The pointer out of the way of the marker, should a cursor be drawn anyway.
xdotool mousemove $((width - 1)) $((height - 1))

lags=()
mark() {
  local answer asked
  asked=$(now)
  echo mark >&"${MARKER[1]}"
  read -r -t 30 -u "${MARKER[0]}" answer || die "the marker did not answer"
  lags+=("$(printf %.2f "$(echo "$asked - $start" | bc -l)"):${answer#marker }")
  log "marker ${#lags[@]} at ${lags[-1]%:*} s: painted ${answer#marker } ms after its beep; $(load)"
}

app_command --toggle >/dev/null
wait_for 30 app_phase_is recording || die "the app did not start recording"
start=$(now)
log "recording ${minutes} min at ${width}x${height}; $(load)"
sleep 3
for _ in 1 2 3; do
  mark
  sleep 1.5
done

echo "seconds,rss_kb,cpu_ticks,load1" >"$OUT/rss.csv"
total=$((minutes * 60))
next=10
while :; do
  elapsed=$(echo "$(now) - $start" | bc -l)
  if (($(echo "$elapsed >= $next" | bc))); then
    printf '%.1f,%s,%s,%s\n' "$elapsed" "$(rss_kb "$APP_PID")" "$(cpu_ticks "$APP_PID")" \
      "$(uptime | sed 's/.*load average: //; s/,.*//')" >>"$OUT/rss.csv"
    next=$((next + 10))
  fi
  (($(echo "$elapsed >= $total - 8" | bc))) && break
  sleep 1
done

for _ in 1 2 3; do
  mark
  sleep 1.5
done
sleep 0.5
stop_at=$(now)
app_command --toggle >/dev/null
wait_for 300 app_finished || die "the app did not finish (see $OUT/app.out)"
final_phase=$(app_status_field phase)
done_at=$(now)
recorded=$(echo "$stop_at - $start" | bc -l)
link=$(app_status_field link)
hwm=$(hwm_kb "$APP_PID")
summary=$(app_quit_and_summary)
echo quit >&"${MARKER[1]}" || true
load_end=$(load)

id=${link##*/}
file=$WEB_DATA/media/$id/screen.mp4
echo
echo "== long run: ${minutes} min at ${width}x${height}; $load_end"
echo "   ended as: $final_phase"
echo "   summary: $summary"
printf '   recorded %.1f s; stop to done seen outside %.3f s; peak resident memory %d MB\n' \
  "$recorded" "$(echo "$done_at - $stop_at" | bc -l)" $((hwm / 1024))
/usr/bin/python3 - "$OUT/rss.csv" "$(getconf CLK_TCK)" <<'EOF'
import csv, sys
rows = [tuple(map(float, r)) for r in list(csv.reader(open(sys.argv[1])))[1:]]
tck = float(sys.argv[2])
t = [r[0] for r in rows]; rss = [r[1] / 1024 for r in rows]
def at(sec):
    return min(rows, key=lambda r: abs(r[0] - sec))
first, minute, last = rows[0], at(60), rows[-1]
late = [r for r in rows if r[0] >= 120]
n = len(late)
if n >= 2:
    mt = sum(r[0] for r in late) / n; mr = sum(r[1] for r in late) / n
    slope = sum((r[0] - mt) * (r[1] - mr) for r in late) / sum((r[0] - mt) ** 2 for r in late)
else:
    slope = 0
print(f"   RSS MB: at {first[0]:.0f} s {first[1]/1024:.1f}, at {minute[0]:.0f} s {minute[1]/1024:.1f}, "
      f"max {max(rss):.1f}, at the end ({last[0]:.0f} s) {last[1]/1024:.1f}; "
      f"growth from minute 1 to the end {(last[1]-minute[1])/1024:+.1f} MB; "
      f"trend after minute 2 {slope*3600/1024:+.1f} MB/h")
cpu = (last[2] - first[2]) / tck / (last[0] - first[0])
print(f"   CPU s per recorded s over the run: {cpu:.3f}; 1-min load between {min(r[3] for r in rows):.2f} "
      f"and {max(r[3] for r in rows):.2f}")
EOF
echo "   markers (s after the start : ms painted after the beep): ${lags[*]}"
[ -f "$file" ] || die "no joined recording at $file"
"$MARKER_BIN" analyse "$file" "${lags[@]}" | sed 's/^/   /' || true
echo "   files kept in $OUT"
