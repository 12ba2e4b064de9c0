#include "app/FormatElapsed.h"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace tessera {

std::string formatElapsed(double seconds) {
    // Keeps the conversion to an integer defined for any input.
    constexpr double kMaxSeconds = 3600.0 * 1'000'000;
    const double clamped = seconds > 0 ? std::fmin(std::floor(seconds), kMaxSeconds) : 0.0;
    const auto s = static_cast<std::int64_t>(clamped);
    const std::int64_t h = s / 3600;
    const std::int64_t m = (s - 3600 * h) / 60;
    const std::int64_t r = s % 60;
    char text[48];
    if (s < 3600) {
        std::snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64, m, r);
    } else {
        std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, h, m, r);
    }
    return text;
}

}  // namespace tessera
