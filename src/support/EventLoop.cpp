#include "support/EventLoop.h"

#include <algorithm>

namespace tessera {

EventLoop::~EventLoop() {
    shutdown();
}

TimePoint EventLoop::now() const {
    return std::chrono::steady_clock::now();
}

bool EventLoop::runReady() {
    bool ran = drainPosted() > 0;
    while (fireNextDue(now())) {
        ran = true;
    }
    return ran;
}

void EventLoop::run() {
    // A stop requested before run() started ends this run; the request is used
    // up, so the next run() runs again.
    while (!stopRequested_.exchange(false)) {
        if (runReady()) {
            continue;
        }
        auto deadline = nextDeadline().value_or(now() + std::chrono::hours(24));
        waitForWork(deadline);
    }
}

bool EventLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
    const TimePoint limit = now() + timeout;
    for (;;) {
        runReady();
        if (done()) {
            return true;
        }
        if (now() >= limit) {
            return false;
        }
        auto deadline = std::min(nextDeadline().value_or(limit), limit);
        waitForWork(deadline);
    }
}

void EventLoop::stop() {
    stopRequested_ = true;
    wake();
}

}  // namespace tessera
