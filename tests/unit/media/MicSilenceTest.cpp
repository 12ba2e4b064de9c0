#include <gtest/gtest.h>

#include <algorithm>

#include "media/MicFileWriter.h"

namespace tessera {
namespace {

AudioSample templateOf(std::optional<AudioFormat> format) {
    AudioSample sample;
    sample.format = format;
    sample.frameCount = 10;
    sample.timings = {SampleTiming{MediaTime(1, 48000), MediaTime(3, 1), MediaTime::invalid()}};
    return sample;
}

TEST(MicSilence, LeadingSilenceOnlyBetweenAMillisecondAndTenSeconds) {
    const AudioSample mic = templateOf(AudioFormat::float32Interleaved(48000, 2));
    const std::pair<MediaTime, int64_t> cases[] = {
        {MediaTime(1, 1000), 0}, {MediaTime(1001, 1'000'000), 48}, {MediaTime(5, 2), 120000},
        {MediaTime(10, 1), 0},   {MediaTime::invalid(), 0},        {MediaTime(-1, 1), 0},
    };
    for (const auto& [end, frames] : cases) {
        SCOPED_TRACE(end.seconds());
        auto silence = MicFileWriter::leadingSilence(mic, end);
        ASSERT_EQ(bool(silence), frames != 0);
        if (silence) {
            EXPECT_EQ(silence->frameCount, frames);
            EXPECT_EQ(silence->presentationTimeStamp(), MediaTime::zero());
        }
    }
}

// Zeroes of the right size for each layout; nothing for unusable formats or
// lengths, and absurd lengths are refused instead of allocated.
TEST(MicSilence, ZeroBlocksFollowTheLayoutAndBadRequestsGiveNothing) {
    const std::pair<AudioFormat, size_t> cases[] = {
        {AudioFormat::float32Interleaved(48000, 2), 1000 * 8},
        {AudioFormat::float32Planar(48000, 2), 1000 * 4 * 2},
        {AudioFormat{44100, 6, 2, false, AudioSampleType::int16}, 1000 * 2 * 6},
    };
    for (const auto& [format, bytes] : cases) {
        auto silence = MicFileWriter::silence(templateOf(format), 1000, MediaTime(7, 2));
        ASSERT_TRUE(silence);
        EXPECT_EQ(silence->payload->size(), bytes);
        EXPECT_TRUE(silence->hasConsistentPayload());
        EXPECT_EQ(silence->presentationTimeStamp(), MediaTime(7, 2));
        EXPECT_EQ(std::count(silence->payload->begin(), silence->payload->end(), 0),
                  static_cast<std::ptrdiff_t>(bytes));
    }
    const AudioFormat stereo = AudioFormat::float32Interleaved(48000, 2);
    EXPECT_FALSE(MicFileWriter::silence(templateOf(stereo), -5, MediaTime::zero()));
    EXPECT_FALSE(MicFileWriter::silence(templateOf(std::nullopt), 100, MediaTime::zero()));
    EXPECT_FALSE(
        MicFileWriter::silence(templateOf(AudioFormat{0, 2, 8, true}), 100, MediaTime::zero()));
    EXPECT_FALSE(
        MicFileWriter::silence(templateOf(AudioFormat{48000, 2, 0, true}), 100, MediaTime::zero()));
    EXPECT_FALSE(MicFileWriter::silence(templateOf(stereo), int64_t{1} << 40, MediaTime::zero()));
}

}  // namespace
}  // namespace tessera
