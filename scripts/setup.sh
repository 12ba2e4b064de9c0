#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: installs only what is missing, and refreshes the package lists
# only when something is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake pkg-config git clang-format
  # packaging (dpkg-shlibdeps computes the Debian dependencies)
  dpkg-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # core libraries
  nlohmann-json3-dev libcurl4-openssl-dev uuid-dev curl
  # media
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libavdevice-dev ffmpeg
  # reference web app
  libcpp-httplib-dev
  # logging
  libspdlog-dev
  # X11 capture, windows and hot keys
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-composite0-dev
  libxcb-xfixes0-dev libxcb-xinput-dev libxcb-ewmh-dev libxcb-icccm4-dev
  libxcb-keysyms1-dev libx11-dev libx11-xcb-dev libxcb-damage0-dev
  # audio
  libpulse-dev pulseaudio pulseaudio-utils
  # camera effects
  libopencv-dev
  # user interface
  qt6-base-dev
  # camera models: fetched with npm (which nodejs brings), converted from TFLite to ONNX at build time
  nodejs python3-onnx python3-numpy python3-flatbuffers python3-opencv
  # test environment: X server, window manager, tray host, compositor, session
  # bus, clipboard and input helpers
  xvfb openbox x11-apps xdotool trayer xcompmgr xclip dbus-daemon dbus-bin
  libxcb-xtest0-dev libxcb-shape0-dev
  # end-to-end benchmarks: a scrolling terminal as screen content
  xterm
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Camera-effect models and test photos, into a cache outside git.
bash "$(dirname "$0")/fetch-models.sh"
