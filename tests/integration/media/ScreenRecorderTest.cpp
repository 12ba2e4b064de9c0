#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <map>
#include <thread>

#include "MediaProbe.h"
#include "media/ScreenRecorder.h"
#include "support/Log.h"
#include "support/ManualExecutor.h"
#include "support/RecorderError.h"
#include "support/RunTask.h"
#include "support/SyntheticCapture.h"

namespace tessera {
namespace {

using testing::Gate;
using testing::runTask;
using testing::waitUntil;

constexpr int kTicksPerSecond = 300;  // frames every 10 ticks, audio every 3

// A hand-driven host clock that can be held: while held, the recorder's queue
// stops at its next pause, resume or stop step, standing in for a stalled
// queue. The test's own thread (which asks for those steps) is never held.
class TestClock final : public HostClock {
  public:
    MediaTime now() const override {
        if (std::this_thread::get_id() != owner_) {
            gate.pass();
        }
        return manual_.now();
    }
    void set(MediaTime t) { manual_.set(t); }
    mutable Gate gate;

  private:
    ManualHostClock manual_{MediaTime(1000, 1)};
    std::thread::id owner_ = std::this_thread::get_id();
};

// A recorder on the synthetic source. Samples are emitted on the test thread
// at virtual times; each waits until the writer can take it, so encoding
// speed never decides what is recorded.
class ScreenRecorderTest : public ::testing::Test {
  protected:
    void TearDown() override {
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
    testing::SyntheticCaptureStream& stream() { return *factory.lastStream; }
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

    // Frames (30 fps, unless frames=false) and both audio streams (10 ms
    // buffers) for host times [from, to) seconds.
    void capture(double from, double to, std::optional<FrameStatus> status = FrameStatus::complete,
                 bool frames = true) {
        for (int64_t tick = std::llround(from * kTicksPerSecond);
             tick < std::llround(to * kTicksPerSecond); ++tick) {
            const MediaTime t(tick, kTicksPerSecond);
            clock.set(t);
            if (tick % 3 == 0) {
                // As in real time, the writer and the microphone file keep up.
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
    testing::MediaProbe probeVideo() { return testing::probeBytes(segments.joined()); }
    testing::AudioProbe probeMic() {
        EXPECT_TRUE(runTask(executor, mic->finish()));
        const auto probe = testing::probeFile(mic->url());
        EXPECT_TRUE(probe.audio);
        return probe.audio.value_or(testing::AudioProbe{});
    }

    // Every media segment starts, on each track, where the one before ended.
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
// timeline, in the video and the microphone file alike; muting writes silence
// in place; a stop while paused ends at the pause.
TEST_F(ScreenRecorderTest, PausedTimeIsCutAndMutedTimeIsSilentInVideoAndMicrophoneAlike) {
    make(true, true);
    start();
    capture(999, 1000, FrameStatus::complete, false);
    capture(1000, 1003);
    step(&ScreenRecorder::pause);
    capture(1003, 1007);
    step(&ScreenRecorder::resume);
    capture(1007, 1008);
    recorder->setMicMuted(true);
    capture(1008, 1009);
    recorder->setMicMuted(false);
    capture(1009, 1010.5);
    step(&ScreenRecorder::pause);
    capture(1010.5, 1012);
    EXPECT_TRUE(stop(1012));
    EXPECT_EQ(writer->status(), WriterStatus::completed);
    const auto video = probeVideo();
    ASSERT_TRUE(video.video);
    EXPECT_NEAR(video.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(video.video->endSeconds, 6.5, 0.02);
    EXPECT_EQ(video.video->decodedFrames, 195);
    ASSERT_TRUE(video.audio);
    EXPECT_NEAR(video.audio->endSeconds, 6.5, 0.05);

    const auto micAudio = probeMic();
    EXPECT_NEAR(micAudio.startSeconds, 0.0, 0.03);
    EXPECT_NEAR(micAudio.endSeconds, 6.5, 0.05);
    // Tone (RMS of a 0.3 sine is 0.21) across the pause, silence while muted
    // (timeline 4 to 5 s; the tenths next to each edge may mix both).
    const auto& rms = micAudio.rmsPerTenth;
    ASSERT_GE(rms.size(), 59u);
    for (size_t i = 1; i < 59; ++i) {
        if (i < 39 || i > 50) {
            EXPECT_GT(rms[i], 0.15) << "tone at tenth " << i;
        } else if (i > 40 && i < 49) {
            EXPECT_LT(rms[i], 0.01) << "silence at tenth " << i;
        }
    }
}

// A busy machine: the queue runs the pause 1.5 s after it was asked for, and
// the source goes on delivering for 1.5 s after stop was asked for. Neither
// moves a cut: the files hold just the 6 s between start and stop, less the
// pause.
TEST_F(ScreenRecorderTest, PauseAndStopCutWhereAskedForHoweverLateTheyRun) {
    make(true, true);
    start();
    capture(1000, 1003);
    std::string logged;
    logging::LogCapture log(
        [&](logging::Level, std::string_view component, std::string_view message) {
            if (component == "screen-recorder") {
                logged = message;
            }
        });
    at(1003);
    clock.gate.close();
    recorder->pause();
    ASSERT_TRUE(clock.gate.waitUntilSomeoneWaits());
    at(1004.5);
    clock.gate.open();
    capture(1004.5, 1006);
    EXPECT_EQ(logged, "the pause step ran 1500 ms after it was asked for");
    step(&ScreenRecorder::resume);
    capture(1006, 1009);
    stream().whileStopping = [&] {
        for (int64_t tick = 1009 * kTicksPerSecond; tick < 1010.5 * kTicksPerSecond; ++tick) {
            const MediaTime t(tick, kTicksPerSecond);
            clock.set(t);
            if (tick % 3 == 0) {
                stream().emitSystemAudio(t);
                stream().emitMicrophone(t);
            }
            if (tick % 10 == 0) {
                stream().emitFrame(t);
            }
        }
    };
    EXPECT_TRUE(runTask(executor, recorder->stop()));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video && probe.audio);
    EXPECT_NEAR(probe.video->endSeconds, 6.0, 0.02);
    EXPECT_NEAR(probe.audio->endSeconds, 6.0, 0.05);
    EXPECT_NEAR(probeMic().endSeconds, 6.0, 0.05);
}

// Nothing moves after the first 0.1 s: the last picture is repeated at each
// segment boundary of the timeline (2, 4 and 6 s; none while paused), so
// segments keep coming while recording and the video lasts until the stop.
TEST_F(ScreenRecorderTest, AStaticScreenKeepsDeliveringSegmentsAlongTheTimeline) {
    make(true, false);
    start();
    capture(1000, 1000.1);
    capture(1000.1, 1003, FrameStatus::idle);
    step(&ScreenRecorder::pause);
    capture(1003, 1005, FrameStatus::idle);
    step(&ScreenRecorder::resume);
    capture(1005, 1009, FrameStatus::idle);
    ASSERT_TRUE(waitUntil([&] { return mediaSegmentCount() >= 3; }))
        << "segments [0,2) [2,4) [4,6) not delivered while recording";
    EXPECT_TRUE(stop(1009));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->decodedFrames, 6);
    EXPECT_NEAR(probe.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(probe.video->endSeconds, 7.0, 0.02);
    ASSERT_TRUE(probe.audio);
    EXPECT_NEAR(probe.audio->endSeconds, 7.0, 0.05);
    expectContinuousSegments();
}

// The microphone file's own read-back after a stall is MicFileWriterTest's.
TEST_F(ScreenRecorderTest, AStalledMicrophoneFileDoesNotHoldUpTheVideo) {
    make(false, true);
    start();
    micDiskGate.close();
    waitForMicFile = false;
    capture(1000, 1006);
    ASSERT_TRUE(micDiskGate.waitUntilSomeoneWaits());
    ScreenRecorderStats stats = recorder->stats();
    EXPECT_EQ(stats.framesWritten, 180);
    EXPECT_GT(stats.audioBuffersDropped, 0);
    EXPECT_LE(stream().peakLivePixelBuffers(), SegmentWriter::kVideoHandOffDepth + 2);
    micDiskGate.open();
    EXPECT_TRUE(stop(1006));
    EXPECT_TRUE(runTask(executor, mic->finish()));
}

// A held-up encoder (a slow frame on a busy machine) and a held-up recorder
// queue: frames beyond the hand-offs are dropped instead of held, while two
// seconds of system audio wait in the hand-offs without a gap.
TEST_F(ScreenRecorderTest, StallsDropFramesButAudioWaits) {
    make(true, false);
    start();
    const int queueDepth = StreamConfiguration{}.queueDepth;
    const int64_t bound = queueDepth + SegmentWriter::kVideoHandOffDepth + 2;
    auto emitFrames = [&](int64_t from, int64_t count) {
        for (int64_t k = from; k < from + count; ++k) {
            stream().emitFrame(MediaTime(1000, 1) + MediaTime(k, 30));
            EXPECT_LE(stream().livePixelBuffers(), bound) << k;
        }
    };

    // The first segment cannot be delivered: the encoder stops taking
    // pictures once up to 75 frames fill its hand-off.
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
    ASSERT_TRUE(segmentGate.waitUntilSomeoneWaits());
    const MediaTime audioFrom = MediaTime(1000, 1) + MediaTime(75, 30);
    for (int64_t k = 0; k < 200; ++k) {
        stream().emitSystemAudio(audioFrom + MediaTime(k, 100));
    }
    runTask(executor, recorder->drain());
    EXPECT_EQ(recorder->stats().audioBuffersDropped, 0) << "audio dropped behind the encoder";
    const int64_t droppedBefore = recorder->stats().framesDropped;
    emitFrames(75, 60);
    runTask(executor, recorder->drain());
    EXPECT_GE(recorder->stats().framesDropped - droppedBefore, 60 - bound)
        << "frames held behind the encoder";

    clock.gate.close();
    recorder->pause();
    ASSERT_TRUE(clock.gate.waitUntilSomeoneWaits());
    const int64_t droppedBeforeQueueStall = recorder->stats().framesDropped;
    emitFrames(135, 60);
    EXPECT_EQ(recorder->stats().framesDropped - droppedBeforeQueueStall, 60 - queueDepth)
        << "frames held behind the recorder's queue";
    clock.gate.open();
    segmentGate.open();
    step(&ScreenRecorder::resume);

    EXPECT_LE(stream().peakLivePixelBuffers(), bound);
    const ScreenRecorderStats stats = recorder->stats();
    EXPECT_EQ(stream().framesEmitted(),
              stats.framesWritten + stats.framesDropped + stats.framesWhilePaused);
    EXPECT_TRUE(stop(1007));
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->decodedFrames, stats.framesWritten + stats.framesRepeated);
}

// Without a complete frame nothing is recorded and stop reports failure; a
// failed start leaves nothing behind; a stream error reaches the hook, a
// failing stop of the stream is ignored, and only complete frames are written.
TEST_F(ScreenRecorderTest, FailuresAreReportedAndOnlyCompleteFramesAreWritten) {
    make(true, true);
    start();
    capture(1000, 1002, FrameStatus::idle);
    EXPECT_FALSE(stop(1002));
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_EQ(mediaSegmentCount(), 0u);
    EXPECT_FALSE(mic->didAppendSamples());

    factory.failStart = true;
    make(false, true);
    EXPECT_THROW(start(), RecorderError);
    runTask(executor, recorder->cancel());
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_EQ(segments.count(), 0u);

    factory.failStart = false;
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
    EXPECT_EQ(writer->status(), WriterStatus::completed);
    const auto probe = probeVideo();
    ASSERT_TRUE(probe.video);
    ASSERT_EQ(probe.video->decodedFrames, 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(probe.video->counters[i], 4 * i);
    }
}

}  // namespace
}  // namespace tessera
