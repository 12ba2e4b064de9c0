#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/ManualExecutor.h"
#include "support/Retry.h"

namespace tessera {
namespace {

Task<void> pause(double s) {
    co_await sleepFor(seconds(s));
}

// An operation whose attempts fail with the scripted errors, one per attempt,
// and then succeed. Each attempt takes `attemptSeconds` of virtual time and,
// like a request already on the wire, does not notice a cancellation meanwhile.
// Records the virtual time each attempt began.
class ScriptedOperation {
  public:
    ScriptedOperation(ManualExecutor& executor, std::vector<std::exception_ptr> failures,
                      double attemptSeconds = 0)
        : executor_(executor), failures_(std::move(failures)), attemptSeconds_(attemptSeconds) {}

    Task<int> attempt() {
        startedAt.push_back(toSeconds(executor_.now() - origin_));
        const std::size_t index = startedAt.size() - 1;
        if (attemptSeconds_ > 0) {
            co_await shielded(pause(attemptSeconds_));
        }
        if (index < failures_.size()) {
            std::rethrow_exception(failures_[index]);
        }
        co_return static_cast<int>(startedAt.size());
    }
    std::function<Task<int>()> asAttempt() {
        return [this] {
            return attempt();
        };
    }

    std::vector<double> startedAt;

  private:
    ManualExecutor& executor_;
    TimePoint origin_ = executor_.now();
    std::vector<std::exception_ptr> failures_;
    double attemptSeconds_;
};

std::exception_ptr failure(const std::string& text) {
    return std::make_exception_ptr(std::runtime_error(text));
}

std::string messageOf(const TaskHandle<int>& handle) {
    try {
        handle.result();
    } catch (const CancelledError&) {
        return "cancelled";
    } catch (const std::exception& e) {
        return e.what();
    }
    return "succeeded";
}

class RetryTest : public ::testing::Test {
  protected:
    TaskHandle<int> start(ScriptedOperation& operation, RetryPolicy policy) {
        return spawn(
            executor, retrying<int>(policy, operation.asAttempt(), [this](const RetryFailure& f) {
                reports.push_back(describeError(f.error) + (f.willRetry() ? " retry" : ""));
            }));
    }

    ManualExecutor executor;
    std::vector<std::string> reports;
};

TEST_F(RetryTest, RetriesAfterTheWaitOnTheExecutorClockUntilASuccess) {
    ScriptedOperation operation(executor, {failure("one"), failure("two")});
    auto handle = start(operation, {3, seconds(2)});
    executor.runUntilIdle();
    executor.advance(seconds(1.999));
    EXPECT_EQ(operation.startedAt.size(), 1u) << "no attempt before the wait is over";
    executor.advance(seconds(5));
    ASSERT_TRUE(handle.isDone());
    EXPECT_EQ(handle.result(), 3);
    EXPECT_EQ(operation.startedAt, (std::vector<double>{0, 2, 4}));
    EXPECT_EQ(reports, (std::vector<std::string>{"one retry", "two retry"}));
}

TEST_F(RetryTest, TheLastErrorIsRethrownAfterTheLastAttemptWithoutAFurtherWait) {
    ScriptedOperation operation(executor, {failure("first"), failure("second")});
    auto handle = start(operation, {2, seconds(0.3)});
    executor.runUntilIdle();
    executor.advance(seconds(0.3));
    ASSERT_TRUE(handle.isDone()) << "the loop does not wait after its last attempt";
    EXPECT_EQ(messageOf(handle), "second");
    EXPECT_EQ(reports, (std::vector<std::string>{"first retry", "second"}));

    ScriptedOperation once(executor, {failure("only")});
    reports.clear();
    auto single = start(once, {1, seconds(5)});
    executor.runUntilIdle();
    EXPECT_EQ(messageOf(single), "only");
    EXPECT_EQ(reports, (std::vector<std::string>{"only"}));
}

TEST_F(RetryTest, ACancellationIsNeverRetriedNorReported) {
    // An attempt that itself ends in CancelledError.
    ScriptedOperation cancelledAttempt(executor, {std::make_exception_ptr(CancelledError{})});
    auto first = start(cancelledAttempt, {3, seconds(2)});
    executor.advance(seconds(10));
    EXPECT_EQ(messageOf(first), "cancelled");
    EXPECT_EQ(cancelledAttempt.startedAt.size(), 1u);

    // Cancelled during the wait: it ends at once, without the next attempt.
    ScriptedOperation duringWait(executor, {failure("down")});
    auto second = start(duringWait, {3, seconds(2)});
    executor.advance(seconds(1));
    second.cancel();
    executor.runUntilIdle();
    ASSERT_TRUE(second.isDone());
    EXPECT_EQ(messageOf(second), "cancelled");
    EXPECT_EQ(duringWait.startedAt.size(), 1u);

    // Cancelled while an attempt runs that then fails with an ordinary error.
    ScriptedOperation duringAttempt(executor, {failure("late")}, 1.0);
    reports.clear();
    auto third = start(duringAttempt, {3, seconds(2)});
    executor.advance(seconds(0.5));
    third.cancel();
    executor.advance(seconds(10));
    ASSERT_TRUE(third.isDone());
    EXPECT_EQ(messageOf(third), "cancelled");
    EXPECT_EQ(duringAttempt.startedAt.size(), 1u);
    EXPECT_TRUE(reports.empty()) << "a failure of a cancelled task is not counted";
}

}  // namespace
}  // namespace tessera
