#include <gtest/gtest.h>

#include "media/EncoderSettings.h"

namespace tessera {
namespace {

// Sizes past the H.264 level limits are scaled down keeping the aspect, even
// and at least 2 x 2; automatic bitrate follows the pixel count in [8, 10] Mbit/s.
TEST(EncoderSettings, FitsWithinH264LimitsAndScalesTheBitrate) {
    struct Case {
        int64_t width, height, fittedWidth, fittedHeight;
    };
    const Case cases[] = {
        {5120, 2880, 4096, 2304}, {7680, 1080, 4096, 576}, {4097, 2304, 4096, 2302},
        {3840, 2160, 3840, 2160}, {1001, 601, 1000, 600},  {0, 0, 2, 2},
        {1080, 4000, 622, 2304},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fitWithinH264Limits(c.width, c.height),
                  (PixelSize{c.fittedWidth, c.fittedHeight}))
            << c.width << " x " << c.height;
    }
    EXPECT_EQ(bitrateFor(VideoQuality::automatic, {1920, 1080}), 8'000'000);
    EXPECT_EQ(bitrateFor(VideoQuality::automatic, {2000, 1100}), 8'487'654);
    EXPECT_EQ(bitrateFor(VideoQuality::automatic, {4096, 2304}), 10'000'000);
    EXPECT_EQ(bitrateFor(VideoQuality::high, {640, 480}), 12'000'000);
}

}  // namespace
}  // namespace tessera
