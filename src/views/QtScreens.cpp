#include "views/QtScreens.h"

#include <QGuiApplication>
#include <QScreen>

namespace tessera::views {

TopDownRect mainScreenTopDown() {
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary) {
        return {kFallbackScreen.minX(), kFallbackScreen.minY(), kFallbackScreen.width(),
                kFallbackScreen.height()};
    }
    const QRect g = primary->geometry();
    return {double(g.x()), double(g.y()), double(g.width()), double(g.height())};
}

Rect toGlobalPoints(const QRect& rect) {
    return fromTopDown(
        {double(rect.x()), double(rect.y()), double(rect.width()), double(rect.height())},
        mainScreenTopDown());
}

QRect toQtRect(const Rect& rect) {
    const TopDownRect r = toTopDown(rect, mainScreenTopDown());
    return QRect(qRound(r.x), qRound(r.y), qRound(r.width), qRound(r.height));
}

QScreen* screenShowing(const QRect& rect) {
    return QGuiApplication::screenAt(rect.center());
}

PanelScreens panelScreensFor(const std::optional<QRect>& iconGeometry) {
    PanelScreens screens;
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        screens.mainScreenArea = toGlobalPoints(primary->availableGeometry());
    }
    if (iconGeometry && !iconGeometry->isEmpty()) {
        screens.icon = toGlobalPoints(*iconGeometry);
        if (const QScreen* screen = screenShowing(*iconGeometry)) {
            screens.iconScreenArea = toGlobalPoints(screen->availableGeometry());
        }
    }
    return screens;
}

}  // namespace tessera::views
