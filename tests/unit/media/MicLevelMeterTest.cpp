#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "media/MicLevelMeter.h"
#include "support/ManualExecutor.h"

namespace tessera {
namespace {

std::vector<float> sine(float amplitude, std::size_t frames = 1024) {
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        out[i] = amplitude * std::sin(2 * std::numbers::pi_v<float> * 1000 * i / 48000.0f);
    }
    return out;
}

TEST(MicLevelStep, MapsDecibelsLinearlyOntoZeroToOne) {
    EXPECT_EQ(micLevelOf(nullptr, 0), 0.0);
    EXPECT_NEAR(micLevelOf(sine(1.0f).data(), 1024), 0.9398, 0.002);
    EXPECT_NEAR(micLevelOf(sine(0.1f).data(), 1024), 0.5398, 0.002);  // -20 dBFS
    EXPECT_EQ(micLevelOf(sine(0.001f).data(), 1024), 0.0);            // below -50 dBFS
    const std::vector<float> clipped(64, 2.0f);
    EXPECT_EQ(micLevelOf(clipped.data(), clipped.size()), 1.0);
}

class FakeInput : public MicLevelInput {
  public:
    FakeInput(int& starts, int& stops, bool works)
        : starts_(starts), stops_(stops), works_(works) {}
    bool start(OnBlock onBlock) override {
        ++starts_;
        onBlock_ = std::move(onBlock);
        return works_;
    }
    void stop() override { ++stops_; }
    void deliver(const std::vector<float>& block) { onBlock_(block.data(), block.size()); }

  private:
    int& starts_;
    int& stops_;
    bool works_;
    OnBlock onBlock_;
};

class MicLevelMeterTest : public ::testing::Test {
  protected:
    ManualExecutor executor;
    int starts = 0;
    int stops = 0;  // counted here: the meter destroys its input when it stops
    bool authorized = true;
    bool deviceWorks = true;
    FakeInput* input = nullptr;
    MicLevelMeter meter{{executor,
                         [this] {
                             auto made = std::make_unique<FakeInput>(starts, stops, deviceWorks);
                             input = made.get();
                             return made;
                         },
                         [this] {
                             return authorized;
                         }}};
};

// The level rises at once and falls by 30 % of the gap per block.
TEST_F(MicLevelMeterTest, PublishesOnTheMainExecutorAndStopsClean) {
    meter.start();
    meter.start();
    EXPECT_EQ(starts, 1);
    ASSERT_TRUE(meter.isActive());
    input->deliver(std::vector<float>(1024, 1.0f));
    EXPECT_EQ(meter.level(), 0.0);  // not before the main executor runs
    executor.runUntilIdle();
    EXPECT_DOUBLE_EQ(meter.level(), 1.0);
    input->deliver(std::vector<float>(1024, 0.0f));
    executor.runUntilIdle();
    EXPECT_DOUBLE_EQ(meter.level(), 0.7);

    // A block already posted when the meter stops does not show afterwards.
    auto* running = input;
    running->deliver(std::vector<float>(1024, 1.0f));
    int notifications = 0;
    auto subscription = meter.subscribe([&] { ++notifications; });
    meter.stop();
    EXPECT_EQ(stops, 1);
    executor.runUntilIdle();
    EXPECT_FALSE(meter.isActive());
    EXPECT_EQ(meter.level(), 0.0);
    EXPECT_EQ(notifications, 2);
    meter.stop();  // idle: nothing happens
    EXPECT_EQ(notifications, 2);
}

// The microphone is not opened without access.
TEST_F(MicLevelMeterTest, StaysIdleWithoutAccessOrDevice) {
    authorized = false;
    meter.start();
    EXPECT_EQ(starts, 0);
    authorized = true;
    deviceWorks = false;
    meter.start();
    EXPECT_FALSE(meter.isActive());
}

}  // namespace
}  // namespace tessera
