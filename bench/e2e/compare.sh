#!/usr/bin/env bash
# The whole program against the ffmpeg tool, recording the same screen at the
# same time: a private Xvfb of WIDTHxHEIGHT with a scrolling terminal and a
# noisy moving picture, a tone as system audio. tessera-recorder is started
# with --toggle; ffmpeg records x11grab + the sink's monitor with libx264 at
# our preset and bit rate for that size, and AAC.
#
#   bench/e2e/compare.sh [--size WxH] [--seconds N] [--only ours|ffmpeg]
#
# Prints CPU seconds per recorded second (utime + stime from /proc), frames
# captured and dropped, peak resident memory, and for the program its stop to
# link time and upload rate. Needs a Release build in build-bench (BUILD=...).
source "$(dirname "$0")/lib.sh"

size=1920x1080
duration=60
only=""
while (($#)); do
  case $1 in
    --size) size=$2; shift 2 ;;
    --seconds) duration=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) die "unknown argument $1" ;;
  esac
done
width=${size%x*}
height=${size#*x}

# What the program chooses at this size (src/media/EncoderSettings.cpp): the
# automatic bit rate grows with the pixel count from 8 to 10 Mbit/s; veryfast
# up to 1920x1200, superfast up to 2560x1600, ultrafast with High-profile
# tools and sliced threads above; no B-frames, a key frame every 2 s.
pixels=$((width * height))
bitrate=$((pixels * 8000000 / 2073600))
((bitrate < 8000000)) && bitrate=8000000
((bitrate > 10000000)) && bitrate=10000000
x264params=""
if ((pixels <= 1920 * 1200)); then
  preset=veryfast
elif ((pixels <= 2560 * 1600)); then
  preset=superfast
else
  preset=ultrafast
  x264params="cabac=1:8x8dct=1:sliced-threads=1"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tessera-e2e-XXXXXX")
trap 'stop_started' EXIT
session_start "$work" "$width" "$height"
content_start "$width" "$height"
tone_start
[ "$only" = ffmpeg ] || app_start

log "recording ${duration}s at ${width}x${height}, preset $preset, $((bitrate / 1000)) kbit/s; $(load)"
load_before=$(load)
ffmpeg_pid=""
if [ "$only" != ours ]; then
  ffmpeg -nostdin -loglevel error -progress "$work/ffmpeg.progress" \
    -f x11grab -framerate 30 -video_size "${width}x${height}" -draw_mouse 1 \
    -i "$DISPLAY+0,0" \
    -thread_queue_size 1024 -f pulse -sample_rate 48000 -channels 2 -i tessera_null.monitor \
    -c:v libx264 -preset "$preset" ${x264params:+-x264-params "$x264params"} -profile:v high \
    -b:v "$bitrate" -bf 0 -force_key_frames 'expr:gte(t,n_forced*2)' -pix_fmt yuv420p \
    -c:a aac -b:a 160k -ar 48000 -ac 2 -y "$work/ffmpeg.mp4" >"$work/ffmpeg.log" 2>&1 &
  ffmpeg_pid=$!
  STARTED_PIDS+=($ffmpeg_pid)
fi
if [ "$only" != ffmpeg ]; then
  app_command --toggle >/dev/null
  wait_for 30 app_phase_is recording || die "the app did not start recording"
fi
[ -z "$ffmpeg_pid" ] || wait_for 30 grep -q '^frame=' "$work/ffmpeg.progress" ||
  die "ffmpeg did not start (see $work/ffmpeg.log)"

t0=$(now)
[ "$only" = ffmpeg ] || app_cpu0=$(cpu_ticks "$APP_PID")
[ -z "$ffmpeg_pid" ] || ff_cpu0=$(cpu_ticks "$ffmpeg_pid")
load_samples=()
for ((s = 0; s < duration; s += 10)); do
  sleep $((duration - s < 10 ? duration - s : 10))
  load_samples+=("$(uptime | sed 's/.*load average: //; s/,.*//')")
done
t1=$(now)
[ "$only" = ffmpeg ] || app_cpu1=$(cpu_ticks "$APP_PID")
if [ -n "$ffmpeg_pid" ]; then
  ff_cpu1=$(cpu_ticks "$ffmpeg_pid")
  ff_hwm=$(hwm_kb "$ffmpeg_pid")
fi
load_after=$(load)

# Stop both at once.
[ -z "$ffmpeg_pid" ] || kill -INT "$ffmpeg_pid"
if [ "$only" != ffmpeg ]; then
  stop_at=$(now)
  app_command --toggle >/dev/null
  wait_for 120 app_finished || die "the app did not finish (see $work/app.out)"
  final_phase=$(app_status_field phase)
  done_at=$(now)
  link=$(app_status_field link)
  app_hwm=$(hwm_kb "$APP_PID")
  summary=$(app_quit_and_summary)
fi
if [ -n "$ffmpeg_pid" ]; then
  wait_for 60 sh -c "! kill -0 $ffmpeg_pid" || die "ffmpeg did not end"
fi

wall=$(echo "$t1 - $t0" | bc -l)
row() { printf '%-34s %16s %16s\n' "$@"; }
echo
echo "== ${width}x${height} at 30 fps, ${duration} s, preset $preset, $((bitrate / 1000)) kbit/s video, AAC 160 kbit/s"
echo "   load before: $load_before; after: $load_after; 1-min load every 10 s: ${load_samples[*]}"
row "" "tessera-recorder" "ffmpeg x11grab"
if [ "$only" != ffmpeg ]; then
  app_cps=$(echo "($app_cpu1 - $app_cpu0) / $CLK_TCK / $wall" | bc -l)
  frames='.*frames captured \([0-9]*\), written \([0-9]*\), dropped \([0-9]*\), repeated \([0-9]*\).*'
  captured=$(sed -n "s/$frames/\1/p" <<<"$summary")
  written=$(sed -n "s/$frames/\2/p" <<<"$summary")
  dropped=$(sed -n "s/$frames/\3/p" <<<"$summary")
  repeated=$(sed -n "s/$frames/\4/p" <<<"$summary")
  audio_dropped=$(sed -n 's/.*audio buffers dropped \([0-9]*\).*/\1/p' <<<"$summary")
  bytes=$(sed -n 's/.* \([0-9]*\) bytes.*/\1/p' <<<"$summary")
  stop_to_link=$(sed -n 's/.*stop to link \([0-9.]*\) s.*/\1/p' <<<"$summary")
fi
if [ -n "$ffmpeg_pid" ]; then
  ff_cps=$(echo "($ff_cpu1 - $ff_cpu0) / $CLK_TCK / $wall" | bc -l)
  ff_frames=$(grep '^frame=' "$work/ffmpeg.progress" | tail -1 | cut -d= -f2)
  ff_dup=$(grep '^dup_frames=' "$work/ffmpeg.progress" | tail -1 | cut -d= -f2)
  ff_drop=$(grep '^drop_frames=' "$work/ffmpeg.progress" | tail -1 | cut -d= -f2)
fi
row "CPU s per recorded s" "${app_cps:+$(printf %.3f "$app_cps")}" "${ff_cps:+$(printf %.3f "$ff_cps")}"
if [ -n "${app_cps:-}" ] && [ -n "${ff_cps:-}" ]; then
  row "  ratio ours / ffmpeg" "$(printf %.2f "$(echo "$app_cps / $ff_cps" | bc -l)")" ""
fi
row "frames captured / written" "${captured:-}/${written:-}" "${ff_frames:-}"
expected=$(printf %.0f "$(echo "30 * $wall" | bc -l)")
row "distinct frames / 30 fps x time" "${written:+$((written - repeated))/$expected}" \
  "${ff_frames:+$((ff_frames - ff_dup))/$expected}"
row "frames dropped" "${dropped:-}" "${ff_drop:-}"
row "frames repeated / duplicated" "${repeated:-}" "${ff_dup:-}"
if [ -n "${captured:-}" ] && ((captured > 0)); then
  row "  dropped %" "$(printf %.2f "$(echo "100 * $dropped / $captured" | bc -l)")" \
    "$( [ -n "${ff_frames:-}" ] && printf %.2f "$(echo "100 * $ff_dup / ($ff_frames)" | bc -l)")"
fi
row "audio buffers dropped" "${audio_dropped:-0}" ""
row "peak resident memory (VmHWM) MB" "${app_hwm:+$((app_hwm / 1024))}" "${ff_hwm:+$((ff_hwm / 1024))}"
if [ "$only" != ffmpeg ]; then
  row "stop to link, summary line (s)" "$stop_to_link" ""
  row "stop to done, seen outside (s)" "$(printf %.3f "$(echo "$done_at - $stop_at" | bc -l)")" ""
  row "upload bytes per recorded s" "$(printf %.0f "$(echo "$bytes / $wall" | bc -l)")" ""
  echo "   ended as: $final_phase"
  echo "   summary: $summary"
  echo "   link: $link"
  for f in "$WEB_DATA"/media/*/screen.mp4; do
    [ -f "$f" ] && echo "   joined on the server: $f, $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$f") s"
  done
fi
if [ -n "$ffmpeg_pid" ]; then
  echo "   ffmpeg file: $(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/ffmpeg.mp4") s, $(stat -c %s "$work/ffmpeg.mp4") bytes"
fi
echo "   (ffmpeg's dropped % column counts its duplicated frames: x11grab repeats a frame when it falls behind)"
stop_started
[ -n "${KEEP:-}" ] || rm -rf "$work"
