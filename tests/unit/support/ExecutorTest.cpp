#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "support/EventLoop.h"
#include "support/ManualExecutor.h"
#include "support/RepeatingTimer.h"

namespace tessera {
namespace {

TEST(ManualExecutor, RunsWorkInOrderAndTimersAtTheirDeadlinesOnTheVirtualClock) {
    ManualExecutor executor;
    const TimePoint start = executor.now();
    std::vector<std::pair<std::string, double>> ran;
    auto record = [&](std::string name) {
        return [&, name] {
            ran.emplace_back(name, toSeconds(executor.now() - start));
        };
    };
    executor.post([&] {
        record("w1")();
        executor.post(record("w3"));
    });
    executor.post(record("w2"));
    EXPECT_TRUE(ran.empty()) << "post must not run work inline";
    EXPECT_EQ(executor.runUntilIdle(), 3u);

    executor.schedule(start + seconds(2), record("b"));
    executor.schedule(start + seconds(1), record("a"));
    executor.schedule(start + seconds(2), record("c"));  // same deadline: after b
    TimerId cancelled = executor.schedule(start + seconds(1.5), record("x"));
    executor.cancelTimer(cancelled);
    executor.advance(seconds(0.999));
    EXPECT_EQ(ran.size(), 3u);
    executor.advance(seconds(5));
    EXPECT_EQ(ran, (std::vector<std::pair<std::string, double>>{
                       {"w1", 0}, {"w2", 0}, {"w3", 0}, {"a", 1}, {"b", 2}, {"c", 2}}));
    EXPECT_DOUBLE_EQ(toSeconds(executor.now() - start), 5.999);
    EXPECT_EQ(executor.pendingTimerCount(), 0u);
}

TEST(RepeatingTimer, TicksOnItsGridUntilStoppedAndMayBeDestroyedByItsAction) {
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

    int selfDestroyed = 0;
    std::unique_ptr<RepeatingTimer> once;
    once = std::make_unique<RepeatingTimer>(executor, seconds(1), [&] {
        ++selfDestroyed;
        once.reset();
    });
    executor.advance(seconds(10));
    EXPECT_EQ(selfDestroyed, 1);
    EXPECT_EQ(executor.pendingTimerCount(), 0u);
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

// A lost stop leaves run() waiting forever; the test's timeout reports that hang.
TEST(EventLoop, StopIsNeverLostWhetherItComesBeforeOrDuringRun) {
    EventLoop loop;
    loop.stop();
    loop.run();  // the stop above ends it

    std::latch running(1);
    loop.post([&] { running.count_down(); });
    std::jthread stopper([&] {
        running.wait();
        loop.stop();
    });
    loop.run();
}

}  // namespace
}  // namespace tessera
