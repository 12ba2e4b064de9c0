#pragma once

#include <exception>
#include <functional>
#include <type_traits>

#include "support/Cancellation.h"
#include "support/Executor.h"
#include "support/Task.h"

namespace tessera {

// How often an operation is tried and how long to wait between two tries.
struct RetryPolicy {
    int attempts = 1;
    Duration wait{};
};

// One failed attempt, as reported to the caller of retrying().
struct RetryFailure {
    int attempt = 0;   // 1-based
    int attempts = 0;  // the policy's number of attempts
    std::exception_ptr error;

    bool willRetry() const { return attempt < attempts; }
};

using RetryReport = std::function<void(const RetryFailure&)>;

// Runs `attempt()` until it succeeds or `policy.attempts` attempts have failed,
// waiting `policy.wait` on the executor clock between two attempts. Returns the
// first success; after the last failure rethrows that attempt's error.
//
// Cancellation ends it at once: an attempt that throws CancelledError, or fails
// while the task is cancelled, and a wait interrupted by cancellation all end in
// CancelledError, with no further attempt and no report. Every other failure is
// passed to `onFailure` (when set) before the wait or the rethrow, so callers can
// log and count.
//
// Resumes on the awaiting task's executor. `attempt` makes a fresh task each time
// it is called; whatever it refers to must outlive the returned task. Tasks are
// lazy: an attempt that passes a temporary to a coroutine taking a reference
// leaves that reference dangling, so pass named values.
template <class T>
Task<T> retrying(RetryPolicy policy, std::function<Task<T>()> attempt, RetryReport onFailure = {}) {
    for (int n = 1;; ++n) {
        std::exception_ptr error;
        try {
            if constexpr (std::is_void_v<T>) {
                co_await attempt();
                co_return;
            } else {
                co_return co_await attempt();
            }
        } catch (...) {
            error = std::current_exception();
        }
        co_await checkCancellation();
        if (isCancellation(error)) {
            std::rethrow_exception(error);
        }
        if (onFailure) {
            onFailure(RetryFailure{n, policy.attempts, error});
        }
        if (n >= policy.attempts) {
            std::rethrow_exception(error);
        }
        co_await sleepFor(policy.wait);
    }
}

}  // namespace tessera
