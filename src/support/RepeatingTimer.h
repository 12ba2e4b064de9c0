#pragma once

#include <functional>
#include <memory>

#include "support/Executor.h"

namespace tessera {

// Runs an action on the executor every `interval`, first one interval after
// construction, until stopped or destroyed. Deadlines advance by whole
// intervals, so the timer does not drift; ticks missed while the executor was
// stalled are skipped, not caught up. Executor thread only; the action may
// stop or destroy the timer.
class RepeatingTimer {
  public:
    RepeatingTimer(Executor& executor, Duration interval, std::function<void()> action);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void stop();
    bool isRunning() const;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace tessera
