#include "support/ManualExecutor.h"

namespace tessera {

namespace {
// Virtual time starts well away from zero so that code subtracting durations
// from "now" never sees a negative clock.
constexpr auto kVirtualEpoch = std::chrono::hours(1000);
}  // namespace

ManualExecutor::ManualExecutor()
    : nowTicks_(TimePoint(std::chrono::duration_cast<TimePoint::duration>(kVirtualEpoch))
                    .time_since_epoch()
                    .count()) {}

ManualExecutor::~ManualExecutor() {
    shutdown();
}

TimePoint ManualExecutor::now() const {
    return TimePoint(TimePoint::duration(nowTicks_.load()));
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t ran = 0;
    for (;;) {
        std::size_t step = drainPosted();
        while (fireNextDue(now())) {
            ++step;
        }
        if (step == 0) {
            return ran;
        }
        ran += step;
    }
}

void ManualExecutor::advance(Duration by) {
    const TimePoint target = now() + by;
    for (;;) {
        runUntilIdle();
        auto deadline = nextDeadline();
        if (!deadline || *deadline > target) {
            break;
        }
        if (*deadline > now()) {
            nowTicks_ = deadline->time_since_epoch().count();
        }
        fireNextDue(now());
    }
    nowTicks_ = target.time_since_epoch().count();
    runUntilIdle();
}

bool ManualExecutor::advanceToNextTimer() {
    runUntilIdle();
    auto deadline = nextDeadline();
    if (!deadline) {
        return false;
    }
    if (*deadline > now()) {
        nowTicks_ = deadline->time_since_epoch().count();
    }
    runUntilIdle();
    return true;
}

bool ManualExecutor::runUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds realTimeout) {
    const auto realDeadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runUntilIdle();
        if (done()) {
            return true;
        }
        if (!waitForWork(realDeadline)) {
            runUntilIdle();
            return done();
        }
    }
}

}  // namespace tessera
