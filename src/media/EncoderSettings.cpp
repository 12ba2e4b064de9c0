#include "media/EncoderSettings.h"

#include <algorithm>
#include <cmath>

namespace tessera {

PixelSize fitWithinH264Limits(int64_t width, int64_t height) {
    const double w = width >= 3 ? static_cast<double>(width) : 2.0;
    const double h = height >= 3 ? static_cast<double>(height) : 2.0;
    const double s = std::min({4096.0 / w, 2304.0 / h, 1.0});
    // std::round rounds halves away from zero.
    auto even = [](double v) {
        int64_t n = static_cast<int64_t>(std::round(v)) & ~int64_t{1};
        return std::max<int64_t>(n, 2);
    };
    return PixelSize{even(w * s), even(h * s)};
}

int64_t videoBitrate(int64_t width, int64_t height) {
    double b = static_cast<double>(width) * static_cast<double>(height) / 2'073'600.0 * 8'000'000.0;
    b = b < 8'000'000.0 ? 8'000'000.0 : std::min(b, 10'000'000.0);
    return static_cast<int64_t>(b);
}

int64_t bitrateFor(VideoQuality quality, PixelSize fitted) {
    switch (quality) {
        case VideoQuality::high:
            return 12'000'000;
        case VideoQuality::standard:
            return 5'000'000;
        case VideoQuality::automatic:
            break;
    }
    return videoBitrate(fitted.width, fitted.height);
}

VideoEncoderSettings encoderSettingsFor(int64_t width, int64_t height) {
    const int64_t pixels = width * height;
    VideoEncoderSettings settings;
    if (pixels <= 1920 * 1200) {
        settings.preset = "veryfast";
    } else if (pixels <= 2560 * 1600) {
        settings.preset = "superfast";
    } else {
        settings.preset = "ultrafast";
        // Sliced threads: both cores work on the same frame, so x264 holds
        // no frames in flight and needs less CPU per frame here than with
        // frame threads; each frame's encoding then overlaps the conversion
        // of the next on the writer's other thread.
        settings.x264Params = "cabac=1:8x8dct=1:sliced-threads=1";
    }
    // The scaler splits its rows over two threads above 1080p, which halves
    // the conversion time there.
    settings.threads = 0;
    settings.scalerThreads = pixels > 1920 * 1200 ? 2 : 1;
    return settings;
}

}  // namespace tessera
