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

// Runs the Qt event loop until `done` holds; false after a generous limit.
bool processUntil(const std::function<bool()>& done) {
    for (QDeadlineTimer limit(20000); !done();) {
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
                        offMain += std::this_thread::get_id() != mainThread;
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

// Timers fire by deadline, then in schedule order, never early, never inside
// schedule() (even when already due), and cancelled ones never.
TEST(QtMainExecutorTest, TimersFireByDeadlineThenInScheduleOrderAndCancelledOnesNever) {
    QtMainExecutor executor;
    std::vector<std::string> fired;
    const auto base = executor.now();
    TimePoint lateFiredAt;
    executor.schedule(base + std::chrono::milliseconds(40), [&] {
        fired.push_back("late");
        lateFiredAt = executor.now();
    });
    executor.schedule(base + std::chrono::milliseconds(10), [&] { fired.push_back("a"); });
    executor.schedule(base + std::chrono::milliseconds(10), [&] { fired.push_back("b"); });
    executor.cancelTimer(
        executor.schedule(base + std::chrono::milliseconds(5), [&] { fired.push_back("x"); }));
    executor.schedule(base - std::chrono::seconds(1), [&] {
        fired.push_back("past");
        // Scheduled by a timer for an earlier time than the pending ones.
        executor.schedule(base, [&] { fired.push_back("nested"); });
    });
    EXPECT_TRUE(fired.empty());
    ASSERT_TRUE(
        processUntil([&] { return fired.size() == 5 && executor.pendingTimerCount() == 0; }));
    EXPECT_EQ(fired, (std::vector<std::string>{"past", "nested", "a", "b", "late"}));
    EXPECT_GE(lateFiredAt, base + std::chrono::milliseconds(40));
}

// A timer that keeps rescheduling itself for now cannot starve posted work.
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
    executor.reset();
    EXPECT_FALSE(ref.post([ranAfter] { ++*ranAfter; }));

    // A marker posted afterwards proves the loop ran past all the executor queued.
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
