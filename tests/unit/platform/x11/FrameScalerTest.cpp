// Scaling a grabbed screen into a frame of the recording's size: the picture
// keeps its aspect ratio inside black margins, opaque, at odd sizes too.

#include <gtest/gtest.h>

#include <vector>

#include "platform/x11/FramePainting.h"

namespace tessera {
namespace {

std::uint32_t pixelAt(const PixelBuffer& frame, int x, int y) {
    return reinterpret_cast<const std::uint32_t*>(frame.row(y))[x];
}

TEST(FrameScaler, FitsOddSizesInsideBlackMarginsWithoutWritingPastTheFrame) {
    struct Case {
        int sourceWidth, sourceHeight, width, height;
    };
    for (const Case& c : {Case{101, 57, 46, 26}, Case{57, 101, 31, 45}, Case{3, 3, 7, 5},
                          Case{1921, 1079, 1283, 721}}) {
        // A white source, its padding byte left at zero as X hands it out.
        std::vector<std::uint32_t> source(static_cast<size_t>(c.sourceWidth) * c.sourceHeight,
                                          0x00FFFFFFu);
        auto frame = PixelBuffer::make(c.width, c.height);
        FrameScaler scaler;
        scaler.scale(reinterpret_cast<const std::uint8_t*>(source.data()), c.sourceWidth * 4,
                     c.sourceWidth, c.sourceHeight, *frame);
        SCOPED_TRACE(testing::Message() << c.sourceWidth << "x" << c.sourceHeight << " into "
                                        << c.width << "x" << c.height);
        // The centre is the picture, opaque white; a corner outside the fitted
        // picture (if any) is opaque black.
        EXPECT_EQ(pixelAt(*frame, c.width / 2, c.height / 2), 0xFFFFFFFFu);
        const std::uint32_t corner = pixelAt(*frame, 0, 0);
        EXPECT_TRUE(corner == 0xFF000000u || corner == 0xFFFFFFFFu) << std::hex << corner;
        EXPECT_EQ(pixelAt(*frame, c.width - 1, c.height - 1) >> 24, 0xFFu);
    }
}

}  // namespace
}  // namespace tessera
