#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "MediaProbe.h"
#include "media/ScreenRecorder.h"
#include "support/ManualExecutor.h"
#include "support/RecorderError.h"
#include "support/RunTask.h"
#include "support/SyntheticCapture.h"

namespace tessera {
namespace {

using testing::Gate;
using testing::runTask;
using testing::SyntheticCaptureStream;
using testing::waitUntil;

constexpr int kTicksPerSecond = 300;  // frames every 10 ticks, audio every 3

// A hand-driven host clock whose reading can be held: while held, the
// recorder's queue stops at its next pause or resume step, standing in for any
// stall of that queue.
class TestClock final : public HostClock {
  public:
    MediaTime now() const override {
        gate.pass();
        return manual_.now();
    }
    void set(MediaTime t) { manual_.set(t); }
    mutable Gate gate;

  private:
    ManualHostClock manual_{MediaTime(1000, 1)};
};

// A recorder on the synthetic source with a hand-driven host clock. Samples are
// emitted on the test thread at virtual times; each frame waits until the writer
// can take it, so encoding speed never decides what is recorded.
class ScreenRecorderTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Nothing may stay blocked, or the writers' threads could not end.
        segmentGate.open();
        micDiskGate.open();
        clock.gate.open();
        recorder.reset();
        if (mic) {
            mic->deleteFile();
        }
    }

    void make(bool systemAudio, bool withMic) {
        writer = std::make_shared<SegmentWriter>(
            SegmentWriter::Configuration{320, 180, 30, 1'000'000, systemAudio, 2},
            segments.handler(&segmentGate));
        mic = withMic ? std::make_shared<MicFileWriter>(micDiskGate.passer()) : nullptr;
        recorder = std::make_unique<ScreenRecorder>(writer, mic, factory, clock);
    }

    void start() {
        runTask(executor, recorder->start(ContentFilter::display(1), StreamConfiguration{}));
    }
    SyntheticCaptureStream& stream() { return *factory.lastStream; }
    // The steps read the host clock when they run on the queue: hold the clock
    // still until they have run.
    void step(void (ScreenRecorder::*operation)()) {
        (recorder.get()->*operation)();
        runTask(executor, recorder->drain());
    }
    void at(double seconds) {
        clock.set(MediaTime(std::llround(seconds * kTicksPerSecond), kTicksPerSecond));
    }
    bool stop(double seconds) {
        at(seconds);
        return runTask(executor, recorder->stop());
    }

