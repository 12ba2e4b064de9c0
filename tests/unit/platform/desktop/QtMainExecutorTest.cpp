#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "platform/desktop/QtMainExecutor.h"
#include "support/Log.h"

namespace tessera {
namespace {

// Runs the Qt event loop until `done` holds; false after a generous real-time
// limit (a safety net for a broken executor, not a measured speed).
bool processUntil(const std::function<bool()>& done) {
    QDeadlineTimer limit(20000);
    while (!done()) {
        if (limit.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// Work posted from other threads runs on the main thread in order per
// thread; an exception escaping one piece of work is logged and the rest runs.
TEST(QtMainExecutorTest, WorkPostedFromOtherThreadsRunsOnTheMainThreadInOrderPerThread) {
    QtMainExecutor executor;
    std::vector<std::string> logged;
    logging::LogCapture capture([&](logging::Level, std::string_view, std::string_view message) {
        logged.emplace_back(message);
    });
    executor.post([] { throw std::runtime_error("boom"); });
    const auto mainThread = std::this_thread::get_id();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offMain = 0;
    int ran = 0;
    {
        std::vector<std::jthread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    executor.post([&, t, i] {
                        if (std::this_thread::get_id() != mainThread) {
                            ++offMain;
                        }
                        seen[t].push_back(i);
                        ++ran;
                    });
                }
            });
        }
    }
    ASSERT_TRUE(processUntil([&] { return ran == kThreads * kPerThread; }));
    EXPECT_EQ(offMain, 0);
    for (const auto& perThread : seen) {
        ASSERT_EQ(perThread.size(), static_cast<std::size_t>(kPerThread));
        EXPECT_TRUE(std::is_sorted(perThread.begin(), perThread.end()));
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("boom"), std::string::npos);
}

TEST(QtMainExecutorTest, TimersFireByDeadlineThenInScheduleOrderAndCancelledOnesNever) {
    QtMainExecutor executor;
    std::vector<std::string> fired;
    const auto base = executor.now();
    executor.schedule(base + std::chrono::milliseconds(40), [&] { fired.push_back("late"); });
    executor.schedule(base + std::chrono::milliseconds(10), [&] { fired.push_back("a"); });
    executor.schedule(base + std::chrono::milliseconds(10), [&] { fired.push_back("b"); });
    TimerId cancelled =
        executor.schedule(base + std::chrono::milliseconds(5), [&] { fired.push_back("x"); });
    // Already due: fires on the next turn of the loop, not inside schedule().
    executor.schedule(base - std::chrono::seconds(1), [&] {
        fired.push_back("past");
        // A timer scheduled by a timer for an earlier time than the pending ones.
        executor.schedule(base, [&] { fired.push_back("nested"); });
    });
    executor.cancelTimer(cancelled);
    executor.cancelTimer(cancelled);  // twice is harmless
    EXPECT_TRUE(fired.empty());

    TimePoint lateFiredAt;
    executor.schedule(base + std::chrono::milliseconds(40), [&] { lateFiredAt = executor.now(); });
    ASSERT_TRUE(
        processUntil([&] { return fired.size() == 5 && executor.pendingTimerCount() == 0; }));
    EXPECT_EQ(fired, (std::vector<std::string>{"past", "nested", "a", "b", "late"}));
    EXPECT_GE(lateFiredAt, base + std::chrono::milliseconds(40));
}

TEST(QtMainExecutorTest, ATimerThatKeepsReschedulingItselfLetsOtherWorkRun) {
    QtMainExecutor executor;
    constexpr int kRounds = 100000;
    int rounds = 0;
    std::optional<int> roundsWhenPostedRan;
    std::function<void()> again = [&] {
        if (++rounds == 1) {
            executor.post([&] { roundsWhenPostedRan = rounds; });
        }
        if (rounds < kRounds) {
            executor.schedule(executor.now(), again);
        }
    };
    executor.schedule(executor.now(), again);
    ASSERT_TRUE(processUntil([&] { return roundsWhenPostedRan.has_value(); }));
    EXPECT_LT(*roundsWhenPostedRan, kRounds);
    ASSERT_TRUE(processUntil([&] { return rounds == kRounds; }));
}

TEST(QtMainExecutorTest, NothingRunsAfterDestructionAndLateRefsAreNoOps) {
    auto executor = std::make_unique<QtMainExecutor>();
    ExecutorRef ref = executor->ref();
    auto ranAfter = std::make_shared<int>(0);
    executor->post([ranAfter] { ++*ranAfter; });
    ref.post([ranAfter] { ++*ranAfter; });
    executor->schedule(executor->now(), [ranAfter] { ++*ranAfter; });
    std::weak_ptr<int> captured = ranAfter;
    executor.reset();
    EXPECT_FALSE(ref.post([ranAfter] { ++*ranAfter; }));

    // A marker posted to the application afterwards proves the loop has run past
    // anything the executor had queued.
    bool markerRan = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { markerRan = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(processUntil([&] { return markerRan; }));
    EXPECT_EQ(*ranAfter, 0);
    // The dropped work released what it held.
    EXPECT_EQ(ranAfter.use_count(), 1);
}

}  // namespace
}  // namespace tessera

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
