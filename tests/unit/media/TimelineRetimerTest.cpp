#include <gtest/gtest.h>

#include "media/TimelineRetimer.h"

namespace tessera {
namespace {

MediaTime ms(int64_t milliseconds) {
    return MediaTime(milliseconds, 1000);
}

SampleTiming frameAt(MediaTime pts, MediaTime duration = MediaTime(1, 30)) {
    return SampleTiming{duration, pts, MediaTime::invalid()};
}

AudioSample audioAt(std::vector<MediaTime> times, MediaTime dts = MediaTime::invalid()) {
    AudioSample sample;
    sample.format = AudioFormat::float32Interleaved(48000, 2);
    sample.frameCount = 480;
    sample.payload = std::make_shared<const std::vector<uint8_t>>(480 * 8, 0);
    for (const MediaTime& t : times) {
        sample.timings.push_back(SampleTiming{MediaTime(1, 48000), t, dts});
    }
    return sample;
}

// The first frame anchors time zero; paused time is cut from video and audio.
TEST(TimelineRetimer, PausedTimeIsCutFromVideoAndAudio) {
    TimelineRetimer retimer;
    EXPECT_FALSE(retimer.videoTime(frameAt(MediaTime::invalid())));
    // A frame while paused before anchoring is dropped and does not anchor.
    retimer.pause(ms(90'000));
    EXPECT_FALSE(retimer.videoTime(frameAt(ms(95'000))));
    EXPECT_FALSE(retimer.anchored());
    retimer.resume(ms(97'000));
    for (int k = 0; k < 300; ++k) {
        ASSERT_EQ(retimer.videoTime(frameAt(MediaTime(3000 + k, 30))), MediaTime(k, 30)) << k;
    }
    EXPECT_EQ(retimer.lastVideoEnd(), MediaTime(10, 1));
    retimer.pause(ms(110'010));
    retimer.pause(ms(111'000));  // the first pause start stays
    EXPECT_FALSE(retimer.videoTime(frameAt(ms(115'000))));
    retimer.resume(ms(125'010));
    retimer.resume(ms(126'000));  // running: nothing happens
    EXPECT_EQ(retimer.videoTime(frameAt(ms(125'033))), ms(10'033));
    // A resume at or before its pause start leaves the shift unchanged.
    retimer.pause(ms(126'000));
    retimer.resume(ms(125'500));
    EXPECT_EQ(retimer.videoTime(frameAt(ms(126'100))), ms(11'100));

    // Audio is judged by its first entry; every entry is shifted, DTS too.
    EXPECT_FALSE(retimer.retimedAudio(audioAt({ms(99'990), ms(100'500)})));
    auto audio = retimer.retimedAudio(audioAt({ms(126'020), ms(126'030)}, ms(126'000)));
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->timings[0].presentationTimeStamp, ms(11'020));
    EXPECT_EQ(audio->timings[1].presentationTimeStamp, ms(11'030));
    EXPECT_EQ(audio->timings[0].decodeTimeStamp, ms(11'000));
    EXPECT_FALSE(
        retimer.retimedAudio(audioAt({ms(126'100)}))->timings[0].decodeTimeStamp.isValid());
    EXPECT_FALSE(retimer.retimedAudio(audioAt({})));
}

TEST(TimelineRetimer, LateFramesWithinAQuarterSecondAreAcceptedAndMoveTheEndBack) {
    TimelineRetimer retimer;
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(0), ms(1'000))));
    EXPECT_FALSE(retimer.videoTime(frameAt(ms(749), ms(10))));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(1'000));
    EXPECT_EQ(retimer.videoTime(frameAt(ms(750), ms(10))), ms(750));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(760));
    // An unusable duration counts as 1/30 s.
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(7'000), MediaTime(0, 30))));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(7'000) + MediaTime(1, 30));
}

// A static screen: the owner repeats the last picture, and an extension never
// moves the end back. The timeline ends at the later of the last frame's end
// and now or, while paused, the pause (or the last frame's end if later).
TEST(TimelineRetimer, RepeatedFramesExtendTheEndAndAPausedTimelineEndsAtThePause) {
    TimelineRetimer retimer;
    EXPECT_FALSE(retimer.timelineTime(ms(1'000)));
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(1'000))));
    EXPECT_EQ(retimer.timelineEnd(ms(1'010)), MediaTime(1, 30));
    EXPECT_EQ(retimer.timelineEnd(ms(3'000)), ms(2'000));
    retimer.extendVideoEnd(ms(2'033));
    retimer.extendVideoEnd(ms(1'500));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(2'033));
    retimer.pause(ms(3'500));
    EXPECT_FALSE(retimer.timelineTime(ms(4'000)));
    EXPECT_EQ(retimer.timelineEnd(ms(9'000)), ms(2'500));
    retimer.resume(ms(5'500));
    EXPECT_EQ(retimer.timelineTime(ms(6'000)), ms(3'000));
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(6'000))));
    retimer.pause(ms(6'010));
    EXPECT_EQ(retimer.timelineEnd(ms(9'000)), ms(3'000) + MediaTime(1, 30));
}

}  // namespace
}  // namespace tessera
