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
        return std::to_string(handle.result());
    } catch (const CancelledError&) {
        return "cancelled";
    } catch (const std::exception& e) {
        return e.what();
    }
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

// Attempts start after each wait on the executor's clock; the loop ends with
// the first success or, right after the last attempt, with its error.
TEST_F(RetryTest, RetriesAfterEachWaitUntilASuccessOrTheLastAttempt) {
    struct Case {
        std::vector<std::string> failures;
        RetryPolicy policy;
        std::vector<double> startedAt;
        std::string outcome;
        std::vector<std::string> reports;
    };
    const std::vector<Case> cases{
        {{"one", "two"}, {3, seconds(2)}, {0, 2, 4}, "3", {"one retry", "two retry"}},
        {{"first", "second"}, {2, seconds(0.3)}, {0, 0.3}, "second", {"first retry", "second"}},
        {{"only"}, {1, seconds(5)}, {0}, "only", {"only"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        std::vector<std::exception_ptr> failures;
        for (const auto& text : c.failures) {
            failures.push_back(failure(text));
        }
        ScriptedOperation operation(executor, failures);
        reports.clear();
        auto handle = start(operation, c.policy);
        executor.runUntilIdle();
        executor.advance(seconds(c.startedAt.back()));
        ASSERT_TRUE(handle.isDone()) << "no wait after the last attempt";
        EXPECT_EQ(messageOf(handle), c.outcome);
        EXPECT_EQ(operation.startedAt, c.startedAt);
        EXPECT_EQ(reports, c.reports);
    }
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
