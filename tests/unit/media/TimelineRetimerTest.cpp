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

TEST(TimelineRetimer, WorkedExample) {
    TimelineRetimer retimer;
    EXPECT_FALSE(retimer.videoTime(frameAt(MediaTime::invalid())));  // no time: no anchor
    // A frame while paused before anchoring is dropped and does not anchor.
    retimer.pause(ms(90'000));
    EXPECT_FALSE(retimer.videoTime(frameAt(ms(95'000))));
    EXPECT_FALSE(retimer.anchored());
    retimer.resume(ms(97'000));
    // Frames every 1/30 s from capture time 100 s up to the pause.
    for (int k = 0; k < 300; ++k) {
        auto t = retimer.videoTime(frameAt(MediaTime(3000 + k, 30)));
        ASSERT_TRUE(t);
        EXPECT_EQ(*t, MediaTime(k, 30));
    }
    EXPECT_EQ(retimer.lastVideoEnd(), MediaTime(10, 1));
    retimer.pause(ms(110'010));
    EXPECT_FALSE(retimer.videoTime(frameAt(ms(115'000))));
    retimer.resume(ms(125'010));
    EXPECT_EQ(retimer.videoTime(frameAt(ms(125'033))), ms(10'033));

    auto audio = retimer.retimedAudio(audioAt({ms(125'020)}));
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->presentationTimeStamp(), ms(10'020));
    EXPECT_FALSE(retimer.retimedAudio(audioAt({ms(99'900)})));
}

TEST(TimelineRetimer, PauseAndResumeSteps) {
    TimelineRetimer retimer;
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(0))));
    retimer.resume(ms(500));  // running: nothing happens
    retimer.pause(ms(1'000));
    retimer.pause(ms(2'000));  // the first pauseStart stays
    retimer.resume(ms(4'000));
    EXPECT_EQ(retimer.videoTime(frameAt(ms(4'100))), ms(1'100));

    // A resume at or before the pause start leaves the shift unchanged.
    retimer.pause(ms(5'000));
    retimer.resume(ms(5'000));
    retimer.pause(ms(6'000));
    retimer.resume(ms(5'500));
    EXPECT_EQ(retimer.videoTime(frameAt(ms(6'200))), ms(3'200));
}

TEST(TimelineRetimer, LateFramesWithinAQuarterSecondAreAcceptedAndMoveTheEndBack) {
    TimelineRetimer retimer;
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(0), ms(1'000))));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(1'000));
    // 251 ms behind the end: dropped, end unchanged.
    EXPECT_FALSE(retimer.videoTime(frameAt(ms(749), ms(10))));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(1'000));
    // Exactly 250 ms behind: accepted, end moves back to its own end.
    EXPECT_EQ(retimer.videoTime(frameAt(ms(750), ms(10))), ms(750));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(760));
    // Unusable durations count as 1/30 s.
    for (const MediaTime& d : {MediaTime::invalid(), MediaTime(0, 30), MediaTime(-1, 30)}) {
        ASSERT_TRUE(retimer.videoTime(frameAt(ms(7'000), d)));
        EXPECT_EQ(retimer.lastVideoEnd(), ms(7'000) + MediaTime(1, 30));
    }
}

TEST(TimelineRetimer, AudioIsJudgedByItsFirstEntryAndKeepsInvalidDecodeTimes) {
    TimelineRetimer retimer;
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(10'000))));
    // First entry negative, later positive: dropped whole.
    EXPECT_FALSE(retimer.retimedAudio(audioAt({ms(9'990), ms(10'500)})));
    // First entry exactly zero passes; every entry is shifted; the payload is shared.
    const AudioSample source = audioAt({ms(10'000), ms(10'010)});
    auto exact = retimer.retimedAudio(source);
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->timings[0].presentationTimeStamp, MediaTime::zero());
    EXPECT_EQ(exact->timings[1].presentationTimeStamp, ms(10));
    EXPECT_FALSE(exact->timings[0].decodeTimeStamp.isValid());
    EXPECT_EQ(exact->timings[0].duration, MediaTime(1, 48000));
    EXPECT_EQ(exact->payload.get(), source.payload.get());

    auto withDts = retimer.retimedAudio(audioAt({ms(10'200)}, ms(10'100)));
    ASSERT_TRUE(withDts);
    EXPECT_EQ(withDts->timings[0].decodeTimeStamp, ms(100));
    EXPECT_FALSE(retimer.retimedAudio(audioAt({})));
}

// A static screen: the owner repeats the last picture at timeline 2 s, and an
// extension never moves the end back. The timeline ends at the later of the
// last frame's end and now, or, while paused, the pause: a screen that stood
// still before the pause keeps that time.
TEST(TimelineRetimer, RepeatedFramesExtendTheEndAndPausedTimeIsOffTheTimeline) {
    TimelineRetimer retimer;
    EXPECT_FALSE(retimer.timelineTime(ms(1'000)));
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(1'000))));
    EXPECT_EQ(retimer.timelineEnd(ms(1'010)), MediaTime(1, 30));
    EXPECT_EQ(retimer.timelineTime(ms(3'000)), ms(2'000));
    EXPECT_EQ(retimer.timelineEnd(ms(3'000)), ms(2'000));
    retimer.extendVideoEnd(ms(2'033));
    retimer.extendVideoEnd(ms(1'500));
    EXPECT_EQ(retimer.lastVideoEnd(), ms(2'033));
    retimer.pause(ms(3'500));
    EXPECT_FALSE(retimer.timelineTime(ms(4'000)));
    EXPECT_EQ(retimer.timelineEnd(ms(9'000)), ms(2'500));
    retimer.resume(ms(5'500));
    EXPECT_EQ(retimer.timelineTime(ms(6'000)), ms(3'000));
    // Paused inside the last frame: the frame's end stays the end.
    ASSERT_TRUE(retimer.videoTime(frameAt(ms(6'000))));
    retimer.pause(ms(6'010));
    EXPECT_EQ(retimer.timelineEnd(ms(9'000)), ms(3'000) + MediaTime(1, 30));
}

}  // namespace
}  // namespace tessera