    // Emits frames (30 fps) and both audio streams (10 ms buffers) for host times
    // [from, to) seconds. frames=false emits audio only.
    // Holds the encoder: its first segment cannot be delivered, so it stops
    // taking pictures once up to 75 frames (from host 1000 s, 30 fps) have
    // filled its hand-off. True once the encoder waits.
    bool stallEncoder() {
        segmentGate.close();
        for (int64_t k = 0; k < 75 && !segmentGate.hasWaiter(); ++k) {
            runTask(executor, recorder->drain());
            while (!writer->videoInput().isReadyForMoreMediaData() && !segmentGate.hasWaiter()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            stream().emitFrame(MediaTime(1000, 1) + MediaTime(k, 30));
        }
        runTask(executor, recorder->drain());
        writer->drainVideo();
        return segmentGate.waitUntilSomeoneWaits();
    }

    void capture(double from, double to, std::optional<FrameStatus> status = FrameStatus::complete,
                 bool frames = true) {
        for (int64_t tick = std::llround(from * kTicksPerSecond);
             tick < std::llround(to * kTicksPerSecond); ++tick) {
            const MediaTime t(tick, kTicksPerSecond);
            clock.set(t);
            if (tick % 3 == 0) {
                // As in real time, the writer has taken the earlier audio and
                // the microphone file's disk keeps up.
                if (auto* audio = writer->systemAudioInput()) {
                    runTask(executor, recorder->drain());
                    waitUntilReady(*audio);
                }
                stream().emitSystemAudio(t);
                if (mic && waitForMicFile) {
                    runTask(executor, recorder->drain());
                    ASSERT_TRUE(waitUntil([&] { return mic->backlog() <= MediaTime(1, 2); }));
                }
                stream().emitMicrophone(t);
            }
            if (frames && tick % 10 == 0) {
                runTask(executor, recorder->drain());
                waitUntilReady(writer->videoInput());
                stream().emitFrame(t, status);
            }
        }
        runTask(executor, recorder->drain());
    }
    template <class Input>
    void waitUntilReady(Input& input) {
        ASSERT_TRUE(waitUntil([&] {
            return writer->status() != WriterStatus::writing || input.isReadyForMoreMediaData();
        }));
    }
    size_t mediaSegmentCount() {
        size_t n = 0;
        for (const auto& s : segments.list()) {
            n += s.size() > 8 && std::string(reinterpret_cast<const char*>(&s[4]), 4) == "moof";
        }
        return n;
    }
    bool waitForMediaSegments(size_t count) {
        return waitUntil([&] { return mediaSegmentCount() >= count; });
    }
    testing::MediaProbe probeVideo() { return testing::probeBytes(segments.joined()); }
    testing::AudioProbe probeMic() {
        EXPECT_TRUE(runTask(executor, mic->finish()));
        const auto probe = testing::probeFile(mic->url());
        EXPECT_TRUE(probe.audio);
        return probe.audio.value_or(testing::AudioProbe{});
    }

    // Every media segment starts, on each track, where the one before it
    // ended: no hole and no overlap between segments.
    void expectContinuousSegments() {
        const auto list = segments.list();
        std::map<uint32_t, uint64_t> trackEnds;
        for (size_t i = 1; i < list.size(); ++i) {
            for (const testing::TrackFragment& track : testing::trackFragments(list[i])) {
                if (track.samples == 0) {
                    continue;
                }
                EXPECT_EQ(track.baseDecodeTime, trackEnds[track.trackId])
                    << "segment " << i << ", track " << track.trackId;
                trackEnds[track.trackId] = track.baseDecodeTime + track.duration;
            }
        }
        EXPECT_FALSE(trackEnds.empty());
    }

    testing::ScopedTmpDir tmp;
    ManualExecutor executor;
    TestClock clock;
    Gate segmentGate;
    Gate micDiskGate;
    bool waitForMicFile = true;
    testing::SyntheticCaptureFactory factory;
    testing::SegmentCollector segments;
    std::shared_ptr<SegmentWriter> writer;
    std::shared_ptr<MicFileWriter> mic;
    std::unique_ptr<ScreenRecorder> recorder;
};

// Audio before the first frame and everything while paused is off the
// timeline, in the video and the microphone file alike.
TEST_F(ScreenRecorderTest, PausedTimeIsCutFromVideoAndMicrophoneAlike) {
    make(true, true);
    start();
    capture(999, 1000, FrameStatus::complete, false);
    capture(1000, 1003);
    step(&ScreenRecorder::pause);
    capture(1003, 1007);
    step(&ScreenRecorder::resume);
    capture(1007, 1010);
    EXPECT_TRUE(stop(1010));
    EXPECT_EQ(writer->status(), WriterStatus::completed);
    const auto video = probeVideo();
    ASSERT_TRUE(video.video);
    EXPECT_NEAR(video.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(video.video->endSeconds, 6.0, 0.05);
    EXPECT_EQ(video.video->decodedFrames, 180);
    ASSERT_TRUE(video.audio);
    EXPECT_NEAR(video.audio->endSeconds, 6.0, 0.05);

    const auto micAudio = probeMic();
    EXPECT_NEAR(micAudio.startSeconds, 0.0, 0.03);
    EXPECT_NEAR(micAudio.endSeconds, 6.0, 0.05);
}

TEST_F(ScreenRecorderTest, OnlyCompleteFramesAreWritten) {
    make(false, false);
    start();
    const std::optional<FrameStatus> statuses[] = {FrameStatus::complete, FrameStatus::idle,
                                                   FrameStatus::blank, std::nullopt};
    for (int k = 0; k < 30; ++k) {
        const MediaTime t = MediaTime(1000, 1) + MediaTime(k, 30);
        clock.set(t);
        runTask(executor, recorder->drain());
        waitUntilReady(writer->videoInput());
        stream().emitFrame(t, statuses[k % 4]);
    }
    EXPECT_TRUE(stop(1001));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    ASSERT_EQ(probe.video->decodedFrames, 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(probe.video->counters[i], 4 * i);
    }
}

TEST_F(ScreenRecorderTest, AStaticScreenKeepsDeliveringSegments) {
    make(true, false);
    start();
    capture(1000, 1000.1);
    capture(1000.1, 1007, FrameStatus::idle);
    // [0,2) [2,4) [4,6) while still recording, although nothing moved.
    ASSERT_TRUE(waitForMediaSegments(3));
    EXPECT_TRUE(stop(1007));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    // Three frames, the last picture again at 2, 4 and 6 s, lasting until the stop.
    EXPECT_EQ(probe.video->decodedFrames, 6);
    EXPECT_NEAR(probe.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(probe.video->endSeconds, 7.0, 0.02);
    ASSERT_TRUE(probe.audio);
    EXPECT_NEAR(probe.audio->endSeconds, 7.0, 0.05);
    expectContinuousSegments();
    const ScreenRecorderStats stats = recorder->stats();
    EXPECT_EQ(stats.framesCaptured, 3);
    EXPECT_EQ(stats.framesWritten, 3);
    EXPECT_EQ(stats.framesRepeated, 3);
}

TEST_F(ScreenRecorderTest, StaticScreenSegmentsFollowTheTimelineAcrossAPause) {
    make(false, false);
    start();
    capture(1000, 1000.1);
    capture(1000.1, 1003, FrameStatus::idle);
    step(&ScreenRecorder::pause);
    capture(1003, 1005, FrameStatus::idle);
    step(&ScreenRecorder::resume);
    capture(1005, 1006.5, FrameStatus::idle);
    ASSERT_TRUE(waitForMediaSegments(2));
    EXPECT_TRUE(stop(1006.5));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    // Repeats at timeline 2 and 4 s (host 1002 and 1006), none while paused.
    EXPECT_EQ(probe.video->decodedFrames, 5);
    EXPECT_NEAR(probe.video->endSeconds, 4.5, 0.02);
    expectContinuousSegments();
}

TEST_F(ScreenRecorderTest, AStalledMicrophoneFileDoesNotHoldUpTheVideo) {
    make(false, true);
    start();
    micDiskGate.close();
    waitForMicFile = false;
    // Recording goes on while the microphone file cannot write: every frame
    // is still written, and the microphone backlog stays bounded.
    capture(1000, 1006);
    ASSERT_TRUE(micDiskGate.waitUntilSomeoneWaits());
    ScreenRecorderStats stats = recorder->stats();
    EXPECT_EQ(stats.framesWritten, 180);
    EXPECT_GT(stats.audioBuffersDropped, 0);
    EXPECT_LE(stream().peakLivePixelBuffers(), SegmentWriter::kVideoHandOffDepth + 2);
    micDiskGate.open();
    EXPECT_TRUE(stop(1006));
    const auto micAudio = probeMic();
    EXPECT_NEAR(micAudio.startSeconds, 0.0, 0.03);
    EXPECT_LE(micAudio.endSeconds, 6.05);
}

// While the video encoder is held up (a slow frame on a busy machine), audio
// waits behind it instead of being dropped: two seconds of system audio fit in
// the hand-offs, so the recording's sound has no gap.
TEST_F(ScreenRecorderTest, AudioWaitsOutAStalledEncoderWithoutGaps) {
    make(true, false);
    start();
    ASSERT_TRUE(stallEncoder());
    const MediaTime from = MediaTime(1000, 1) + MediaTime(75, 30);
    for (int64_t k = 0; k < 200; ++k) {
        stream().emitSystemAudio(from + MediaTime(k, 100));
    }
    runTask(executor, recorder->drain());
    EXPECT_EQ(recorder->stats().audioBuffersDropped, 0);
    segmentGate.open();
}

TEST_F(ScreenRecorderTest, StallsDropFramesInsteadOfHoldingThem) {
    make(false, false);
    start();
    const int queueDepth = StreamConfiguration{}.queueDepth;
    const int64_t bound = queueDepth + SegmentWriter::kVideoHandOffDepth + 2;
    auto emitFrames = [&](int64_t from, int64_t count) {
        for (int64_t k = from; k < from + count; ++k) {
            const MediaTime t = MediaTime(1000, 1) + MediaTime(k, 30);
            stream().emitFrame(t);
            EXPECT_LE(stream().livePixelBuffers(), bound) << k;
        }
    };

    // The encoder stalls (its first segment cannot be delivered): frames
    // beyond its hand-off are dropped on the queue.
    ASSERT_TRUE(stallEncoder());
    const int64_t droppedBefore = recorder->stats().framesDropped;
    emitFrames(75, 60);
    runTask(executor, recorder->drain());
    EXPECT_GE(recorder->stats().framesDropped - droppedBefore, 60 - bound);

    // The recorder's own queue stalls: frames beyond the queue depth are
    // dropped before they reach it.
    clock.gate.close();
    recorder->pause();
    ASSERT_TRUE(clock.gate.waitUntilSomeoneWaits());
    const int64_t droppedBeforeQueueStall = recorder->stats().framesDropped;
    emitFrames(135, 60);
    EXPECT_EQ(recorder->stats().framesDropped - droppedBeforeQueueStall, 60 - queueDepth);
    clock.gate.open();
    segmentGate.open();
    step(&ScreenRecorder::resume);

    EXPECT_LE(stream().peakLivePixelBuffers(), bound);
    const ScreenRecorderStats stats = recorder->stats();
    EXPECT_EQ(stats.framesCaptured, stream().framesEmitted());
    EXPECT_EQ(stats.framesCaptured,
              stats.framesWritten + stats.framesDropped + stats.framesWhilePaused);
    EXPECT_TRUE(stop(1007));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->decodedFrames, stats.framesWritten + stats.framesRepeated);
}

TEST_F(ScreenRecorderTest, StoppingWhilePausedEndsAtTheLastFrame) {
    make(false, false);
    start();
    capture(1000, 1001);
    at(1001.5);
    step(&ScreenRecorder::pause);
    capture(1001.5, 1003);
    EXPECT_TRUE(stop(1003));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    EXPECT_NEAR(probe.video->endSeconds, 1.0, 0.02);
}

TEST_F(ScreenRecorderTest, NoCompleteFrameMeansNothingRecorded) {
    make(true, true);
    start();
    capture(1000, 1002, FrameStatus::idle);
    EXPECT_FALSE(stop(1002));
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_EQ(mediaSegmentCount(), 0u);
    EXPECT_FALSE(mic->didAppendSamples());
}

TEST_F(ScreenRecorderTest, MutingWritesSilenceOfTheSameLengthAndTime) {
    make(false, true);
    start();
    capture(1000, 1001);
    recorder->setMicMuted(true);
    capture(1001, 1002);
    recorder->setMicMuted(false);
    capture(1002, 1003);
    EXPECT_TRUE(stop(1003));
    const auto micAudio = probeMic();
    EXPECT_NEAR(micAudio.endSeconds, 3.0, 0.05);
    const auto& rms = micAudio.rmsPerTenth;
    ASSERT_GE(rms.size(), 29u);
    // Tone (RMS of a 0.3 sine is 0.21) before and after; silence in between
    // (the tenths next to each edge may mix both).
    for (size_t i = 1; i < 9; ++i) {
        EXPECT_GT(rms[i], 0.15) << i;
    }
    for (size_t i = 11; i < 19; ++i) {
        EXPECT_LT(rms[i], 0.01) << i;
    }
    for (size_t i = 21; i < 29; ++i) {
        EXPECT_GT(rms[i], 0.15) << i;
    }
}

TEST_F(ScreenRecorderTest, CancelAfterAFailedStart) {
    make(false, true);
    factory.failStart = true;
    EXPECT_THROW(start(), RecorderError);
    runTask(executor, recorder->cancel());
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_EQ(segments.count(), 0u);

    // A failure before the stream is stored leaves the unstarted writer alone.
    factory.failStart = false;
    factory.failMicrophoneOutput = true;
    make(false, true);
    EXPECT_THROW(start(), RecorderError);
    runTask(executor, recorder->cancel());
    EXPECT_EQ(writer->status(), WriterStatus::unknown);
}

TEST_F(ScreenRecorderTest, StreamErrorsReachTheHookAndStopErrorsAreIgnored) {
    make(false, false);
    std::promise<std::string> reported;
    recorder->onStreamStopped = [&reported](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reported.set_value(e.what());
        }
    };
    factory.failStop = true;
    start();
    stream().failWithError("Display disconnected");
    auto message = reported.get_future();
    ASSERT_EQ(message.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(message.get(), "Display disconnected");
    capture(1000, 1001);
    EXPECT_TRUE(stop(1001));
    EXPECT_EQ(writer->status(), WriterStatus::completed);
}

}  // namespace
}  // namespace tessera
