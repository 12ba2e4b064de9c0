#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>

#include "support/Executor.h"

namespace tessera {

// The application's main-thread executor, driven by the Qt event loop of the
// thread that constructs it (the GUI thread).
//
// post() is safe from any thread: the work goes through the Qt event queue of a
// private context object, in FIFO order. Timers are kept here, ordered by
// (deadline, id), and one precise single-shot QTimer is armed for the earliest,
// so timers with equal deadlines fire in the order scheduled. The clock is
// std::chrono::steady_clock (CLOCK_MONOTONIC).
//
// Destroying the executor drops queued work and timers without running them,
// then destroys the unfinished root tasks; posts through an ExecutorRef made
// before become no-ops.
class QtMainExecutor final : public Executor {
  public:
    QtMainExecutor();
    ~QtMainExecutor() override;

    void post(std::function<void()> fn) override;
    TimePoint now() const override;
    TimerId schedule(TimePoint deadline, std::function<void()> fn) override;
    void cancelTimer(TimerId id) override;

    // Executor thread: timers not yet fired or cancelled.
    std::size_t pendingTimerCount() const { return timers_.size(); }

  private:
    void runDueTimers();
    void armTimer();
    static void runGuarded(const std::function<void()>& fn, const char* what);

    // Receives the queued work; deleting it discards what is still queued.
    std::unique_ptr<QObject> context_;
    // Executor thread only.
    QTimer timer_;
    std::map<std::pair<TimePoint, TimerId>, std::function<void()>> timers_;
    std::unordered_map<TimerId, TimePoint> timerDeadlines_;
    TimerId nextTimerId_ = 1;
};

}  // namespace tessera
