#pragma once

#include <optional>

#include "support/Geometry.h"

namespace tessera::views {

// Where the drop-down panel hangs. Everything here is in global points: origin
// at the bottom-left of the main screen, y upward. The window layer converts
// with toTopDown / fromTopDown and nowhere else.

// Gap between the panel and the tray icon above it.
inline constexpr double kPanelIconGap = 6;
// Distance the panel keeps from the edges of the screen's usable area.
inline constexpr double kPanelScreenMargin = 12;
// The screen assumed when the desktop reports none.
inline constexpr Rect kFallbackScreen{0, 0, 1280, 800};

struct PanelScreens {
    // The tray icon's rectangle; none when the tray reports no geometry.
    std::optional<Rect> icon;
    // The usable area (without panels and docks) of the screen that shows the
    // icon, and of the main screen.
    std::optional<Rect> iconScreenArea;
    std::optional<Rect> mainScreenArea;
};

// The panel's top-left corner, computed once when it is shown: centred 6
// points under the icon and kept 12 points inside the usable area's left and
// right edges; without an icon, the top-right corner of the main screen's
// usable area, 12 points in. A tray at the bottom of the screen leaves no room
// below its icon, so there the panel opens above it (its bottom 6 points over
// the icon) when it fits that way.
Point panelAnchor(Size panelSize, const PanelScreens& screens);

// The panel's frame for its current size: the top edge stays at the anchor,
// so content that grows extends the panel downward.
Rect panelFrame(Point anchorTopLeft, Size panelSize);

// A rectangle in the toolkit's coordinates: origin at the top-left of the
// virtual desktop, y downward.
struct TopDownRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    friend bool operator==(const TopDownRect&, const TopDownRect&) = default;
};

// Global points ↔ toolkit coordinates, given where the toolkit puts the main
// screen. Points and toolkit units are the same size (device-independent).
TopDownRect toTopDown(const Rect& rect, const TopDownRect& mainScreen);
Rect fromTopDown(const TopDownRect& rect, const TopDownRect& mainScreen);

}  // namespace tessera::views
