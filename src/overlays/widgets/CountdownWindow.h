#pragma once

#include "overlays/Countdown.h"
#include "overlays/widgets/FloatingWindow.h"

namespace tessera::overlays {

// The countdown's window: a 240-point dark disc in the middle of the display
// with the seconds left, a progress ring and a hint line. Return, Space,
// keypad Enter and a click skip; Esc cancels. It takes the keyboard focus when
// it opens so that the keys reach it. Without a compositor the window is
// shaped to the disc.
class CountdownWindow final : public FloatingWindow, public CountdownPanel {
  public:
    static constexpr int kSide = 240;

    // `countdown` receives the skips and cancels and outlives the window;
    // `placement` must outlive it too.
    CountdownWindow(Countdown& countdown, const DisplayPlacement& placement);

    void open(std::uint32_t displayID, int count) override;
    void showProgress(int count, double progress) override;
    void dismiss() override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    Countdown& countdown_;
    const DisplayPlacement& placement_;
    int count_ = 3;
    double progress_ = 0;
};

}  // namespace tessera::overlays
