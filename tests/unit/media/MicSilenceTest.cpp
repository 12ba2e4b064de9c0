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
    struct Case {
        MediaTime end;
        int64_t frames;  // 0: none made
    };
    const Case cases[] = {
        {MediaTime(1, 1000), 0},   {MediaTime(1001, 1'000'000), 48},
        {MediaTime(5, 2), 120000}, {MediaTime(9999, 1000), 479952},
        {MediaTime(10, 1), 0},     {MediaTime(25, 1), 0},
        {MediaTime::invalid(), 0}, {MediaTime(-1, 1), 0},
    };
    for (const Case& c : cases) {
        auto silence = MicFileWriter::leadingSilence(mic, c.end);
        if (c.frames == 0) {
            EXPECT_FALSE(silence) << c.end.seconds();
            continue;
        }
        ASSERT_TRUE(silence) << c.end.seconds();
        EXPECT_EQ(silence->frameCount, c.frames);
        EXPECT_EQ(silence->presentationTimeStamp(), MediaTime::zero());
    }
}

TEST(MicSilence, BlockSizeFollowsInterleaving) {
    struct Case {
        AudioFormat format;
        size_t bytes;
    };
    const Case cases[] = {
        {AudioFormat::float32Interleaved(48000, 2), 1000 * 8},
        {AudioFormat::float32Planar(48000, 2), 1000 * 4 * 2},
        {AudioFormat{44100, 1, 2, true, AudioSampleType::int16}, 1000 * 2},
        {AudioFormat{44100, 6, 2, false, AudioSampleType::int16}, 1000 * 2 * 6},
    };
    for (const Case& c : cases) {
        auto silence = MicFileWriter::silence(templateOf(c.format), 1000, MediaTime(7, 2));
        ASSERT_TRUE(silence);
        EXPECT_EQ(silence->payload->size(), c.bytes);
        EXPECT_TRUE(silence->hasConsistentPayload());
        EXPECT_EQ(silence->presentationTimeStamp(), MediaTime(7, 2));
        EXPECT_EQ(
            static_cast<size_t>(std::count(silence->payload->begin(), silence->payload->end(), 0)),
            c.bytes);
    }
}

TEST(MicSilence, NothingWithoutFramesOrAudioFormat) {
    const AudioFormat stereo = AudioFormat::float32Interleaved(48000, 2);
    EXPECT_FALSE(MicFileWriter::silence(templateOf(stereo), 0, MediaTime::zero()));
    EXPECT_FALSE(MicFileWriter::silence(templateOf(stereo), -5, MediaTime::zero()));
    EXPECT_FALSE(MicFileWriter::silence(templateOf(std::nullopt), 100, MediaTime::zero()));
    EXPECT_FALSE(
        MicFileWriter::silence(templateOf(AudioFormat{0, 2, 8, true}), 100, MediaTime::zero()));
    EXPECT_FALSE(
        MicFileWriter::silence(templateOf(AudioFormat{48000, 2, 0, true}), 100, MediaTime::zero()));
    // Absurd lengths are refused instead of allocated.
    EXPECT_FALSE(MicFileWriter::silence(templateOf(stereo), int64_t{1} << 40, MediaTime::zero()));
}

}  // namespace
}  // namespace tessera
