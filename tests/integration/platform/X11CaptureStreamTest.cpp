#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "MediaProbe.h"
#include "media/ScreenRecorder.h"
#include "platform/X11CaptureStream.h"
#include "platform/x11/X11Displays.h"
#include "support/ManualExecutor.h"
#include "support/PulseSession.h"
#include "support/RecorderError.h"
#include "support/RunTask.h"
#include "support/WaitUntil.h"
#include "support/XvfbSession.h"

namespace tessera {
namespace {

using testing::PulseSession;
using testing::runTask;
using testing::TestWindow;
using testing::TonePlayer;
using testing::XvfbSession;

// The stream-stopped report, from whichever capture thread saw the failure,
// and the samples that reached an output after it.
class StopReport {
  public:
    StreamStoppedHandler handler() {
        return [this](std::exception_ptr error) {
            std::lock_guard lock(mutex_);
            ++count_;
            error_ = error;
            changed_.notify_all();
        };
    }
    // Call at the start of every output handler.
    void sampleArrived() {
        std::lock_guard lock(mutex_);
        lateSamples_ += count_ > 0;
    }
    int lateSamples() {
        std::lock_guard lock(mutex_);
        return lateSamples_;
    }
    // Whether the report comes within `timeout`.
    bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_ > 0; });
    }
    // The error's text, or "none" when nothing was reported in time.
    std::string wait() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ > 0; })) {
            return "none";
        }
        try {
            std::rethrow_exception(error_);
        } catch (const std::exception& e) {
            return e.what();
        }
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    int lateSamples_ = 0;
    std::exception_ptr error_;
};

class X11CaptureStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp_ = testing::makeTempDirectory();
        setenv("TMPDIR", tmp_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TMPDIR");
        std::filesystem::remove_all(tmp_);
    }

    std::uint32_t displayID() {
        XcbConnection c(x.display());
        return X11DisplaySource::mainMonitor(X11DisplaySource::queryMonitors(c))->id;
    }
    static StreamConfiguration configuration(bool systemAudio, bool microphone = false) {
        StreamConfiguration c;
        c.width = 320;
        c.height = 240;
        c.minimumFrameInterval = MediaTime(1, 30);
        c.showsCursor = false;
        c.capturesAudio = systemAudio;
        c.captureMicrophone = microphone;
        return c;
    }

    XvfbSession x{{640, 480, true}};
    PulseSession pulse;
    SystemHostClock clock;
    ManualExecutor executor;
    X11CaptureStreamFactory factory{x.display(), clock};
    std::filesystem::path tmp_;
};

TEST_F(X11CaptureStreamTest, RecordsAMovingWindowWithSystemAudio) {
    TonePlayer tone(440, 0.5);
    TestWindow box(x.display(), {.x = 40, .y = 40, .width = 200, .height = 150, .pattern = true});
    std::mutex segmentsMutex;
    std::vector<uint8_t> joined;
    auto writer = std::make_shared<SegmentWriter>(
        SegmentWriter::Configuration{320, 240, 30, 1'000'000, true, 2},
        [&](std::vector<uint8_t> bytes) {
            std::lock_guard lock(segmentsMutex);
            joined.insert(joined.end(), bytes.begin(), bytes.end());
        });
    ScreenRecorder recorder(writer, nullptr, factory, clock);
    runTask(executor, recorder.start(ContentFilter::display(displayID()), configuration(true)));
    // About three seconds of a window that changes colour ten times a second.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (std::uint32_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
        box.fill(i % 2 ? 0x2060C0 : 0xE0A020);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(runTask(executor, recorder.stop()));

    std::lock_guard lock(segmentsMutex);
    const auto probe = testing::probeBytes(joined);
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->width, 320);
    EXPECT_EQ(probe.video->height, 240);
    EXPECT_NEAR(probe.video->endSeconds - probe.video->startSeconds, 3.0, 0.3);
    EXPECT_GT(probe.video->decodedFrames, 20);
    ASSERT_TRUE(probe.audio);
    EXPECT_EQ(probe.audio->sampleRate, 48000);
    EXPECT_EQ(probe.audio->channels, 2);
    EXPECT_NEAR(probe.audio->endSeconds, 3.0, 0.3);
    // The tone is heard in the middle of the recording (AAC keeps its level
    // to within a few per cent).
    ASSERT_GT(probe.audio->rmsPerTenth.size(), 20u);
    EXPECT_NEAR(probe.audio->rmsPerTenth[15], 0.5 / std::sqrt(2.0), 0.05);
}

TEST_F(X11CaptureStreamTest, ClosingTheRecordedWindowStopsTheStreamWithAnError) {
    auto box = std::make_unique<TestWindow>(x.display(), TestWindow::Options{.color = 0x00FF00});
    StopReport stopped;
    auto stream = factory.makeStream(ContentFilter::window(box->id()), configuration(false),
                                     stopped.handler());
    std::atomic<int> frames = 0;
    stream->addScreenOutput([&](VideoSample) {
        stopped.sampleArrived();
        ++frames;
    });
    runTask(executor, stream->startCapture());
    ASSERT_TRUE(testing::waitUntil([&] { return frames > 0; }));
    box.reset();
    EXPECT_NE(stopped.wait(), "none");
    // After stopCapture no handler runs any more, so this is final.
    runTask(executor, stream->stopCapture());
    EXPECT_EQ(stopped.lateSamples(), 0);
    EXPECT_EQ(stopped.count(), 1);
}

