#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

#include "app/AppState.h"
#include "capture/CaptureController.h"
#include "capture/ControllerPorts.h"
#include "support/Task.h"
#include "views/PanelPlacement.h"
#include "views/PanelViews.h"
#include "views/StateBridge.h"

class QLabel;
class QVBoxLayout;

namespace tessera::views {

class PanelWindow;

// The drop-down panel under the tray icon, showing the view of the current
// phase. The controller shows and hides it; the application hands it to the
// controller with setMainPanel (as a shared_ptr it keeps).
//
// The window is a frameless tool window that stays on top and takes focus
// (the notes field needs typing). It is placed when shown: its top-left
// corner hangs under the tray icon and stays there while the content grows
// or shrinks. It stays open when it loses focus; the controller and the
// tray icon close it. While shown in the idle view it checks the server's
// reachability every 3 seconds.
//
// Main thread. The state, the controller and the ports' targets must outlive it.
class MainPanelWindow : public MainPanel {
  public:
    static constexpr int kPollIntervalMs = 3000;
    static constexpr int kWidth = 290;
    static constexpr int kPadding = 16;

    MainPanelWindow(AppState& state, CaptureController& controller, MainPanelPorts ports);
    ~MainPanelWindow() override;

    void show() override;
    void hide() override;
    bool isVisible() const override;

    // For tests and screenshots.
    QWidget& window();
    MenuView currentView() const;
    bool isPolling() const;
    // Where the panel's top-left corner is pinned, in global points.
    Point anchor() const;

  private:
    std::unique_ptr<PanelWindow> window_;
};

// The window itself.
class PanelWindow : public QWidget {
  public:
    PanelWindow(AppState& state, CaptureController& controller, MainPanelPorts ports);
    ~PanelWindow() override;

    void present();
    void dismiss();
    MenuView currentView() const { return view_; }
    bool isPolling() const { return poll_.isActive(); }
    Point anchor() const { return anchor_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void onStateChanged();
    void rebuild();
    void refreshStatusMessage();
    void pin();
    void updatePolling();
    void pollOnce();

    MainPanelPorts ports_;
    PanelContext context_;
    StateBridge bridge_;
    QVBoxLayout* layout_;
    QLabel* statusMessage_;
    std::unique_ptr<PhaseView> content_;
    MenuView view_ = MenuView::idle;
    QTimer poll_;
    TaskHandle<void> check_;
    Point anchor_;
};

}  // namespace tessera::views
