#include <gtest/gtest.h>

#include "media/EncoderSettings.h"

namespace tessera {
namespace {

TEST(FitWithinH264Limits, Examples) {
    struct Case {
        int64_t width, height, fittedWidth, fittedHeight;
    };
    const Case cases[] = {
        {5120, 2880, 4096, 2304}, {7680, 1080, 4096, 576}, {4097, 2304, 4096, 2302},
        {3840, 2160, 3840, 2160}, {1001, 601, 1000, 600},  {0, 0, 2, 2},
        {2, 3000, 2, 2304},       {1080, 4000, 622, 2304},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fitWithinH264Limits(c.width, c.height),
                  (PixelSize{c.fittedWidth, c.fittedHeight}))
            << c.width << " x " << c.height;
    }
}

// Automatic follows the pixel count within [8, 10] Mbit/s; the fixed
// qualities ignore the size.
TEST(VideoBitrate, PerQuality) {
    struct Case {
        int64_t width, height, automatic;
    };
    const Case cases[] = {
        {640, 480, 8'000'000},    {1920, 1080, 8'000'000},  {2000, 1100, 8'487'654},
        {2560, 1440, 10'000'000}, {4096, 2304, 10'000'000}, {0, 0, 8'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const PixelSize size{c.width, c.height};
        EXPECT_EQ(videoBitrate(c.width, c.height), c.automatic);
        EXPECT_EQ(bitrateFor(VideoQuality::automatic, size), c.automatic);
        EXPECT_EQ(bitrateFor(VideoQuality::high, size), 12'000'000);
        EXPECT_EQ(bitrateFor(VideoQuality::standard, size), 5'000'000);
    }
}

}  // namespace
}  // namespace tessera
