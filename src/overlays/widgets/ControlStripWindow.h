#pragma once

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "capture/ControllerPorts.h"
#include "overlays/StripModel.h"
#include "overlays/widgets/FloatingWindow.h"
#include "support/ObserverList.h"
#include "support/Task.h"

namespace tessera::overlays {

class StripWindow;

// The floating control strip of a recording: the elapsed time and the
// recording's controls (StripModel), each calling the controller's operation.
// It scales with the height of its display (1.0 to 1.8), remembers where the
// user dragged it, follows the recorded display, and grows and shrinks from
// its top-left corner. Main thread only.
class ControlStripPanel final : public ControlStrip {
  public:
    // Every reference must outlive the strip; `controller` may go first.
    ControlStripPanel(AppState& state, WeakController controller, Executor& executor,
                      const DisplayPlacement& placement);
    ~ControlStripPanel() override;

    void show(std::uint32_t displayID) override;
    void hide() override;
    void move(std::uint32_t displayID) override;
    std::optional<std::uint32_t> windowID() const override;

    // For tests.
    StripWindow* window() const { return window_.get(); }
    double currentScale() const { return currentScale_; }

  private:
    friend class StripWindow;

    void perform(StripAction action);
    void queueRefresh();
    void refresh();
    void rebuild();
    void resizeToFit();
    void placeAt(const Rect& global, bool remember);
    void rememberOrigin();
    Point restoredOriginFor(Size size, std::uint32_t displayID) const;
    void runTask(Task<void> task);

    AppState& state_;
    WeakController controller_;
    Executor& executor_;
    const DisplayPlacement& placement_;
    ConfirmButtons confirm_;
    std::unique_ptr<StripWindow> window_;
    Subscription stateSubscription_;
    double currentScale_ = 1.0;
    // Where the strip last put itself (window coordinates), so that the window
    // system's report of that move is not taken for a drag.
    std::optional<QPoint> placedAt_;
    bool refreshQueued_ = false;
};

// One strip button: a rounded rectangle with a white glyph, highlighted when
// active or armed, dimmed when disabled; its help text is the tooltip and the
// accessible name.
class StripButtonWidget final : public QAbstractButton {
  public:
    StripButtonWidget(const StripButton& button, double scale, QWidget* parent);
    void apply(const StripButton& button);
    const StripButton& model() const { return button_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    StripButton button_;
    double scale_;
    bool hovering_ = false;
};

// The strip's window.
class StripWindow final : public FloatingWindow {
  public:
    explicit StripWindow(ControlStripPanel& panel);

    // Lays the strip out anew for the state at that scale.
    void build(double scale);
    // Updates texts and buttons in place when the same buttons are shown;
    // false when the strip must be built anew.
    bool updateInPlace();
    QSize fittingSize() const;
    StripButtonWidget* button(StripAction action) const;
    bool isVertical() const { return vertical_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    class TimerBlock;

    ControlStripPanel& panel_;
    double scale_ = 1.0;
    bool vertical_ = false;
    bool live_ = false;
    std::vector<StripButtonWidget*> buttons_;
    TimerBlock* timer_ = nullptr;
    std::optional<QPoint> dragOffset_;
    // Set while the strip has put itself back after a move of the window
    // manager's, until that placement is reported.
    bool putBack_ = false;
};

}  // namespace tessera::overlays
