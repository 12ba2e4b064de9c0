// The camera frame decoder on pictures made by the ffmpeg tool, compared with
// the tool's own conversion of the same picture to BGRA.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/v4l2/CameraFrameDecoder.h"
#include "support/RecorderError.h"
#include "support/TempDir.h"

namespace tessera {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

class CameraFrameDecoderTest : public ::testing::Test {
  protected:
    // Runs the ffmpeg tool with `arguments` and returns the bytes of `output`.
    std::vector<std::uint8_t> ffmpeg(const std::string& arguments, const std::string& output) {
        const auto path = dir_.path() / output;
        const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments +
                                    " '" + path.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // One frame of the test pattern in `pixelFormat` as `container`, and the
    // tool's BGRA conversion of that file.
    std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> testPicture(
        const std::string& pixelFormat, const std::string& container, const std::string& output,
        const std::string& inputOptions) {
        auto picture = ffmpeg("-f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 1 -pix_fmt " +
                                  pixelFormat + " -f " + container,
                              output);
        auto bgra = ffmpeg(inputOptions + " -i '" + (dir_.path() / output).string() +
                               "' -frames:v 1 -pix_fmt bgra -f rawvideo",
                           output + ".bgra");
        return {std::move(picture), std::move(bgra)};
    }

    testing::TempDir dir_;
};

const SampleTiming kTiming{MediaTime(1, 30), MediaTime::fromNanoseconds(123'456'789'000),
                           MediaTime::invalid()};

// The decoded picture matches the reference within a step or two of chroma
// rounding, and keeps the timing it was given.
void expectMatches(const VideoSample& sample, const std::vector<std::uint8_t>& reference) {
    ASSERT_TRUE(sample.isValid());
    ASSERT_EQ(sample.pixels->width, kWidth);
    ASSERT_EQ(sample.pixels->height, kHeight);
    ASSERT_EQ(reference.size(), static_cast<size_t>(kWidth) * kHeight * 4);
    int largest = 0;
    for (int y = 0; y < kHeight; ++y) {
        const std::uint8_t* row = sample.pixels->row(y);
        const std::uint8_t* expected = reference.data() + static_cast<size_t>(y) * kWidth * 4;
        for (int x = 0; x < kWidth * 4; ++x) {
            largest = std::max(largest, std::abs(int(row[x]) - int(expected[x])));
        }
    }
    EXPECT_LE(largest, 3);
    EXPECT_EQ(sample.timing.presentationTimeStamp, kTiming.presentationTimeStamp);
}

// Cameras send 4:2:2 and 4:2:0 JPEG pictures, and sometimes another size
// than they negotiated. A bad picture throws and the next good one decodes.
TEST_F(CameraFrameDecoderTest, MjpegMatchesTheToolsConversionAndBadFramesThrow) {
    CameraFrameDecoder decoder(CameraPixelFormat::mjpeg, kWidth, kHeight);
    for (const std::string chroma : {"yuvj422p", "yuvj420p"}) {
        SCOPED_TRACE(chroma);
        const auto [jpeg, reference] = testPicture(chroma, "mjpeg", chroma + ".jpg", "");
        expectMatches(decoder.decode(jpeg.data(), jpeg.size(), kTiming), reference);

        const std::vector<std::uint8_t> garbage(4096, 0x5A);
        EXPECT_THROW(decoder.decode(garbage.data(), garbage.size(), kTiming), RecorderError);
        EXPECT_THROW(decoder.decode(jpeg.data(), 200, kTiming), RecorderError);
        expectMatches(decoder.decode(jpeg.data(), jpeg.size(), kTiming), reference);
    }
    const auto small = ffmpeg("-f lavfi -i testsrc2=size=640x360 -frames:v 1 -f mjpeg", "s.jpg");
    const VideoSample sample = decoder.decode(small.data(), small.size(), kTiming);
    ASSERT_TRUE(sample.isValid());
    EXPECT_EQ(sample.pixels->width, 640);
    EXPECT_EQ(sample.pixels->height, 360);
}

// Packed rows, rows a driver padded (the padding after the last row may be
// absent), and a frame too short to hold the picture.
TEST_F(CameraFrameDecoderTest, YuyvMatchesTheToolsConversion) {
    const auto [yuyv, reference] = testPicture("yuyv422", "rawvideo", "frame.yuyv",
                                               "-f rawvideo -pix_fmt yuyv422 -s 1280x720");
    ASSERT_EQ(yuyv.size(), static_cast<size_t>(kWidth) * kHeight * 2);
    CameraFrameDecoder packed(CameraPixelFormat::yuyv422, kWidth, kHeight);
    expectMatches(packed.decode(yuyv.data(), yuyv.size(), kTiming), reference);
    EXPECT_THROW(packed.decode(yuyv.data(), yuyv.size() - 1, kTiming), RecorderError);

    constexpr int kStride = kWidth * 2 + 64;
    std::vector<std::uint8_t> padded(static_cast<size_t>(kStride) * (kHeight - 1) + kWidth * 2,
                                     0xEE);
    for (int y = 0; y < kHeight; ++y) {
        std::copy_n(yuyv.begin() + static_cast<long>(y) * kWidth * 2, kWidth * 2,
                    padded.begin() + static_cast<long>(y) * kStride);
    }
    CameraFrameDecoder strided(CameraPixelFormat::yuyv422, kWidth, kHeight, kStride);
    expectMatches(strided.decode(padded.data(), padded.size(), kTiming), reference);
}

}  // namespace
}  // namespace tessera
