#include "support/Task.h"

#include "support/Log.h"

namespace tessera {

void detail::reportUnobservedFailure(const std::exception_ptr& error) {
    if (!isCancellation(error)) {
        logging::handled("task", "a spawned task failed and nobody took its result", error);
    }
}

bool SleepAwaiter::arm(std::coroutine_handle<> self) {
    if (context_.isCancelled()) {
        cancelled_ = true;
        return false;
    }
    Executor* executor = context_.executor;
    const TimePoint deadline = deadline_ ? *deadline_ : executor->now() + delay_;
    timer_ = executor->schedule(deadline, [this, self] {
        armed_ = false;
        registration_.reset();
        self.resume();
    });
    armed_ = true;
    registration_ = CancelRegistration(context_.cancel, [this, self] {
        context_.executor->cancelTimer(timer_);
        armed_ = false;
        cancelled_ = true;
        context_.executor->post([self] { self.resume(); });
    });
    return true;
}

}  // namespace tessera
