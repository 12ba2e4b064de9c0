#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "media/MicLevelMeter.h"
#include "support/ManualExecutor.h"

namespace tessera {
namespace {

std::vector<float> sine(float amplitude) {
    std::vector<float> out(1024);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = amplitude * std::sin(2 * std::numbers::pi_v<float> * 1000 * i / 48000.0f);
    }
    return out;
}

TEST(MicLevelStep, MapsDecibelsLinearlyOntoZeroToOne) {
    EXPECT_EQ(micLevelOf(nullptr, 0), 0.0);
    EXPECT_NEAR(micLevelOf(sine(0.1f).data(), 1024), 0.5398, 0.002);  // -20 dBFS
    EXPECT_EQ(micLevelOf(sine(0.001f).data(), 1024), 0.0);            // below -50 dBFS
    const std::vector<float> clipped(64, 2.0f);
    EXPECT_EQ(micLevelOf(clipped.data(), clipped.size()), 1.0);
}

// The level is published on the main executor, rises at once, falls by 30 % of
// the gap per block; a block still posted when the meter stops never shows, and
// the microphone is not opened without access.
TEST(MicLevelMeter, PublishesOnTheMainExecutorStopsCleanAndNeedsAccess) {
    struct FakeInput : MicLevelInput {
        bool start(OnBlock onBlock) override {
            deliver = std::move(onBlock);
            return true;
        }
        void stop() override {}
        OnBlock deliver;
    };
    ManualExecutor executor;
    int starts = 0;
    bool authorized = false;
    FakeInput* input = nullptr;
    MicLevelMeter meter{{executor,
                         [&] {
                             ++starts;
                             auto made = std::make_unique<FakeInput>();
                             input = made.get();
                             return made;
                         },
                         [&] {
                             return authorized;
                         }}};
    meter.start();
    EXPECT_EQ(starts, 0);
    authorized = true;
    meter.start();
    meter.start();
    EXPECT_EQ(starts, 1);
    ASSERT_TRUE(meter.isActive());
    const std::vector<float> loud(1024, 1.0f);
    const std::vector<float> quiet(1024, 0.0f);
    input->deliver(loud.data(), loud.size());
    EXPECT_EQ(meter.level(), 0.0);
    executor.runUntilIdle();
    EXPECT_DOUBLE_EQ(meter.level(), 1.0);
    input->deliver(quiet.data(), quiet.size());
    executor.runUntilIdle();
    EXPECT_DOUBLE_EQ(meter.level(), 0.7);

    input->deliver(loud.data(), loud.size());
    meter.stop();
    executor.runUntilIdle();
    EXPECT_FALSE(meter.isActive());
    EXPECT_EQ(meter.level(), 0.0);
}

}  // namespace
}  // namespace tessera
