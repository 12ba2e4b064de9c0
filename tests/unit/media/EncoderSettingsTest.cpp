#include <gtest/gtest.h>

#include "media/EncoderSettings.h"

namespace tessera {
namespace {

TEST(FitWithinH264Limits, Examples) {
    struct Case {
        int64_t width, height, fittedWidth, fittedHeight;
    };
    const Case cases[] = {
        {5120, 2880, 4096, 2304},
        {6016, 3384, 4096, 2304},
        {7680, 1080, 4096, 576},
        {4097, 2304, 4096, 2302},
        {3024, 1964, 3024, 1964},
        {1001, 601, 1000, 600},
        {0, 0, 2, 2},
        {1, 1, 2, 2},
        {2, 3000, 2, 2304},
        {1080, 4000, 622, 2304},
        {3840, 2160, 3840, 2160},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fitWithinH264Limits(c.width, c.height),
                  (PixelSize{c.fittedWidth, c.fittedHeight}))
            << c.width << " x " << c.height;
    }
}

TEST(VideoBitrate, Examples) {
    struct Case {
        int64_t width, height, bitrate;
    };
    const Case cases[] = {
        {1920, 1080, 8'000'000}, {640, 480, 8'000'000},    {2000, 1100, 8'487'654},
        {4096, 576, 9'102'222},  {2560, 1440, 10'000'000}, {4096, 2304, 10'000'000},
        {0, 0, 8'000'000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(videoBitrate(c.width, c.height), c.bitrate) << c.width << " x " << c.height;
    }
}

TEST(VideoBitrate, PerQuality) {
    struct Case {
        PixelSize size;
        int64_t automatic;
    };
    const Case cases[] = {
        {{640, 360}, 8'000'000}, {{2000, 1100}, 8'487'654}, {{4096, 2304}, 10'000'000}};
    for (const Case& c : cases) {
        EXPECT_EQ(bitrateFor(VideoQuality::high, c.size), 12'000'000);
        EXPECT_EQ(bitrateFor(VideoQuality::standard, c.size), 5'000'000);
        EXPECT_EQ(bitrateFor(VideoQuality::automatic, c.size), c.automatic);
    }
}

}  // namespace
}  // namespace tessera
