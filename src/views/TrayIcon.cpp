#include "views/TrayIcon.h"

#include <QApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "support/Log.h"
#include "views/QtScreens.h"
#include "views/StatusIcons.h"

namespace tessera::views {

TrayIcon::TrayIcon(AppState& state, CaptureController& controller, QObject* parent)
    : QObject(parent), state_(state), controller_(controller), tray_(this), bridge_(state, this) {
    available_ = QSystemTrayIcon::isSystemTrayAvailable();
    if (!available_) {
        logging::warning("tray",
                         "no system tray on this desktop; the panel opens at launch instead");
    }
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) {
            controller_.statusItemToggled();
        }
    });
    connect(&bridge_, &StateBridge::changed, this, &TrayIcon::update);
    update();
    tray_.show();
}

void TrayIcon::update() {
    StatusItemLook next = statusItemLook(state_.phase(), state_.elapsed());
    if (hasLook_ && next == look_) {
        return;
    }
    if (!hasLook_ || next.icon != look_.icon) {
        tray_.setIcon(statusIcon(next.icon));
    }
    // A tray has no accessible name of its own; screen readers read the
    // tooltip, which starts with the description.
    tray_.setToolTip(QString::fromStdString(next.tooltip));
    look_ = std::move(next);
    hasLook_ = true;
}

std::optional<QRect> TrayIcon::geometry() const {
    const QRect rect = tray_.geometry();
    if (rect.isEmpty()) {
        return std::nullopt;
    }
    // An icon in an XEmbed tray is a small window of Qt's own; until the tray
    // has taken it in and shown it, it reports the root window's origin. The
    // icon counts as placed once that window is on screen.
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("QSystemTrayIconSys") &&
            !(widget->windowHandle() && widget->windowHandle()->isExposed())) {
            return std::nullopt;
        }
    }
    return rect;
}

std::optional<std::string> TrayIcon::screenName() const {
    const auto rect = geometry();
    if (!rect) {
        return std::nullopt;
    }
    const QScreen* screen = screenShowing(*rect);
    if (!screen) {
        return std::nullopt;
    }
    return screen->name().toStdString();
}

}  // namespace tessera::views
