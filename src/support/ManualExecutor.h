#pragma once

#include <atomic>
#include <functional>

#include "support/QueueExecutor.h"

namespace tessera {

// An executor for tests: nothing runs until the test says so, and time is
// virtual. The thread that calls the run and advance functions is the
// executor's thread.
class ManualExecutor final : public QueueExecutor {
  public:
    ManualExecutor();
    ~ManualExecutor() override;

    TimePoint now() const override;

    // Runs queued work and timers due now until nothing is left to run without
    // moving the clock. Returns how many work items and timers ran.
    std::size_t runUntilIdle();

    // Moves the clock forward by `by`, firing each timer at its own deadline
    // (the clock reads that deadline while it runs) and running until idle
    // after each.
    void advance(Duration by);

    // Moves the clock to the earliest timer and fires it. False when no timer
    // is scheduled.
    bool advanceToNextTimer();

    // For work that other threads post: runs until idle, then waits in real
    // time for more work, until `done` holds or `realTimeout` passes. The
    // virtual clock does not move. Returns whether `done` held.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds realTimeout = std::chrono::seconds(20));

  private:
    std::atomic<TimePoint::rep> nowTicks_;
};

}  // namespace tessera
