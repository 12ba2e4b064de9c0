#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "capture/ControllerPorts.h"
#include "support/Executor.h"
#include "support/Task.h"

namespace tessera::overlays {

// The window of a countdown. The countdown calls it on the main thread; the
// window reports the user's input through Countdown::skip() and cancel().
class CountdownPanel {
  public:
    virtual ~CountdownPanel() = default;
    // Puts the panel, with `count` and no progress, in the middle of that
    // display and gives it the keyboard focus.
    virtual void open(std::uint32_t displayID, int count) = 0;
    virtual void showProgress(int count, double progress) = 0;
    virtual void dismiss() = 0;
};

// The countdown before a recording: shows the seconds left on a panel,
// returns from run() when they have passed or the user skipped, and calls the
// owner's cancel action on Esc. Ticks every 33 ms on the clock of the
// executor that runs run(). Main thread only.
class Countdown final : public CountdownOverlay {
  public:
    static constexpr Duration kTick = std::chrono::milliseconds(33);

    // `panel` is called to make the window at the first show().
    using PanelFactory = std::function<std::unique_ptr<CountdownPanel>(Countdown&)>;
    explicit Countdown(PanelFactory makePanel);
    ~Countdown() override;

    void setOnCancel(std::function<void()> action) override;
    // Does nothing while the panel is shown.
    void show(std::uint32_t displayID, int seconds) override;
    Task<void> run(int seconds) override;
    void close() override;

    // The user's input, from the panel.
    void skip() { skipped_ = true; }
    void cancel();

    int count() const { return count_; }
    double progress() const { return progress_; }
    bool isShown() const { return panel_ != nullptr; }

  private:
    void publish();

    PanelFactory makePanel_;
    std::function<void()> onCancel_;
    std::unique_ptr<CountdownPanel> panel_;
    int count_ = 3;
    double progress_ = 0;
    bool skipped_ = false;
};

}  // namespace tessera::overlays
