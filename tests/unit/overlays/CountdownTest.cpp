#include <gtest/gtest.h>

#include <vector>

#include "overlays/Countdown.h"
#include "support/ManualExecutor.h"

namespace tessera::overlays {
namespace {

struct PanelLog {
    int opened = 0;
    int closed = 0;
    std::vector<int> counts;
};

struct RecordingPanel : CountdownPanel {
    explicit RecordingPanel(PanelLog& log) : log(log) {}
    void open(std::uint32_t, int count) override {
        ++log.opened;
        log.counts.push_back(count);
    }
    void showProgress(int count, double) override {
        if (log.counts.back() != count) {
            log.counts.push_back(count);
        }
    }
    void dismiss() override { ++log.closed; }
    PanelLog& log;
};

class CountdownTest : public ::testing::Test {
  protected:
    PanelLog log;
    Countdown countdown{[this](Countdown&) {
        return std::make_unique<RecordingPanel>(log);
    }};
    ManualExecutor executor;
};

// The keys, a click and cancelling the waiting task: the window's integration test.
TEST_F(CountdownTest, CountsDownWholeSecondsAndClosesWithinATickOfTheEnd) {
    countdown.show(1, 3);
    countdown.show(1, 3);
    auto run = spawn(executor, countdown.run(3));
    executor.runUntilIdle();
    executor.advance(seconds(0.99));
    EXPECT_EQ(countdown.count(), 3);
    executor.advance(seconds(0.5));  // 1.49 s
    EXPECT_EQ(countdown.count(), 2);
    executor.advance(seconds(1.0));  // 2.49 s
    EXPECT_EQ(countdown.count(), 1);
    EXPECT_NEAR(countdown.progress(), 2.49 / 3, 0.02);
    EXPECT_FALSE(run.isDone());
    executor.advance(seconds(0.5 + 0.034));  // one tick past the end
    ASSERT_TRUE(run.isDone());
    run.result();
    EXPECT_EQ(log.counts, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(log.opened, 1) << "a second show makes no second window";
    EXPECT_EQ(log.closed, 1);
    EXPECT_FALSE(countdown.isShown());
}

TEST_F(CountdownTest, ZeroSecondsEndTheRunWithinOneTick) {
    countdown.show(1, 0);
    auto run = spawn(executor, countdown.run(0));
    executor.runUntilIdle();
    executor.advance(Countdown::kTick);
    ASSERT_TRUE(run.isDone());
    EXPECT_NO_THROW(run.result());
    EXPECT_EQ(log.closed, 1);
}

}  // namespace
}  // namespace tessera::overlays
