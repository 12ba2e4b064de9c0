# Shared parts of the end-to-end benchmarks, sourced by compare.sh and
# long_run.sh: a private desktop session (Xvfb + openbox + tray host, a session
# bus, PulseAudio with a null sink and a fake microphone, the reference web
# app), moving screen content, and the installed tessera-recorder driven from
# the command line. Every process started here is remembered by its pid and
# stopped by that pid when the script ends.

set -euo pipefail

E2E_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${BUILD:-$E2E_ROOT/build-bench}
RECORDER_BIN=$BUILD/src/app/entry/tessera-recorder
WEBAPP_BIN=$BUILD/webapp/tessera-webapp
CLK_TCK=$(getconf CLK_TCK)

STARTED_PIDS=()

log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() {
  log "error: $*"
  exit 1
}
load() { uptime | sed 's/.*load average: /load /'; }

stop_started() {
  local pid
  for ((i = ${#STARTED_PIDS[@]} - 1; i >= 0; i--)); do
    pid=${STARTED_PIDS[i]}
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${STARTED_PIDS[@]}"; do
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  done
  STARTED_PIDS=()
}

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds.
wait_for() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}

# session_start DIR WIDTH HEIGHT: Xvfb, window manager, tray host, bus,
# PulseAudio and the web app, all private to DIR. Exports DISPLAY,
# DBUS_SESSION_BUS_ADDRESS, PULSE_SERVER and sets WEB_URL, WEB_DATA.
session_start() {
  SESSION=$1
  local width=$2 height=$3
  mkdir -p "$SESSION"/{pulse,web,home/{config,state,cache,data,tmp,videos},prefix/bin,prefix/share/applications}
  [ -x "$RECORDER_BIN" ] || die "no $RECORDER_BIN: build tessera-recorder in $BUILD"
  [ -x "$WEBAPP_BIN" ] || die "no $WEBAPP_BIN: build tessera-webapp in $BUILD"

  : >"$SESSION/displayfd"
  Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp -noreset \
    3>"$SESSION/displayfd" 2>"$SESSION/xvfb.log" &
  STARTED_PIDS+=($!)
  wait_for 20 grep -q . "$SESSION/displayfd" || die "Xvfb did not start"
  export DISPLAY=":$(head -1 "$SESSION/displayfd")"

  openbox >"$SESSION/openbox.log" 2>&1 &
  STARTED_PIDS+=($!)
  wait_for 20 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
    die "openbox did not start"
  trayer --edge top --align right --SetDockType true --widthtype request --height 24 \
    >"$SESSION/trayer.log" 2>&1 &
  STARTED_PIDS+=($!)

  dbus-daemon --session --nofork --nopidfile --print-address=1 >"$SESSION/bus" 2>/dev/null &
  STARTED_PIDS+=($!)
  wait_for 20 grep -q . "$SESSION/bus" || die "dbus-daemon did not start"
  export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$SESSION/bus")

  (
    export HOME=$SESSION/pulse XDG_RUNTIME_DIR=$SESSION/pulse XDG_CONFIG_HOME=$SESSION/pulse
    unset DISPLAY
    exec pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --disallow-exit \
      --use-pid-file=no \
      -L "module-null-sink sink_name=tessera_null rate=48000 channels=2 sink_properties=device.description=Null" \
      -L "module-remap-source source_name=tessera_mic master=tessera_null.monitor source_properties=device.description=Microphone" \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$SESSION/pulse/native" \
      -L module-always-sink
  ) >"$SESSION/pulse.log" 2>&1 &
  STARTED_PIDS+=($!)
  export PULSE_SERVER=unix:$SESSION/pulse/native
  wait_for 20 pactl info || die "pulseaudio did not start"
  pactl set-default-sink tessera_null
  pactl set-default-source tessera_mic

  "$WEBAPP_BIN" --port 0 --data-dir "$SESSION/web" >"$SESSION/web.log" 2>&1 &
  STARTED_PIDS+=($!)
  wait_for 20 grep -q '^Listening on ' "$SESSION/web.log" || die "the web app did not start"
  WEB_URL=$(sed -n 's/^Listening on //p' "$SESSION/web.log" | head -1)
  WEB_DATA=$SESSION/web
  log "session $DISPLAY ${width}x${height}, web app $WEB_URL"
}

# content_start WIDTH HEIGHT [--avoid-centre]: a terminal scrolling text in the
# top-left quarter and a film-like moving, noisy picture in the bottom-right
# quarter. With --avoid-centre both keep clear of the screen's middle.
content_start() {
  local width=$1 height=$2 avoid=${3:-}
  local qw=$((width / 2)) qh=$((height / 2)) vx vy cols rows
  local fontsize=$((height / 90))
  if [ "$avoid" = --avoid-centre ]; then
    qw=$((width * 2 / 5))
    qh=$((height * 2 / 5))
  fi
  cols=$((qw / (fontsize * 8 / 10 + 1)))
  rows=$((qh / (fontsize * 18 / 10)))
  xterm -geometry "${cols}x${rows}+0+0" -fa 'DejaVu Sans Mono' -fs "$fontsize" \
    -bg black -fg '#c0c0c0' -e bash -c '
      while :; do
        for f in /usr/include/*.h /usr/include/linux/*.h; do
          while IFS= read -r line; do printf "%s\n" "$line"; sleep 0.02; done <"$f"
        done
      done' >"$SESSION/xterm.log" 2>&1 &
  STARTED_PIDS+=($!)
  vx=$((width - qw))
  vy=$((height - qh))
  SDL_VIDEODRIVER=x11 ffplay -loglevel error -an -noborder -left "$vx" -top "$vy" \
    -f lavfi "testsrc2=size=${qw}x${qh}:rate=30,noise=alls=24:allf=t+u,hue=H=0.4*t" \
    >"$SESSION/ffplay.log" 2>&1 &
  STARTED_PIDS+=($!)
  wait_for 20 xdotool search --onlyvisible --class xterm || die "xterm did not show"
  wait_for 20 xdotool search --onlyvisible --pid "$!" || die "ffplay did not show"
}

# A tone on the null sink, heard as system audio by both recorders.
tone_start() {
  ffmpeg -nostdin -loglevel error -re -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -ac 2 -f pulse -device tessera_null tone >"$SESSION/tone.log" 2>&1 &
  STARTED_PIDS+=($!)
}

# app_start [JSON settings merged over the defaults]: installs the program as
# an installation (bin/ beside share/applications/), writes its settings and
# starts it; returns once it reports the idle phase. Sets APP_PID.
app_start() {
  local extra=${1:-'{}'}
  cp "$RECORDER_BIN" "$SESSION/prefix/bin/tessera-recorder"
  cp "$E2E_ROOT/data/com.tessera.recorder.desktop" "$SESSION/prefix/share/applications/"
  mkdir -p "$SESSION/home/config/tessera-recorder"
  /usr/bin/python3 - "$SESSION/home/config/tessera-recorder/settings.json" "$WEB_URL" "$extra" <<'EOF'
import json, sys
settings = {"serverBaseURL": sys.argv[2], "countdownEnabled": False,
            "notifyWhenReady": False, "autoCopyShareLink": False,
            "controlStripVisibility": "hidden", "captureMode": "display",
            "systemAudioEnabled": True, "captureFrameRate": 30, "videoQuality": "auto"}
settings.update(json.loads(sys.argv[3]))
json.dump(settings, open(sys.argv[1], "w"), indent=2)
EOF
  (exec_app_env "$SESSION/prefix/bin/tessera-recorder") >"$SESSION/app.out" 2>&1 &
  APP_PID=$!
  STARTED_PIDS+=($APP_PID)
  wait_for 30 app_phase_is idle || die "the app did not come up (see $SESSION/app.out)"
}

exec_app_env() {
  local h=$SESSION/home
  exec env XDG_CONFIG_HOME="$h/config" XDG_STATE_HOME="$h/state" XDG_CACHE_HOME="$h/cache" \
    XDG_DATA_HOME="$h/data" TMPDIR="$h/tmp" XDG_VIDEOS_DIR="$h/videos" QT_QPA_PLATFORM=xcb \
    "$@"
}
app_env() {
  local h=$SESSION/home
  env XDG_CONFIG_HOME="$h/config" XDG_STATE_HOME="$h/state" XDG_CACHE_HOME="$h/cache" \
    XDG_DATA_HOME="$h/data" TMPDIR="$h/tmp" XDG_VIDEOS_DIR="$h/videos" QT_QPA_PLATFORM=xcb \
    "$@"
}
app_command() { app_env "$SESSION/prefix/bin/tessera-recorder" "$@"; }
app_status_field() { app_command --status 2>/dev/null | sed -n "s/^$1: //p"; }
app_phase_is() { [ "$(app_status_field phase)" = "$1" ]; }
# Done or failed: the recording has ended either way.
app_finished() {
  local phase
  phase=$(app_status_field phase)
  [ "$phase" = done ] || [[ "$phase" == error* ]]
}

# Quits the app cleanly (which also flushes its log) and prints its summary line.
app_quit_and_summary() {
  kill -TERM "$APP_PID"
  for _ in $(seq 100); do
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
  done
  cat "$SESSION"/home/state/tessera-recorder/*.log* 2>/dev/null | grep ' recording .*frames captured' | tail -1
}

# cpu_ticks PID: user + system clock ticks of a process so far.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
hwm_kb() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
now() { date +%s.%N; }
