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

// The unit tests' executor: what every timing test relies on beyond the basics.
TEST(ManualExecutor, TimersOfOneDeadlineRunInOrderAndACancelledOneNever) {
    ManualExecutor executor;
    const TimePoint start = executor.now();
    std::string ran;
    executor.schedule(start + seconds(2), [&] { ran += "b"; });
    executor.schedule(start + seconds(1), [&] { ran += "a"; });
    executor.schedule(start + seconds(2), [&] { ran += "c"; });
    executor.post([&] { executor.post([&] { ran += "w"; }); });
    executor.cancelTimer(executor.schedule(start + seconds(1.5), [&] { ran += "x"; }));
    executor.advance(seconds(5));
    EXPECT_EQ(ran, "wabc");
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
