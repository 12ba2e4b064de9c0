#include <gtest/gtest.h>

#include <cmath>

#include "app/FormatElapsed.h"

namespace tessera {
namespace {

TEST(FormatElapsedTest, MinutesBelowAnHourThenHours) {
    const std::pair<double, const char*> cases[] = {
        {59.99, "00:59"}, {3599.999, "59:59"},     {3725, "1:02:05"},
        {-0.5, "00:00"},  {std::nan(""), "00:00"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(formatElapsed(seconds), text) << seconds;
    }
}

}  // namespace
}  // namespace tessera
