#include "views/PanelPlacement.h"

#include <algorithm>

namespace tessera::views {

Point panelAnchor(Size panelSize, const PanelScreens& screens) {
    const double w = panelSize.width;
    if (!screens.icon) {
        const Rect area = screens.mainScreenArea.value_or(kFallbackScreen);
        return {area.maxX() - w - kPanelScreenMargin, area.maxY() - kPanelScreenMargin};
    }
    const Rect icon = *screens.icon;
    const std::optional<Rect> area =
        screens.iconScreenArea ? screens.iconScreenArea : screens.mainScreenArea;
    double x = icon.midX() - w / 2;
    double y = icon.minY() - kPanelIconGap;
    if (area) {
        // Left edge first, then the right edge wins on a screen narrower than
        // the panel, as the panel then starts at its left margin anyway.
        x = std::max(x, area->minX() + kPanelScreenMargin);
        x = std::min(x, area->maxX() - w - kPanelScreenMargin);
        const bool fitsBelow = y - panelSize.height >= area->minY() + kPanelScreenMargin;
        const double above = icon.maxY() + kPanelIconGap + panelSize.height;
        if (!fitsBelow && above <= area->maxY() - kPanelScreenMargin) {
            y = above;
        }
    }
    return {x, y};
}

Rect panelFrame(Point anchorTopLeft, Size panelSize) {
    return Rect(anchorTopLeft.x, anchorTopLeft.y - panelSize.height, panelSize.width,
                panelSize.height);
}

TopDownRect toTopDown(const Rect& rect, const TopDownRect& mainScreen) {
    const double mainBottom = mainScreen.y + mainScreen.height;
    return {rect.minX() + mainScreen.x, mainBottom - rect.maxY(), rect.width(), rect.height()};
}

Rect fromTopDown(const TopDownRect& rect, const TopDownRect& mainScreen) {
    const double mainBottom = mainScreen.y + mainScreen.height;
    return Rect(rect.x - mainScreen.x, mainBottom - (rect.y + rect.height), rect.width,
                rect.height);
}

}  // namespace tessera::views
