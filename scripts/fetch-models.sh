#!/usr/bin/env bash
# Fetches what the camera effects need and keeps it outside git, in
#   $XDG_CACHE_HOME/tessera-recorder/models   (or <repo>/.cache/models without XDG_CACHE_HOME)
# - the MediaPipe person-segmentation and face-detection models (TFLite) from npm, pinned by
#   version and checksum, with their licence and attribution; the build converts them to ONNX;
# - two photos of people that Debian ships, used by the effect tests.
# Idempotent: does nothing for files that are already there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${XDG_CACHE_HOME:-}" ]; then
  cache=$XDG_CACHE_HOME/tessera-recorder/models
else
  cache=$root/.cache/models
fi
mkdir -p "$cache"

# package@version  tarball sha256  files to keep
npm_packages=(
  "@mediapipe/selfie_segmentation@0.1.1675465747 7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9 selfie_segmentation_landscape.tflite selfie_segmentation.tflite"
  "@mediapipe/face_detection@0.4.1657300184 a118cde74923dc4435257fbfbb613464a0f58d115dff6314d4ff96c8aebf6419 face_detection_short_range.tflite face_detection_full_range.tflite"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt-get download writes as the _apt user when it can

for entry in "${npm_packages[@]}"; do
  read -r spec sum files <<<"$entry"
  missing=0
  for f in $files; do [ -s "$cache/$f" ] || missing=1; done
  [ "$missing" = 1 ] || continue
  echo "Fetching $spec"
  (cd "$work" && npm pack --silent "$spec" >/dev/null)
  tarball=$(ls "$work"/*.tgz)
  echo "$sum  $tarball" | sha256sum -c --quiet -
  for f in $files; do
    tar -xzf "$tarball" -C "$work" "package/$f"
    install -m 644 "$work/package/$f" "$cache/$f"
  done
  rm -f "$tarball"
done

# The packages carry no licence file; their package.json says Apache-2.0.
if [ ! -s "$cache/LICENSE" ]; then
  cp /usr/share/common-licenses/Apache-2.0 "$cache/LICENSE"
fi
cat >"$cache/NOTICE" <<NOTICE
Camera effect models: MediaPipe Selfie Segmentation and MediaPipe Face Detection (BlazeFace),
Copyright Google LLC, licensed under the Apache License, Version 2.0 (see LICENSE).
Taken from the npm packages ${npm_packages[0]%% *} and ${npm_packages[1]%% *}
and converted from TFLite to ONNX without changing their weights.
NOTICE

# Test photos: package, version, file inside the package, name in the cache.
photos=(
  "opencv-doc 4.6.0+dfsg-12 usr/share/doc/opencv-doc/examples/data/messi5.jpg messi5.jpg"
  "python3-skimage 0.19.3-8 usr/lib/python3/dist-packages/skimage/data/astronaut.png astronaut.png"
)
for entry in "${photos[@]}"; do
  read -r package version path name <<<"$entry"
  [ -s "$cache/$name" ] && continue
  echo "Fetching $name from $package"
  (cd "$work" && apt-get download -q "$package=$version" >/dev/null)
  dpkg -x "$work"/"${package}"_*.deb "$work/$package"
  cp "$work/$package/$path" "$cache/$name"
  rm -rf "$work/$package" "$work"/"${package}"_*.deb
done
