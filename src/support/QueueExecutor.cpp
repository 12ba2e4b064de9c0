#include "support/QueueExecutor.h"

namespace tessera {

void QueueExecutor::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    wakeup_.notify_all();
}

TimerId QueueExecutor::schedule(TimePoint deadline, std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    TimerId id = nextTimerId_++;
    timers_.emplace(std::make_pair(deadline, id), std::move(fn));
    timerDeadlines_.emplace(id, deadline);
    return id;
}

void QueueExecutor::cancelTimer(TimerId id) {
    std::function<void()> dropped;  // destroyed outside the lock
    std::lock_guard lock(mutex_);
    auto found = timerDeadlines_.find(id);
    if (found == timerDeadlines_.end()) {
        return;
    }
    auto timer = timers_.find({found->second, id});
    dropped = std::move(timer->second);
    timers_.erase(timer);
    timerDeadlines_.erase(found);
}

std::size_t QueueExecutor::pendingWorkCount() const {
    std::lock_guard lock(mutex_);
    return posted_.size();
}

std::size_t QueueExecutor::pendingTimerCount() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

std::size_t QueueExecutor::drainPosted() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) {
                return ran;
            }
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        fn();
        ++ran;
    }
}

bool QueueExecutor::fireNextDue(TimePoint clock) {
    std::function<void()> fn;
    {
        std::lock_guard lock(mutex_);
        if (timers_.empty() || timers_.begin()->first.first > clock) {
            return false;
        }
        auto first = timers_.begin();
        fn = std::move(first->second);
        timerDeadlines_.erase(first->first.second);
        timers_.erase(first);
    }
    fn();
    return true;
}

std::optional<TimePoint> QueueExecutor::nextDeadline() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) {
        return std::nullopt;
    }
    return timers_.begin()->first.first;
}

bool QueueExecutor::waitForWork(std::chrono::steady_clock::time_point realDeadline) {
    std::unique_lock lock(mutex_);
    bool ready = wakeup_.wait_until(lock, realDeadline, [&] { return !posted_.empty() || woken_; });
    woken_ = false;
    return ready;
}

void QueueExecutor::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wakeup_.notify_all();
}

void QueueExecutor::shutdown() {
    closeRefs();
    std::deque<std::function<void()>> posted;
    std::map<std::pair<TimePoint, TimerId>, std::function<void()>> timers;
    {
        std::lock_guard lock(mutex_);
        posted.swap(posted_);
        timers.swap(timers_);
        timerDeadlines_.clear();
    }
    posted.clear();
    timers.clear();
    destroyRoots();
    // Destroying frames may have queued work (for example a queue consumer that
    // detached); drop it as well.
    std::lock_guard lock(mutex_);
    posted_.clear();
    timers_.clear();
    timerDeadlines_.clear();
}

}  // namespace tessera
