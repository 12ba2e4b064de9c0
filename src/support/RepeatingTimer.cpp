#include "support/RepeatingTimer.h"

namespace tessera {

struct RepeatingTimer::Shared : std::enable_shared_from_this<Shared> {
    Executor& executor;
    Duration interval;
    std::function<void()> action;
    TimePoint nextDeadline;
    TimerId timer = 0;
    bool running = true;

    Shared(Executor& e, Duration i, std::function<void()> a)
        : executor(e), interval(i), action(std::move(a)) {}

    void arm() {
        nextDeadline += interval;
        // After a stall (a busy executor thread, a suspended machine) the
        // ticks that were missed are skipped rather than fired in a burst;
        // the next one stays on the original grid.
        const TimePoint now = executor.now();
        if (nextDeadline <= now) {
            nextDeadline += interval * ((now - nextDeadline) / interval + 1);
        }
        timer = executor.schedule(nextDeadline, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->fire();
            }
        });
    }
    void fire() {
        if (!running) {
            return;
        }
        arm();
        // Keep the shared state alive while the action runs, even if the
        // action destroys the timer object.
        auto keepAlive = shared_from_this();
        action();
    }
};

RepeatingTimer::RepeatingTimer(Executor& executor, Duration interval, std::function<void()> action)
    : shared_(std::make_shared<Shared>(executor, interval, std::move(action))) {
    shared_->nextDeadline = executor.now();
    shared_->arm();
}

RepeatingTimer::~RepeatingTimer() {
    stop();
}

void RepeatingTimer::stop() {
    if (shared_ && shared_->running) {
        shared_->running = false;
        shared_->executor.cancelTimer(shared_->timer);
    }
}

bool RepeatingTimer::isRunning() const {
    return shared_ && shared_->running;
}

}  // namespace tessera