// The microphone fails on the audio thread while a frame is being delivered
// on the capture thread: the report waits for that delivery, and nothing of
// any output follows it.
TEST_F(X11CaptureStreamTest, UnpluggedMicrophoneStopsTheStreamAndItsFrames) {
    StopReport stopped;
    auto config = configuration(false, true);
    config.microphoneCaptureDeviceID = "tessera_mic";
    auto stream =
        factory.makeStream(ContentFilter::display(displayID()), config, stopped.handler());
    std::atomic<int> frames = 0;
    std::atomic<int> micSamples = 0;
    std::atomic<bool> holdNextFrame = false;
    std::atomic<bool> holding = false;
    std::atomic<bool> reportedWhileHolding = false;
    stream->addScreenOutput([&](VideoSample) {
        stopped.sampleArrived();
        ++frames;
        if (holdNextFrame.exchange(false)) {
            holding = true;
            // Long enough for the failure to be reported if nothing held it
            // back; it is, so this runs out.
            reportedWhileHolding = stopped.waitFor(std::chrono::seconds(2));
            holding = false;
        }
    });
    stream->addAudioOutput(StreamOutputType::microphone, [&](AudioSample) {
        stopped.sampleArrived();
        ++micSamples;
    });
    runTask(executor, stream->startCapture());
    ASSERT_TRUE(testing::waitUntil([&] { return frames > 0 && micSamples > 0; }));
    holdNextFrame = true;
    ASSERT_TRUE(testing::waitUntil([&] { return holding.load(); }));
    pulse.removeMicrophone();
    EXPECT_EQ(stopped.wait(), "The microphone was disconnected or stopped working.");
    EXPECT_FALSE(reportedWhileHolding);
    runTask(executor, stream->stopCapture());
    EXPECT_EQ(stopped.lateSamples(), 0);
}

// With every frame held downstream the stream grabs no more than the
// configuration's queue depth, counts what it skipped, and goes on once the
// frames are let go.
TEST_F(X11CaptureStreamTest, FramesHeldDownstreamAreBoundedByTheQueueDepth) {
    TestWindow box(x.display(), {.x = 40, .y = 40, .width = 200, .height = 150});
    auto config = configuration(false);
    config.queueDepth = 3;
    auto stream = factory.makeStream(ContentFilter::display(displayID()), config, nullptr);
    auto* x11Stream = dynamic_cast<X11CaptureStream*>(stream.get());
    ASSERT_NE(x11Stream, nullptr);
    std::mutex mutex;
    std::vector<VideoSample> held;
    std::set<const PixelBuffer*> buffers;
    int completeFrames = 0;
    stream->addScreenOutput([&](VideoSample frame) {
        std::lock_guard lock(mutex);
        if (frame.frameStatus == FrameStatus::complete) {
            ++completeFrames;
            buffers.insert(frame.pixels.get());
            held.push_back(std::move(frame));
        }
    });
    runTask(executor, stream->startCapture());
    std::uint32_t color = 0;
    const auto changeWindowUntil = [&](const std::function<bool()>& done) {
        return testing::waitUntil([&] {
            box.fill(++color % 2 ? 0x2060C0 : 0xE0A020);
            return done();
        });
    };
    EXPECT_TRUE(changeWindowUntil([&] { return x11Stream->droppedFrames() >= 10; }));
    int completeWhenFull = 0;
    {
        std::lock_guard lock(mutex);
        EXPECT_LE(buffers.size(), 3u);
        completeWhenFull = completeFrames;
        held.clear();
    }
    EXPECT_TRUE(changeWindowUntil([&] {
        std::lock_guard lock(mutex);
        return completeFrames > completeWhenFull;
    }));
    runTask(executor, stream->stopCapture());
    std::lock_guard lock(mutex);
    EXPECT_LE(buffers.size(), 3u);
}

TEST_F(X11CaptureStreamTest, OutputsAndSourcesThatCannotBeCapturedAreRefused) {
    // An audio output the configuration does not ask for.
    auto silent =
        factory.makeStream(ContentFilter::display(displayID()), configuration(false), nullptr);
    EXPECT_THROW(silent->addAudioOutput(StreamOutputType::audio, [](AudioSample) {}),
                 RecorderError);
    EXPECT_THROW(silent->addAudioOutput(StreamOutputType::microphone, [](AudioSample) {}),
                 RecorderError);
    // A microphone that is not there fails the start with its message.
    auto config = configuration(false, true);
    config.microphoneCaptureDeviceID = "unplugged_mic";
    auto stream = factory.makeStream(ContentFilter::display(displayID()), config, nullptr);
    stream->addScreenOutput([](VideoSample) {});
    stream->addAudioOutput(StreamOutputType::microphone, [](AudioSample) {});
    try {
        runTask(executor, stream->startCapture());
        ADD_FAILURE() << "started";
    } catch (const RecorderError& e) {
        EXPECT_NE(std::string(e.what()).find("microphone is not available"), std::string::npos);
    }
    // A window that does not exist.
    auto gone = factory.makeStream(ContentFilter::window(0x7FFFFF), configuration(false), nullptr);
    gone->addScreenOutput([](VideoSample) {});
    EXPECT_THROW(runTask(executor, gone->startCapture()), RecorderError);
    EXPECT_THROW(factory.makeStream(ContentFilter::window(0), configuration(false), nullptr),
                 RecorderError);
}

}  // namespace
}  // namespace tessera
