#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/FormatElapsed.h"
#include "app/ScreenLookup.h"

namespace tessera {
namespace {

TEST(FormatElapsedTest, MinutesBelowAnHourThenHours) {
    const std::pair<double, const char*> cases[] = {
        {0, "00:00"},
        {59.99, "00:59"},
        {75.9, "01:15"},
        {3599, "59:59"},
        {3599.999, "59:59"},
        {3600, "1:00:00"},
        {3725, "1:02:05"},
        {36000, "10:00:00"},
        {-5, "00:00"},
        {-0.5, "00:00"},
        {std::nan(""), "00:00"},
        {360000, "100:00:00"},
        {std::numeric_limits<double>::infinity(), "1000000:00:00"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(formatElapsed(seconds), text) << seconds;
    }
}

TEST(ChromeScaleTest, GrowsWithScreenHeightWithinBounds) {
    const std::pair<std::optional<double>, double> cases[] = {
        {800, 1.0},          {900, 1.0}, {1080, 1.2}, {1620, 1.8},         {2000, 1.8},
        {std::nullopt, 1.0}, {0, 1.0},   {-100, 1.0}, {std::nan(""), 1.0},
    };
    for (const auto& [height, scale] : cases) {
        EXPECT_DOUBLE_EQ(ScreenLookup::chromeScale(height), scale)
            << (height ? std::to_string(*height) : "no screen");
    }
}

}  // namespace
}  // namespace tessera
