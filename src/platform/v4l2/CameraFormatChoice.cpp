#include "platform/v4l2/CameraFormatChoice.h"

#include <algorithm>
#include <optional>

namespace tessera {

std::vector<std::uint32_t> preferredPixelFormats(const std::vector<std::uint32_t>& offered) {
    std::vector<std::uint32_t> result;
    for (std::uint32_t format : {kPixelFormatMjpeg, kPixelFormatYuyv}) {
        if (std::find(offered.begin(), offered.end(), format) != offered.end()) {
            result.push_back(format);
        }
    }
    return result;
}

namespace {

// The largest value of min + k·step (k ≥ 0) that is at most `wanted` and
// `max`; `min` when even that is above `wanted`.
int fitToSteps(int wanted, int min, int max, int step) {
    const int bounded = std::clamp(wanted, min, std::max(min, max));
    return min + (bounded - min) / std::max(1, step) * std::max(1, step);
}

long area(const PixelSize& size) {
    return static_cast<long>(size.width) * size.height;
}

// Orders sizes by area, then by width.
bool smaller(const PixelSize& a, const PixelSize& b) {
    return area(a) != area(b) ? area(a) < area(b) : a.width < b.width;
}

}  // namespace

PixelSize chooseFrameSize(const std::vector<V4l2FrameSizes>& offered, PixelSize limit) {
    std::vector<PixelSize> discrete;
    for (const V4l2FrameSizes& sizes : offered) {
        if (!sizes.discrete) {
            return {fitToSteps(limit.width, sizes.minWidth, sizes.maxWidth, sizes.stepWidth),
                    fitToSteps(limit.height, sizes.minHeight, sizes.maxHeight, sizes.stepHeight)};
        }
        if (sizes.maxWidth > 0 && sizes.maxHeight > 0) {
            discrete.push_back({sizes.maxWidth, sizes.maxHeight});
        }
    }
    if (discrete.empty()) {
        return limit;
    }
    std::optional<PixelSize> best;
    for (const PixelSize& size : discrete) {
        if (size.width <= limit.width && size.height <= limit.height &&
            (!best || smaller(*best, size))) {
            best = size;
        }
    }
    if (best) {
        return *best;
    }
    return *std::min_element(discrete.begin(), discrete.end(), smaller);
}

}  // namespace tessera
