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

}  // namespace tessera
