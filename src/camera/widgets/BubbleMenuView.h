#pragma once

#include <QWidget>
#include <functional>
#include <vector>

#include "camera/BubbleMenuModel.h"
#include "support/ObserverList.h"

class QLabel;

namespace tessera {

class AppState;
class BubbleMenuButton;

// The camera bubble's menu: a dark pill bar with the camera's quick controls
// (turn off, three sizes, full screen, blur, settings) and, above it, a label
// naming the control under the pointer. Every control acts on AppState or on
// the controller's actions; the view follows AppState's changes. Main thread.
class BubbleMenuView final : public QWidget {
  public:
    BubbleMenuView(AppState& state, BubbleMenuActions actions, QWidget* parent = nullptr);
    ~BubbleMenuView() override;

    // Called when the pointer enters or leaves the menu; the bubble then
    // re-reads the pointer position itself.
    std::function<void()> onHoverChanged;
    // Called when visibleRegion() changes (the label appears or goes).
    std::function<void()> onShapeChanged;

    // The label shown above the bar; empty while no control is hovered.
    QString hoverLabel() const;
    // The label's opacity as drawn now: it fades in and out over 0.1 s.
    double labelOpacity() const;
    // The bar's control for a control kind.
    QWidget* control(BubbleMenuControl control) const;
    // The outline of what is drawn (label and bar), for the window's shape.
    QRegion visibleRegion() const;

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void refresh();
    QRect barRect() const;

    AppState& state_;
    BubbleMenuActions actions_;
    BubbleMenuHoverLabel hover_;
    QLabel* label_;
    QWidget* bar_;
    std::vector<BubbleMenuButton*> buttons_;
    bool labelShown_ = false;
    Subscription subscription_;
};

}  // namespace tessera
