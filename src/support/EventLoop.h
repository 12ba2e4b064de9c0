#pragma once

#include <atomic>
#include <functional>

#include "support/QueueExecutor.h"

namespace tessera {

// A real event loop on the host clock, for integration tests and tools that
// have no Qt loop. The thread that calls run() or runUntil() is the
// executor's thread.
class EventLoop final : public QueueExecutor {
  public:
    EventLoop() = default;
    ~EventLoop() override;

    TimePoint now() const override;

    // Runs work and timers as they come until stop() is called.
    void run();

    // Runs work and timers until `done` holds (checked after every step) or
    // `timeout` of real time passes. Returns whether `done` held.
    bool runUntil(const std::function<bool()>& done, Duration timeout);

    // Any thread: makes run() return after the work item it is running, or
    // the next run() return at once when none is running.
    void stop();

  private:
    // Runs whatever is ready now; returns whether anything ran.
    bool runReady();
    std::atomic<bool> stopRequested_ = false;
};

}  // namespace tessera
