#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "MediaProbe.h"
#include "media/ScreenRecorder.h"
#include "support/ManualExecutor.h"
#include "support/RecorderError.h"
#include "support/SyntheticCapture.h"

namespace tessera {
namespace {

using testing::SyntheticCaptureFactory;
using testing::SyntheticCaptureStream;

constexpr int kTicksPerSecond = 300;  // frames every 10 ticks, audio every 3

// A recorder on the synthetic source with a hand-driven host clock. Samples are
// emitted on the test thread at virtual times; each frame waits until the writer
// can take it, so encoding speed never decides what is recorded.
class ScreenRecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* previous = getenv("TMPDIR")) {
            previousTmp_ = previous;
        }
        tmp_ = testing::makeTempDirectory();
        setenv("TMPDIR", tmp_.c_str(), 1);
    }
    void TearDown() override {
        recorder.reset();
        if (mic) {
            mic->deleteFile();
        }
        std::filesystem::remove_all(tmp_);
        if (previousTmp_) {
            setenv("TMPDIR", previousTmp_->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

    void make(bool systemAudio, bool withMic) {
        writer = std::make_shared<SegmentWriter>(
            SegmentWriter::Configuration{320, 180, 30, 1'000'000, systemAudio, 2},
            [this](std::vector<uint8_t> bytes) {
                std::lock_guard lock(segmentsMutex);
                segments.push_back(std::move(bytes));
            });
        if (withMic) {
            mic = std::make_shared<MicFileWriter>();
        }
        recorder = std::make_unique<ScreenRecorder>(writer, mic, factory, clock);
    }

    template <class T>
    T run(Task<T> task) {
        auto handle = spawn(executor, std::move(task));
        EXPECT_TRUE(executor.runUntil([&] { return handle.isDone(); }, std::chrono::seconds(60)));
        return handle.result();
    }
    void start() { run(recorder->start(ContentFilter::display(1), StreamConfiguration{})); }
    SyntheticCaptureStream& stream() { return *factory.lastStream; }
    // The steps read the host clock when they run on the queue: hold the clock
    // still until they have run.
    void step(void (ScreenRecorder::*operation)()) {
        (recorder.get()->*operation)();
        run(recorder->drain());
    }
    void mute(bool muted) {
        recorder->setMicMuted(muted);
        run(recorder->drain());
    }
    void at(double seconds) {
        clock.set(MediaTime(std::llround(seconds * kTicksPerSecond), kTicksPerSecond));
    }

    // Emits frames (30 fps) and both audio streams (10 ms buffers) for host times
    // [from, to) seconds. frames=false emits audio only.
    void capture(double from, double to, std::optional<FrameStatus> status = FrameStatus::complete,
                 bool frames = true) {
        for (int64_t tick = std::llround(from * kTicksPerSecond);
             tick < std::llround(to * kTicksPerSecond); ++tick) {
            const MediaTime t(tick, kTicksPerSecond);
            clock.set(t);
            if (tick % 3 == 0) {
                stream().emitSystemAudio(t);
                stream().emitMicrophone(t);
            }
            if (frames && tick % 10 == 0) {
                run(recorder->drain());
                waitUntilWriterReady();
                stream().emitFrame(t, status);
            }
        }
        run(recorder->drain());
    }
    void waitUntilWriterReady() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (writer->status() == WriterStatus::writing &&
               !writer->videoInput().isReadyForMoreMediaData()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::vector<uint8_t> joinedSegments() {
        std::lock_guard lock(segmentsMutex);
        std::vector<uint8_t> all;
        for (const auto& s : segments) {
            all.insert(all.end(), s.begin(), s.end());
        }
        return all;
    }
    size_t mediaSegmentCount() {
        std::lock_guard lock(segmentsMutex);
        size_t n = 0;
        for (const auto& s : segments) {
            n += s.size() > 8 &&
                 std::string(reinterpret_cast<const char*>(s.data() + 4), 4) == "moof";
        }
        return n;
    }

    ManualExecutor executor;
    ManualHostClock clock{MediaTime(1000, 1)};
    SyntheticCaptureFactory factory{SyntheticCaptureStream::Options{}};
    std::mutex segmentsMutex;
    std::vector<std::vector<uint8_t>> segments;
    std::shared_ptr<SegmentWriter> writer;
    std::shared_ptr<MicFileWriter> mic;
    std::unique_ptr<ScreenRecorder> recorder;
    std::filesystem::path tmp_;
    std::optional<std::string> previousTmp_;
};

TEST_F(ScreenRecorderTest, PausedTimeIsCutFromVideoAndMicrophoneAlike) {
    make(true, true);
    start();
    capture(1000, 1003);
    step(&ScreenRecorder::pause);
    capture(1003, 1007);
    step(&ScreenRecorder::resume);
    capture(1007, 1010);
    at(1010);
    EXPECT_TRUE(run(recorder->stop()));
    EXPECT_EQ(writer->status(), WriterStatus::completed);
    const auto video = testing::probeBytes(joinedSegments());
    ASSERT_TRUE(video.video);
    EXPECT_NEAR(video.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(video.video->endSeconds, 6.0, 0.05);
    EXPECT_EQ(video.video->decodedFrames, 180);
    ASSERT_TRUE(video.audio);
    EXPECT_NEAR(video.audio->endSeconds, 6.0, 0.05);

    ASSERT_TRUE(run(mic->finish()));
    const auto micProbe = testing::probeFile(mic->url());
    ASSERT_TRUE(micProbe.audio);
    EXPECT_NEAR(micProbe.audio->startSeconds, 0.0, 0.03);
    EXPECT_NEAR(micProbe.audio->endSeconds, 6.0, 0.05);
}

TEST_F(ScreenRecorderTest, OnlyCompleteFramesAreWritten) {
    make(false, false);
    start();
    const std::optional<FrameStatus> statuses[] = {FrameStatus::complete, FrameStatus::idle,
                                                   FrameStatus::blank, std::nullopt};
    for (int k = 0; k < 30; ++k) {
        const MediaTime t = MediaTime(1000, 1) + MediaTime(k, 30);
        clock.set(t);
        run(recorder->drain());
        waitUntilWriterReady();
        stream().emitFrame(t, statuses[k % 4]);
    }
    at(1001);
    EXPECT_TRUE(run(recorder->stop()));
    const auto probe = testing::probeBytes(joinedSegments());
    ASSERT_TRUE(probe.video);
    ASSERT_EQ(probe.video->decodedFrames, 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(probe.video->counters[i], 4 * i);
    }
}

TEST_F(ScreenRecorderTest, StaticScreenLastsUntilTheStop) {
    make(false, false);
    start();
    capture(1000, 1001);
    capture(1001, 1003, FrameStatus::idle);
    at(1003);
    EXPECT_TRUE(run(recorder->stop()));
    const auto probe = testing::probeBytes(joinedSegments());
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->decodedFrames, 30);
    EXPECT_NEAR(probe.video->endSeconds, 3.0, 0.02);
}

TEST_F(ScreenRecorderTest, StoppingWhilePausedEndsAtTheLastFrame) {
    make(false, false);
    start();
    capture(1000, 1001);
    at(1001.5);
    step(&ScreenRecorder::pause);
    capture(1001.5, 1003);
    at(1003);
    EXPECT_TRUE(run(recorder->stop()));
    const auto probe = testing::probeBytes(joinedSegments());
    ASSERT_TRUE(probe.video);
    EXPECT_NEAR(probe.video->endSeconds, 1.0, 0.02);
}

TEST_F(ScreenRecorderTest, NoCompleteFrameMeansNothingRecorded) {
    make(true, true);
    start();
    capture(1000, 1002, FrameStatus::idle);
    at(1002);
    EXPECT_FALSE(run(recorder->stop()));
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_EQ(mediaSegmentCount(), 0u);
    EXPECT_FALSE(mic->didAppendSamples());
}

TEST_F(ScreenRecorderTest, AudioBeforeTheFirstFrameAndWhilePausedIsDropped) {
    make(true, true);
    start();
    capture(1000, 1001, FrameStatus::complete, false);
    capture(1001, 1002);
    step(&ScreenRecorder::pause);
    capture(1002, 1003, FrameStatus::complete, false);
    step(&ScreenRecorder::resume);
    capture(1003, 1004);
    at(1004);
    EXPECT_TRUE(run(recorder->stop()));
    const auto video = testing::probeBytes(joinedSegments());
    ASSERT_TRUE(video.audio);
    EXPECT_NEAR(video.audio->endSeconds, 2.0, 0.05);
    ASSERT_TRUE(run(mic->finish()));
    const auto micProbe = testing::probeFile(mic->url());
    ASSERT_TRUE(micProbe.audio);
    EXPECT_NEAR(micProbe.audio->startSeconds, 0.0, 0.03);
    EXPECT_NEAR(micProbe.audio->endSeconds, 2.0, 0.05);
}

TEST_F(ScreenRecorderTest, MutingWritesSilenceOfTheSameLengthAndTime) {
    make(false, true);
    start();
    capture(1000, 1001);
    mute(true);
    capture(1001, 1002);
    mute(false);
    capture(1002, 1003);
    at(1003);
    EXPECT_TRUE(run(recorder->stop()));
    ASSERT_TRUE(run(mic->finish()));
    const auto probe = testing::probeFile(mic->url());
    ASSERT_TRUE(probe.audio);
    EXPECT_NEAR(probe.audio->endSeconds, 3.0, 0.05);
    const auto& rms = probe.audio->rmsPerTenth;
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
    run(recorder->cancel());
    EXPECT_EQ(writer->status(), WriterStatus::cancelled);
    EXPECT_TRUE(segments.empty());

    // A failure before the stream is stored leaves the unstarted writer alone.
    factory.failStart = false;
    factory.failMicrophoneOutput = true;
    make(false, true);
    EXPECT_THROW(start(), RecorderError);
    run(recorder->cancel());
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
    at(1001);
    EXPECT_TRUE(run(recorder->stop()));
    EXPECT_EQ(writer->status(), WriterStatus::completed);
}

}  // namespace
}  // namespace tessera
