#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/ManualExecutor.h"
#include "support/Retry.h"

namespace tessera {
namespace {

// The retry loop's timing and its reports are pinned through its callers: the
// segment uploader's and the stop flow's tests.

Task<void> pause(double s) {
    co_await sleepFor(seconds(s));
}

// An operation whose first attempt fails with `failure` after `attemptSeconds` of
// virtual time; like a request already on the wire, it does not notice a
// cancellation meanwhile. Later attempts succeed.
class ScriptedOperation {
  public:
    ScriptedOperation(std::exception_ptr failure, double attemptSeconds = 0)
        : failure_(std::move(failure)), attemptSeconds_(attemptSeconds) {}

    std::function<Task<int>()> asAttempt() {
        return [this] {
            return attempt();
        };
    }
    int attempts = 0;

  private:
    Task<int> attempt() {
        const int index = ++attempts;
        if (attemptSeconds_ > 0) {
            co_await shielded(pause(attemptSeconds_));
        }
        if (index == 1) {
            std::rethrow_exception(failure_);
        }
        co_return index;
    }
    std::exception_ptr failure_;
    double attemptSeconds_;
};

std::string messageOf(const TaskHandle<int>& handle) {
    try {
        return std::to_string(handle.result());
    } catch (const CancelledError&) {
        return "cancelled";
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(Retry, ACancellationIsNeverRetriedNorReported) {
    ManualExecutor executor;
    std::vector<std::string> reports;
    const auto start = [&](ScriptedOperation& operation) {
        return spawn(executor, retrying<int>({3, seconds(2)}, operation.asAttempt(),
                                             [&](const RetryFailure& f) {
                                                 reports.push_back(describeError(f.error));
                                             }));
    };

    // An attempt that itself ends in CancelledError.
    ScriptedOperation cancelledAttempt(std::make_exception_ptr(CancelledError{}));
    auto first = start(cancelledAttempt);
    executor.advance(seconds(10));
    EXPECT_EQ(messageOf(first), "cancelled");
    EXPECT_EQ(cancelledAttempt.attempts, 1);

    // Cancelled while an attempt runs that then fails with an ordinary error.
    ScriptedOperation duringAttempt(std::make_exception_ptr(std::runtime_error("late")), 1.0);
    auto second = start(duringAttempt);
    executor.advance(seconds(0.5));
    second.cancel();
    executor.advance(seconds(10));
    ASSERT_TRUE(second.isDone());
    EXPECT_EQ(messageOf(second), "cancelled");
    EXPECT_EQ(duringAttempt.attempts, 1);
    EXPECT_TRUE(reports.empty()) << "a failure of a cancelled task is not counted";
}

}  // namespace
}  // namespace tessera
