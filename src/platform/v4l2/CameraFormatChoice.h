#pragma once

// Which capture format to ask a camera for: pure rules, no device.

#include <cstdint>
#include <vector>

#include "platform/v4l2/V4l2Device.h"

namespace tessera {

struct PixelSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const PixelSize&, const PixelSize&) = default;
};

// The largest picture the camera is asked for.
constexpr PixelSize kCameraMaxSize{1280, 720};

// The pixel formats the frame decoder reads, in order of preference, that the
// camera offers: MJPEG first (a USB camera sends full-size pictures at full
// rate only compressed), then YUYV.
std::vector<std::uint32_t> preferredPixelFormats(const std::vector<std::uint32_t>& offered);

// The size to ask for, given what the driver offers for one pixel format:
// the largest discrete size (by area, then width) within `limit`, else the
// smallest one offered; within a stepwise or continuous range, `limit`
// clamped to the range and rounded down to its steps; `limit` itself when the
// driver lists nothing (it adjusts the request to what it can do).
PixelSize chooseFrameSize(const std::vector<V4l2FrameSizes>& offered, PixelSize limit);

}  // namespace tessera
