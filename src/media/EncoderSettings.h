#pragma once

// Size, bit-rate and x264 rules for the screen video. Pure functions.

#include <cstdint>
#include <string>

#include "app/SettingsTypes.h"

namespace tessera {

struct PixelSize {
    int64_t width = 0;
    int64_t height = 0;
    friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The largest even size within the H.264 limits of 4096 x 2304 with the same
// aspect ratio (up to rounding); never smaller than 2 x 2.
PixelSize fitWithinH264Limits(int64_t width, int64_t height);

// The automatic bit rate: 8 Mbit/s at 1920 x 1080 and below, growing with the pixel
// count up to 10 Mbit/s.
int64_t videoBitrate(int64_t width, int64_t height);

// The screen video's bit rate for a quality setting and the fitted size.
int64_t bitrateFor(VideoQuality quality, PixelSize fitted);

// x264 preset and threading chosen for a picture size.
struct VideoEncoderSettings {
    std::string preset;
    std::string x264Params;
    // 0: x264 picks its thread count from the cores.
    int threads = 0;
    // How many threads the BGRA to yuv420p scaler splits its rows over.
    int scalerThreads = 1;
};

// Kept per size so that capture, conversion and encoding keep real time on a
// two-core machine: x264 "veryfast" encodes about 120 fps of 1080p screen
// content with both cores, "superfast" about 100 fps at 1440p and "ultrafast"
// about 80 fps at 4K, so each leaves more than half of the machine to capture
// and conversion at 30 fps. "ultrafast" alone falls back to Constrained
// Baseline; cabac and 8x8 transforms are switched back on to stay within High
// profile at the same speed, and its threads work on slices of one frame (no
// frames in flight).
VideoEncoderSettings encoderSettingsFor(int64_t width, int64_t height);

}  // namespace tessera
