#pragma once

#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>
#include <optional>
#include <string>

#include "app/AppState.h"
#include "capture/CaptureController.h"
#include "views/StateBridge.h"
#include "views/StatusItemLook.h"

namespace tessera::views {

// The application's tray icon: shows the phase (idle, red while recording,
// paused) with the clock in its tooltip, and toggles recording mode on a left
// click. Main thread; the state and the controller must outlive it.
class TrayIcon : public QObject {
    Q_OBJECT

  public:
    TrayIcon(AppState& state, CaptureController& controller, QObject* parent = nullptr);

    // Whether the desktop has a system tray. When it has none, a warning is
    // logged once (at construction) and the application opens the panel
    // itself, as nothing else can.
    bool available() const { return available_; }

    // The icon's rectangle in Qt coordinates; none while the tray reports none.
    std::optional<QRect> geometry() const;
    // The name of the screen that shows the icon (what the display list calls
    // that display), for choosing the display a recording starts on.
    std::optional<std::string> screenName() const;

    // What the icon shows now.
    const StatusItemLook& look() const { return look_; }
    QSystemTrayIcon& systemTrayIcon() { return tray_; }

  private:
    void update();

    AppState& state_;
    CaptureController& controller_;
    QSystemTrayIcon tray_;
    StateBridge bridge_;
    StatusItemLook look_;
    bool hasLook_ = false;
    bool available_ = false;
};

}  // namespace tessera::views
