#pragma once

#include <QRect>
#include <optional>

#include "views/PanelPlacement.h"

class QScreen;

namespace tessera::views {

// The toolkit's side of the coordinate conversion: the main screen (Qt's
// primary screen) is where global points have their origin.
TopDownRect mainScreenTopDown();
Rect toGlobalPoints(const QRect& rect);
QRect toQtRect(const Rect& rect);

// The screens the panel is placed on, for a tray icon at `iconGeometry`
// (Qt coordinates; none or empty when the tray reports none).
PanelScreens panelScreensFor(const std::optional<QRect>& iconGeometry);

// The screen that shows the centre of `rect`, if any.
QScreen* screenShowing(const QRect& rect);

}  // namespace tessera::views
