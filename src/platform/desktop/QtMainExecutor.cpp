#include "platform/desktop/QtMainExecutor.h"

#include <QMetaObject>
#include <chrono>
#include <exception>

#include "support/Log.h"

namespace tessera {

namespace {
constexpr const char* kComponent = "executor";
}

QtMainExecutor::QtMainExecutor() : context_(std::make_unique<QObject>()) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, context_.get(), [this] { runDueTimers(); });
}

QtMainExecutor::~QtMainExecutor() {
    closeRefs();
    timer_.stop();
    // Deleting the context removes its queued events, so posted work never
    // runs after this point.
    context_.reset();
    auto timers = std::move(timers_);
    timerDeadlines_.clear();
    timers.clear();
    destroyRoots();
}

void QtMainExecutor::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        context_.get(), [fn = std::move(fn)] { runGuarded(fn, "posted work"); },
        Qt::QueuedConnection);
}

TimePoint QtMainExecutor::now() const {
    return std::chrono::steady_clock::now();
}

TimerId QtMainExecutor::schedule(TimePoint deadline, std::function<void()> fn) {
    TimerId id = nextTimerId_++;
    timers_.emplace(std::make_pair(deadline, id), std::move(fn));
    timerDeadlines_.emplace(id, deadline);
    armTimer();
    return id;
}

void QtMainExecutor::cancelTimer(TimerId id) {
    auto found = timerDeadlines_.find(id);
    if (found == timerDeadlines_.end()) {
        return;
    }
    // Destroyed after the bookkeeping is consistent: a destructor may call back.
    auto dropped = std::move(timers_.at({found->second, id}));
    timers_.erase({found->second, id});
    timerDeadlines_.erase(found);
    armTimer();
}

void QtMainExecutor::runDueTimers() {
    // One timer at a time, since each may schedule or cancel others. Only
    // timers that existed when this round began fire in it: a timer that keeps
    // scheduling itself for now must not keep the loop from other events.
    const TimerId firstNew = nextTimerId_;
    const TimePoint clock = now();
    while (!timers_.empty() && timers_.begin()->first.first <= clock &&
           timers_.begin()->first.second < firstNew) {
        auto first = timers_.begin();
        auto fn = std::move(first->second);
        timerDeadlines_.erase(first->first.second);
        timers_.erase(first);
        runGuarded(fn, "timer");
    }
    armTimer();
}

void QtMainExecutor::armTimer() {
    if (timers_.empty()) {
        timer_.stop();
        return;
    }
    // QTimer counts whole milliseconds; rounding up never fires early, and a
    // timer that still finds nothing due simply re-arms.
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - now());
    timer_.start(std::max(wait, std::chrono::milliseconds(0)));
}

void QtMainExecutor::runGuarded(const std::function<void()>& fn, const char* what) {
    // An exception must not unwind through the Qt event loop; work that lets
    // one escape has nobody else to report to, so it goes to the log.
    try {
        fn();
    } catch (...) {
        logging::handled(kComponent, what, std::current_exception(), logging::Level::error);
    }
}

}  // namespace tessera
