#pragma once

// Size and bit-rate rules for the screen video. Pure functions.

#include <cstdint>

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

}  // namespace tessera
