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

namespace fs = std::filesystem;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
// The decoder and the tool may round chroma differently by a step or two.
constexpr int kChannelTolerance = 3;

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CameraFrameDecoderTest : public ::testing::Test {
  protected:
    // Runs the ffmpeg tool with `arguments` and returns the bytes of `output`.
    std::vector<std::uint8_t> ffmpeg(const std::string& arguments, const std::string& output) {
        const fs::path path = dir_.path() / output;
        const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments +
                                    " '" + path.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return readFile(path);
    }

    // One frame of the moving test pattern, in `pixelFormat`, as `container`.
    std::vector<std::uint8_t> testPicture(const std::string& pixelFormat,
                                          const std::string& container, const std::string& output) {
        return ffmpeg("-f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 1 -pix_fmt " +
                          pixelFormat + " -f " + container,
                      output);
    }

    // The tool's BGRA conversion of a file it made before.
    std::vector<std::uint8_t> toolBgra(const std::string& inputOptions, const std::string& input) {
        return ffmpeg(inputOptions + " -i '" + (dir_.path() / input).string() +
                          "' -frames:v 1 -pix_fmt bgra -f rawvideo",
                      input + ".bgra");
    }

    testing::TempDir dir_;
};

SampleTiming someTiming() {
    return {MediaTime(1, 30), MediaTime::fromNanoseconds(123'456'789'000), MediaTime::invalid()};
}

// Largest per-channel difference between a decoded buffer and reference BGRA.
int largestDifference(const PixelBuffer& pixels, const std::vector<std::uint8_t>& reference) {
    int largest = 0;
    for (int y = 0; y < pixels.height; ++y) {
        const std::uint8_t* row = pixels.row(y);
        const std::uint8_t* expected = reference.data() + static_cast<size_t>(y) * pixels.width * 4;
        for (int x = 0; x < pixels.width * 4; ++x) {
            largest = std::max(largest, std::abs(int(row[x]) - int(expected[x])));
        }
    }
    return largest;
}

void expectMatches(const VideoSample& sample, const std::vector<std::uint8_t>& reference) {
    ASSERT_TRUE(sample.isValid());
    ASSERT_EQ(sample.pixels->width, kWidth);
    ASSERT_EQ(sample.pixels->height, kHeight);
    ASSERT_EQ(reference.size(), static_cast<size_t>(kWidth) * kHeight * 4);
    EXPECT_LE(largestDifference(*sample.pixels, reference), kChannelTolerance);
    EXPECT_EQ(sample.timing.presentationTimeStamp, someTiming().presentationTimeStamp);
    EXPECT_EQ(sample.timing.duration, someTiming().duration);
    EXPECT_FALSE(sample.timing.decodeTimeStamp.isValid());
    EXPECT_FALSE(sample.frameStatus.has_value());
}

// Cameras send 4:2:2 and 4:2:0 JPEG pictures, and sometimes another size
// than they negotiated. A bad picture throws and the next good one decodes.
TEST_F(CameraFrameDecoderTest, MjpegMatchesTheToolsConversionAndBadFramesThrow) {
    CameraFrameDecoder decoder(CameraPixelFormat::mjpeg, kWidth, kHeight);
    for (const std::string chroma : {"yuvj422p", "yuvj420p"}) {
        SCOPED_TRACE(chroma);
        const auto jpeg = testPicture(chroma, "mjpeg", chroma + ".jpg");
        const auto reference = toolBgra("", chroma + ".jpg");
        expectMatches(decoder.decode(jpeg.data(), jpeg.size(), someTiming()), reference);

        const std::vector<std::uint8_t> garbage(4096, 0x5A);
        EXPECT_THROW(decoder.decode(garbage.data(), garbage.size(), someTiming()), RecorderError);
        const std::vector<std::uint8_t> header(jpeg.begin(), jpeg.begin() + 200);
        EXPECT_THROW(decoder.decode(header.data(), header.size(), someTiming()), RecorderError);
        EXPECT_THROW(decoder.decode(jpeg.data(), 0, someTiming()), RecorderError);
        expectMatches(decoder.decode(jpeg.data(), jpeg.size(), someTiming()), reference);
    }
    const auto small = ffmpeg("-f lavfi -i testsrc2=size=640x360 -frames:v 1 -f mjpeg", "s.jpg");
    const VideoSample sample = decoder.decode(small.data(), small.size(), someTiming());
    ASSERT_TRUE(sample.isValid());
    EXPECT_EQ(sample.pixels->width, 640);
    EXPECT_EQ(sample.pixels->height, 360);
}

// Packed rows, rows a driver padded (the padding after the last row may be
// absent), and a frame too short to hold the picture.
TEST_F(CameraFrameDecoderTest, YuyvMatchesTheToolsConversion) {
    const auto yuyv = testPicture("yuyv422", "rawvideo", "frame.yuyv");
    ASSERT_EQ(yuyv.size(), static_cast<size_t>(kWidth) * kHeight * 2);
    const auto reference = toolBgra("-f rawvideo -pix_fmt yuyv422 -s 1280x720", "frame.yuyv");

    CameraFrameDecoder packed(CameraPixelFormat::yuyv422, kWidth, kHeight);
    expectMatches(packed.decode(yuyv.data(), yuyv.size(), someTiming()), reference);
    EXPECT_THROW(packed.decode(yuyv.data(), yuyv.size() - 1, someTiming()), RecorderError);

    constexpr int kStride = kWidth * 2 + 64;
    std::vector<std::uint8_t> padded(static_cast<size_t>(kStride) * (kHeight - 1) + kWidth * 2,
                                     0xEE);
    for (int y = 0; y < kHeight; ++y) {
        std::copy_n(yuyv.begin() + static_cast<long>(y) * kWidth * 2, kWidth * 2,
                    padded.begin() + static_cast<long>(y) * kStride);
    }
    CameraFrameDecoder strided(CameraPixelFormat::yuyv422, kWidth, kHeight, kStride);
    expectMatches(strided.decode(padded.data(), padded.size(), someTiming()), reference);
}

}  // namespace
}  // namespace tessera
