#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "support/Executor.h"

namespace tessera {

// The work queue and timer set shared by the manual executor and the event
// loop; they differ only in their clock and in how they wait.
class QueueExecutor : public Executor {
  public:
    void post(std::function<void()> fn) override;
    TimerId schedule(TimePoint deadline, std::function<void()> fn) override;
    void cancelTimer(TimerId id) override;

    // Any thread: the number of work items and timers waiting.
    std::size_t pendingWorkCount() const;
    std::size_t pendingTimerCount() const;

  protected:
    // Runs queued work, including what that work queues, until the queue is
    // empty. Returns how many items ran.
    std::size_t drainPosted();
    // Fires the earliest timer due at `clock`, if any.
    bool fireNextDue(TimePoint clock);
    std::optional<TimePoint> nextDeadline() const;
    // Blocks until work is posted, wake() is called, or the real deadline passes.
    // Returns false on timeout.
    bool waitForWork(std::chrono::steady_clock::time_point realDeadline);
    void wake();
    // Stops posts through ExecutorRefs, drops pending work and timers without
    // running them, then destroys the unfinished tasks.
    void shutdown();

  private:
    mutable std::mutex mutex_;
    std::condition_variable wakeup_;
    bool woken_ = false;
    std::deque<std::function<void()>> posted_;
    std::map<std::pair<TimePoint, TimerId>, std::function<void()>> timers_;
    std::unordered_map<TimerId, TimePoint> timerDeadlines_;
    TimerId nextTimerId_ = 1;
};

}  // namespace tessera
