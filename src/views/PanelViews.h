#pragma once

#include <QRect>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/AppState.h"
#include "capture/CaptureController.h"
#include "media/MicLevelMeter.h"
#include "platform/ScreenPermission.h"
#include "support/Executor.h"
#include "support/Task.h"
#include "views/MenuRules.h"

namespace tessera::views {

// What the drop-down panel reaches besides the state and the controller. Only
// the executor is required; an absent hook or port leaves its feature out.
struct MainPanelPorts {
    // Runs the reachability checks, window list refreshes and the
    // controller's asynchronous operations the panel starts.
    Executor& executor;
    // One server reachability check that sets AppState::serverReachable
    // (checkServerReachable with the application's probe transport).
    std::function<Task<void>()> checkServer{};
    // DeviceDiscovery::refreshDevices and refreshWindows.
    std::function<void()> refreshDevices{};
    std::function<Task<void>()> refreshWindows{};
    ScreenPermission* screenPermission = nullptr;
    MicLevelMeter* micMeter = nullptr;
    // "Open" in the done view.
    ShareActions* share = nullptr;
    // The footer's "Settings".
    std::function<void()> openSettings{};
    // The tray icon's rectangle in Qt coordinates (TrayIcon::geometry).
    std::function<std::optional<QRect>()> anchorGeometry{};
    // Names of the system's default camera and microphone, when known.
    std::function<std::optional<std::string>()> defaultCameraName{};
    std::function<std::optional<std::string>()> defaultMicrophoneName{};
};

// What every view of the panel works with.
struct PanelContext {
    AppState& state;
    CaptureController& controller;
    const MainPanelPorts& ports;

    // Runs one of the controller's asynchronous operations as the
    // controller's own task, so its shutdown ends it; a failure nobody awaits
    // is logged by the task runtime.
    void run(Task<void> operation) const { controller.runOwned(std::move(operation)); }
};

// The view of one group of phases. Built when its phase group begins; refresh()
// brings its texts and switches up to date with the state in place, so open
// menus and the text cursor survive changes such as the level meter's.
class PhaseView : public QWidget {
  public:
    using QWidget::QWidget;
    virtual void refresh() {}
};

std::unique_ptr<PhaseView> makePhaseView(MenuView view, PanelContext& context);
std::unique_ptr<PhaseView> makeIdleView(PanelContext& context);

}  // namespace tessera::views
