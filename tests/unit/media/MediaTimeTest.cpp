#include <gtest/gtest.h>

#include "support/MediaTime.h"

namespace tessera {
namespace {

TEST(MediaTime, ExactArithmeticAcrossTimescalesAndInvalidPropagates) {
    struct Case {
        MediaTime a, b, sum, difference;
    };
    const Case cases[] = {
        {MediaTime(1, 4), MediaTime(1, 30), MediaTime(17, 60), MediaTime(13, 60)},
        // Host-clock nanoseconds with a 1/30 s frame duration.
        {MediaTime::fromNanoseconds(9'967'000'000), MediaTime(1, 30), MediaTime(30001, 3000),
         MediaTime(29801, 3000)},
        {MediaTime(1, 48000), MediaTime(1, 90000), MediaTime(23, 720000), MediaTime(7, 720000)},
    };
    for (const Case& c : cases) {
        const MediaTime sum = c.a + c.b;
        const MediaTime difference = c.a - c.b;
        EXPECT_EQ(sum, c.sum) << sum.value() << "/" << sum.timescale();
        EXPECT_EQ(difference, c.difference) << difference.value() << "/" << difference.timescale();
        EXPECT_FALSE(sum.hasBeenRounded() || difference.hasBeenRounded());
    }
    EXPECT_GT(MediaTime(1, 3), MediaTime(333'333'333, 1'000'000'000));
    EXPECT_EQ(MediaTime(-1, 4).convertScale(2).value(), -1);  // half away from zero
    EXPECT_TRUE(MediaTime(1, 3).convertScale(10).hasBeenRounded());

    const MediaTime invalid;
    EXPECT_NE(invalid, MediaTime::zero());
    EXPECT_FALSE((invalid + MediaTime(1, 30)).isValid());
    EXPECT_FALSE((MediaTime(1, 30) - invalid).isValid());
    EXPECT_FALSE(MediaTime(5, 0).isValid());
    EXPECT_GT(invalid, MediaTime(INT64_MAX, 1));
}

TEST(MediaTime, HostClockValuesDoNotOverflow) {
    // About 300 years of uptime in nanoseconds still compares and subtracts exactly.
    const MediaTime big = MediaTime::fromNanoseconds(9'000'000'000'000'000'000);
    const MediaTime later = big + MediaTime::fromNanoseconds(1);
    EXPECT_LT(big, later);
    EXPECT_EQ(later - big, MediaTime::fromNanoseconds(1));
    // 3e9 is no 32-bit timescale: the sum is rounded to nanoseconds and says so.
    const MediaTime rounded = MediaTime::fromNanoseconds(123'456'789'123) + MediaTime(1, 30);
    EXPECT_TRUE(rounded.hasBeenRounded());
    EXPECT_EQ(rounded, MediaTime::fromNanoseconds(123'456'789'123 + 33'333'333));
}

}  // namespace
}  // namespace tessera
