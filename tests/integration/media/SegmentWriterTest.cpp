#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "MediaProbe.h"
#include "media/SegmentWriter.h"
#include "support/RecorderError.h"
#include "support/SyntheticCapture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

namespace tessera {
namespace {

using testing::probeBytes;
using testing::SegmentCollector;
using testing::SyntheticFrames;

// The writer drops what it cannot take now; the tests feed it as fast as it takes.
template <class Input>
void waitUntilReady(Input& input) {
    ASSERT_TRUE(testing::waitUntil([&] { return input.isReadyForMoreMediaData(); }))
        << "writer never became ready";
}

void finishAndWait(SegmentWriter& writer) {
    std::promise<void> done;
    writer.finish([&done] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

VideoSample frameAt(const SyntheticFrames& frames, int64_t index, MediaTime pts) {
    VideoSample sample;
    sample.pixels = frames.frame(index);
    sample.timing = SampleTiming{MediaTime(1, 30), pts, MediaTime::invalid()};
    sample.frameStatus = FrameStatus::complete;
    return sample;
}

// Frames [from, to) at 30 fps, each as soon as the writer takes it.
void appendFrames(SegmentWriter& writer, const SyntheticFrames& frames, int from, int to) {
    for (int k = from; k < to; ++k) {
        waitUntilReady(writer.videoInput());
        ASSERT_TRUE(writer.videoInput().append(frameAt(frames, k, MediaTime(k, 30))));
    }
}

std::string boxType(const std::vector<uint8_t>& bytes) {
    return bytes.size() < 8 ? "" : std::string(reinterpret_cast<const char*>(&bytes[4]), 4);
}

SegmentWriter::Configuration smallConfiguration(bool systemAudio = false) {
    return SegmentWriter::Configuration{320, 180, 30, 1'000'000, systemAudio, 2};
}

// Seven seconds of video and audio: an init segment, then a media segment per
// two seconds, H.264 High and AAC-LC tagged BT.709, every frame in order. A
// second start changes nothing; frames that do not move forward are refused.
TEST(SegmentWriter, SegmentContractReadBack) {
    SegmentCollector segments;
    SegmentWriter writer(SegmentWriter::Configuration{640, 360, 30, 2'000'000, true, 2},
                         segments.handler());
    writer.start();
    writer.start();
    EXPECT_EQ(writer.status(), WriterStatus::writing);
    SyntheticFrames frames(640, 360);
    const int totalFrames = 7 * 30;
    int64_t audioFrames = 0;
    for (int k = 0; k < totalFrames; ++k) {
        appendFrames(writer, frames, k, k + 1);
        // 1600 audio frames per video frame at 48 kHz.
        while (audioFrames < (k + 1) * 1600) {
            waitUntilReady(*writer.systemAudioInput());
            ASSERT_TRUE(writer.systemAudioInput()->append(
                testing::makeTone(MediaTime(audioFrames, 48000), 480, 440, audioFrames)));
            audioFrames += 480;
        }
    }
    waitUntilReady(writer.videoInput());
    EXPECT_FALSE(writer.videoInput().append(frameAt(frames, 0, MediaTime(6, 1))));
    EXPECT_FALSE(writer.videoInput().append(frameAt(frames, 0, MediaTime(totalFrames - 1, 30))));
    EXPECT_FALSE(writer.videoInput().append(VideoSample{}));
    finishAndWait(writer);
    EXPECT_EQ(writer.status(), WriterStatus::completed);

    const auto list = segments.list();
    ASSERT_EQ(list.size(), 5u);  // init + [0,2) [2,4) [4,6) [6,7)
    EXPECT_EQ(boxType(list[0]), "ftyp");
    for (size_t i = 1; i < list.size(); ++i) {
        EXPECT_EQ(boxType(list[i]), "moof") << i;
        // The video track's fragment starts on a segment boundary.
        const auto tracks = testing::trackFragments(list[i]);
        ASSERT_FALSE(tracks.empty()) << i;
        EXPECT_EQ(tracks[0].baseDecodeTime, (i - 1) * 2 * 90000u) << i;
    }

    const testing::MediaProbe probe = probeBytes(segments.joined());
    ASSERT_TRUE(probe.video);
    ASSERT_EQ(probe.video->decodedFrames, totalFrames);
    for (int k = 0; k < totalFrames; ++k) {
        ASSERT_EQ(probe.video->counters[k], k % 60) << k;
    }
    EXPECT_EQ(probe.video->codec, "h264");
    EXPECT_EQ(probe.video->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(probe.video->colorPrimaries, AVCOL_PRI_BT709);
    EXPECT_EQ(probe.video->colorTransfer, AVCOL_TRC_BT709);
    EXPECT_EQ(probe.video->colorSpace, AVCOL_SPC_BT709);
    EXPECT_NEAR(probe.video->endSeconds - probe.video->startSeconds, 7.0, 0.05);
    ASSERT_TRUE(probe.audio);
    EXPECT_EQ(probe.audio->profile, FF_PROFILE_AAC_LOW);
    EXPECT_EQ(probe.audio->sampleRate, 48000);
    EXPECT_EQ(probe.audio->channels, 2);
    EXPECT_NEAR(probe.audio->endSeconds, 7.0, 0.05);
}

TEST(SegmentWriter, NeverStartedFailedOrCancelledWritersDeliverNothingMore) {
    SegmentCollector segments;
    SegmentWriter idle(smallConfiguration(true), segments.handler());
    EXPECT_FALSE(idle.videoInput().isReadyForMoreMediaData());
    finishAndWait(idle);
    EXPECT_EQ(idle.status(), WriterStatus::unknown);

    SegmentWriter broken(SegmentWriter::Configuration{0, 0, 30, 1'000'000, false, 2},
                         segments.handler());
    EXPECT_THROW(broken.start(), RecorderError);
    EXPECT_EQ(broken.status(), WriterStatus::failed);
    EXPECT_TRUE(broken.error());
    SyntheticFrames frames(320, 180);
    EXPECT_FALSE(broken.videoInput().append(frameAt(frames, 0, MediaTime::zero())));
    finishAndWait(broken);
    EXPECT_EQ(segments.count(), 0u);

    SegmentWriter cancelled(smallConfiguration(), segments.handler());
    cancelled.start();
    appendFrames(cancelled, frames, 0, 150);
    cancelled.cancelWriting();
    const size_t afterCancel = segments.count();
    EXPECT_EQ(cancelled.status(), WriterStatus::cancelled);
    EXPECT_FALSE(cancelled.videoInput().append(frameAt(frames, 0, MediaTime(10, 1))));
    finishAndWait(cancelled);
    EXPECT_EQ(segments.count(), afterCancel);
}

}  // namespace
}  // namespace tessera
