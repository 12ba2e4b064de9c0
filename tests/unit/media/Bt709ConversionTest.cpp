#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "media/Bt709Conversion.h"

namespace tessera {
namespace {

struct Exact {
    double y, u, v;
};

// The BT.709 limited-range result in floating point.
Exact bt709(double red, double green, double blue) {
    const double luma = 0.2126 * red + 0.7152 * green + 0.0722 * blue;
    return {16.0 + 219.0 / 255.0 * luma, 128.0 + 224.0 / 255.0 * (blue - luma) / 1.8556,
            128.0 + 224.0 / 255.0 * (red - luma) / 1.5748};
}

struct Picture {
    int width, height, stride;
    std::vector<uint8_t> bgrx;
    const uint8_t* pixel(int x, int y) const { return &bgrx[y * stride + 4 * x]; }
};

struct Converted {
    int width, height, yStride, cStride;
    std::vector<uint8_t> y, u, v;
};

// Planes with padding past each row, filled with a marker that must survive.
Converted convert(const Picture& picture) {
    Converted out{
        picture.width, picture.height, picture.width + 32, picture.width / 2 + 16, {}, {}, {}};
    out.y.assign(static_cast<size_t>(out.yStride) * out.height, 0xEE);
    out.u.assign(static_cast<size_t>(out.cStride) * out.height / 2, 0xEE);
    out.v.assign(static_cast<size_t>(out.cStride) * out.height / 2, 0xEE);
    convertBgrxToYuv420Bt709(picture.bgrx.data(), picture.stride, picture.width, picture.height,
                             Yuv420Planes{out.y.data(), out.u.data(), out.v.data(), out.yStride,
                                          out.cStride, out.cStride});
    return out;
}

Picture randomPicture(int width, int height, unsigned seed) {
    // Rows padded past the picture, as an X11 grab's may be; the padding and
    // the fourth byte of each pixel are noise the conversion must ignore.
    Picture picture{width, height, width * 4 + 24, {}};
    picture.bgrx.resize(static_cast<size_t>(picture.stride) * height);
    std::mt19937 random(seed);
    for (uint8_t& byte : picture.bgrx) {
        byte = static_cast<uint8_t>(random());
    }
    return picture;
}

TEST(Bt709Conversion, EveryValueIsWithinOneStepOfTheExactResult) {
    // Four 16-pixel blocks of the vectorised loop and a remainder.
    const int width = 70;
    const int height = 6;
    const Picture picture = randomPicture(width, height, 70);
    const Converted out = convert(picture);
    double worstY = 0, worstChroma = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = picture.pixel(x, y);
            const double exact = bt709(p[2], p[1], p[0]).y;
            worstY = std::max(worstY, std::abs(exact - out.y[y * out.yStride + x]));
        }
        EXPECT_EQ(out.y[y * out.yStride + width], 0xEE) << "row " << y << " overran";
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            double red = 0, green = 0, blue = 0;
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    const uint8_t* p = picture.pixel(2 * x + dx, 2 * y + dy);
                    blue += p[0] / 4.0;
                    green += p[1] / 4.0;
                    red += p[2] / 4.0;
                }
            }
            const Exact exact = bt709(red, green, blue);
            worstChroma = std::max({worstChroma, std::abs(exact.u - out.u[y * out.cStride + x]),
                                    std::abs(exact.v - out.v[y * out.cStride + x])});
        }
        EXPECT_EQ(out.u[y * out.cStride + width / 2], 0xEE) << "row " << y << " overran";
        EXPECT_EQ(out.v[y * out.cStride + width / 2], 0xEE) << "row " << y << " overran";
    }
    EXPECT_LT(worstY, 1.0);
    EXPECT_LT(worstChroma, 1.0);
}

TEST(Bt709Conversion, TheAvx2PathMatchesThePortableLoopByteForByte) {
    if (!detail::conversionUsesAvx2()) {
        GTEST_SKIP() << "this processor has no AVX2";
    }
    // Two 16-pixel blocks and a remainder, padding included in the comparison.
    const Picture picture = randomPicture(46, 4, 4);
    const Converted fast = convert(picture);
    Converted portable = fast;
    std::fill(portable.y.begin(), portable.y.end(), 0xEE);
    std::fill(portable.u.begin(), portable.u.end(), 0xEE);
    std::fill(portable.v.begin(), portable.v.end(), 0xEE);
    detail::convertBgrxToYuv420Bt709Portable(
        picture.bgrx.data(), picture.stride, picture.width, picture.height,
        Yuv420Planes{portable.y.data(), portable.u.data(), portable.v.data(), portable.yStride,
                     portable.cStride, portable.cStride});
    EXPECT_EQ(fast.y, portable.y);
    EXPECT_EQ(fast.u, portable.u);
    EXPECT_EQ(fast.v, portable.v);
}

}  // namespace
}  // namespace tessera
