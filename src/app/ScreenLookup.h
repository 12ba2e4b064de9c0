#pragma once

#include <optional>

#include "support/Geometry.h"

// Helpers that relate displays, screens and window frames. The pure parts live
// here; the lookups that ask the display server are added by the platform layer.
namespace tessera::ScreenLookup {

// The frame assumed when no screen is known at all, in points.
inline constexpr Rect fallbackFrame{0, 0, 1280, 800};

// The size factor of the floating windows for a screen of the given height in
// points (none = no screen known, which counts as the fallback frame's 800):
// 1.0 up to 900 points, then height / 900, at most 1.8. A height that is not
// greater than 0 gives 1.0.
double chromeScale(std::optional<double> screenHeight);

}  // namespace tessera::ScreenLookup
