#include <gtest/gtest.h>

#include <condition_variable>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/EventLoop.h"
#include "support/ManualExecutor.h"
#include "support/RepeatingTimer.h"

namespace tessera {
namespace {

TEST(ManualExecutor, RunsPostedWorkInOrderIncludingWorkPostedByWork) {
    ManualExecutor executor;
    std::vector<int> order;
    executor.post([&] {
        order.push_back(1);
        executor.post([&] { order.push_back(3); });
    });
    executor.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty()) << "post must not run work inline";
    EXPECT_EQ(executor.runUntilIdle(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualExecutor, TimersFireAtTheirDeadlinesInOrderAndCanBeCancelled) {
    ManualExecutor executor;
    const TimePoint start = executor.now();
    std::vector<std::pair<std::string, double>> fired;
    auto record = [&](std::string name) {
        return [&, name] {
            fired.emplace_back(name, toSeconds(executor.now() - start));
        };
    };
    executor.schedule(start + seconds(2), record("b"));
    executor.schedule(start + seconds(1), record("a"));
    executor.schedule(start + seconds(2), record("c"));  // same deadline: after b
    TimerId cancelled = executor.schedule(start + seconds(1.5), record("x"));
    executor.cancelTimer(cancelled);
    executor.cancelTimer(cancelled);  // twice is harmless

    executor.advance(seconds(0.999));
    EXPECT_TRUE(fired.empty());
    executor.advance(seconds(5));
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0], (std::pair<std::string, double>{"a", 1.0}));
    EXPECT_EQ(fired[1], (std::pair<std::string, double>{"b", 2.0}));
    EXPECT_EQ(fired[2], (std::pair<std::string, double>{"c", 2.0}));
    EXPECT_DOUBLE_EQ(toSeconds(executor.now() - start), 5.999);
    EXPECT_EQ(executor.pendingTimerCount(), 0u);
}

TEST(ManualExecutor, RunUntilWaitsForWorkFromOtherThreads) {
    ManualExecutor executor;
    bool arrived = false;
    std::thread producer([&] { executor.post([&] { arrived = true; }); });
    EXPECT_TRUE(executor.runUntil([&] { return arrived; }));
    producer.join();
}

TEST(RepeatingTimer, TicksEveryIntervalWithoutDriftUntilStopped) {
    ManualExecutor executor;
    const TimePoint start = executor.now();
    std::vector<double> ticks;
    RepeatingTimer timer(executor, seconds(0.5),
                         [&] { ticks.push_back(toSeconds(executor.now() - start)); });
    executor.advance(seconds(2.2));
    EXPECT_EQ(ticks, (std::vector<double>{0.5, 1.0, 1.5, 2.0}));
    timer.stop();
    executor.advance(seconds(5));
    EXPECT_EQ(ticks.size(), 4u);
    EXPECT_FALSE(timer.isRunning());
}

// An executor whose thread can be held up: its clock jumps past several
// timer deadlines before any of them runs.
class StallingExecutor final : public QueueExecutor {
  public:
    ~StallingExecutor() override { shutdown(); }
    TimePoint now() const override { return clock_; }
    void stallUntil(TimePoint until) {
        clock_ = until;
        while (fireNextDue(clock_)) {
        }
    }

  private:
    TimePoint clock_{std::chrono::hours(1)};
};

TEST(RepeatingTimer, SkipsTheTicksMissedDuringAStallAndStaysOnItsGrid) {
    StallingExecutor executor;
    const TimePoint start = executor.now();
    std::vector<double> ticks;
    RepeatingTimer timer(executor, seconds(1),
                         [&] { ticks.push_back(toSeconds(executor.now() - start)); });
    executor.stallUntil(start + seconds(3.5));
    EXPECT_EQ(ticks, std::vector<double>{3.5}) << "one tick for the missed ones, not a burst";
    executor.stallUntil(start + seconds(3.9));
    executor.stallUntil(start + seconds(4));
    EXPECT_EQ(ticks, (std::vector<double>{3.5, 4}));
}

TEST(RepeatingTimer, ActionMayDestroyItsOwnTimer) {
    ManualExecutor executor;
    int ticks = 0;
    std::unique_ptr<RepeatingTimer> timer;
    timer = std::make_unique<RepeatingTimer>(executor, seconds(1), [&] {
        ++ticks;
        timer.reset();
    });
    executor.advance(seconds(10));
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(executor.pendingTimerCount(), 0u);
}

TEST(EventLoop, RunsTimersOnTheHostClockAndWorkFromOtherThreads) {
    EventLoop loop;
    bool timerFired = false;
    bool posted = false;
    const TimePoint start = loop.now();
    loop.schedule(start + std::chrono::milliseconds(10), [&] { timerFired = true; });
    std::thread producer([&] { loop.post([&] { posted = true; }); });
    EXPECT_TRUE(loop.runUntil([&] { return timerFired && posted; }, seconds(10)));
    EXPECT_GE(loop.now() - start, std::chrono::milliseconds(10));
    producer.join();
}

TEST(EventLoop, StopIsNeverLostWhetherItComesBeforeOrDuringRun) {
    EventLoop loop;
    std::mutex mutex;
    std::condition_variable changed;
    int runsEnded = 0;
    bool watchdogFired = false;
    // Ends a run that a lost stop would leave hanging, so the test fails
    // instead of timing out.
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        while (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return runsEnded == 2; })) {
            watchdogFired = true;
            loop.stop();
        }
    });
    auto ended = [&] {
        std::lock_guard lock(mutex);
        ++runsEnded;
        changed.notify_all();
    };

    loop.stop();
    loop.run();  // the stop above ends it
    ended();

    std::latch running(1);
    loop.post([&] { running.count_down(); });
    std::jthread stopper([&] {
        running.wait();
        loop.stop();
    });
    loop.run();
    ended();
    watchdog.join();
    EXPECT_FALSE(watchdogFired);
}

}  // namespace
}  // namespace tessera
