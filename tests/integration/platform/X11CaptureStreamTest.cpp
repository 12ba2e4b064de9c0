#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "platform/X11CaptureStream.h"
#include "platform/x11/X11Displays.h"
#include "support/Cancellation.h"
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
using testing::waitUntil;
using testing::XvfbSession;

// The first stream-stopped report, from whichever capture thread saw the
// failure, and the samples that reached an output after it.
struct StopReport {
    StreamStoppedHandler handler() {
        return [this](std::exception_ptr error) {
            std::lock_guard lock(mutex);
            if (++count == 1) {
                message = describeError(error);
            }
        };
    }
    // Call at the start of every output handler.
    void sampleArrived() {
        std::lock_guard lock(mutex);
        lateSamples += count > 0;
    }
    bool reported() {
        std::lock_guard lock(mutex);
        return count > 0;
    }
    // The error's text, or "none" when nothing was reported in time.
    std::string wait() {
        const bool seen = waitUntil([&] { return reported(); }, std::chrono::seconds(10));
        std::lock_guard lock(mutex);
        return seen ? message : "none";
    }

    std::mutex mutex;
    int count = 0;
    int lateSamples = 0;
    std::string message;
};

class X11CaptureStreamTest : public ::testing::Test {
  protected:
    std::uint32_t displayID() {
        XcbConnection c(x.display());
        return X11DisplaySource::mainMonitor(X11DisplaySource::queryMonitors(c))->id;
    }
    static StreamConfiguration configuration(bool microphone = false) {
        StreamConfiguration c;
        c.width = 320;
        c.height = 240;
        c.minimumFrameInterval = MediaTime(1, 30);
        c.showsCursor = false;
        c.capturesAudio = false;
        c.captureMicrophone = microphone;
        return c;
    }

    XvfbSession x{{640, 480, true}};
    PulseSession pulse;
    SystemHostClock clock;
    ManualExecutor executor;
    X11CaptureStreamFactory factory{x.display(), clock};
};

// A stream stops with one report, and nothing of any output follows it, when
// its window closes or its microphone is unplugged. The microphone fails on
// the audio thread while a frame is being delivered on the capture thread:
// the report waits for that delivery.
TEST_F(X11CaptureStreamTest, AClosedWindowOrAnUnpluggedMicrophoneStopsTheStream) {
    {
        SCOPED_TRACE("window closed");
        auto box =
            std::make_unique<TestWindow>(x.display(), TestWindow::Options{.color = 0x00FF00});
        auto gone = factory.makeStream(ContentFilter::window(0x7FFFFF), configuration(), nullptr);
        gone->addScreenOutput([](VideoSample) {});
        EXPECT_THROW(runTask(executor, gone->startCapture()), RecorderError);

        StopReport stopped;
        auto stream = factory.makeStream(ContentFilter::window(box->id()), configuration(),
                                         stopped.handler());
        std::atomic<int> frames = 0;
        stream->addScreenOutput([&](VideoSample) {
            stopped.sampleArrived();
            ++frames;
        });
        runTask(executor, stream->startCapture());
        std::uint32_t color = 0;
        ASSERT_TRUE(waitUntil([&] {
            box->fill(++color % 2 ? 0x2060C0 : 0xE0A020);
            return frames >= 5;
        }));
        box.reset();
        EXPECT_EQ(stopped.wait(), "The window being recorded was closed");
        // After stopCapture no handler runs any more, so this is final.
        runTask(executor, stream->stopCapture());
        EXPECT_EQ(stopped.lateSamples, 0);
        EXPECT_EQ(stopped.count, 1);
    }
    SCOPED_TRACE("microphone unplugged");
    StopReport stopped;
    auto config = configuration(true);
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
            reportedWhileHolding =
                waitUntil([&] { return stopped.reported(); }, std::chrono::seconds(2));
            holding = false;
        }
    });
    stream->addAudioOutput(StreamOutputType::microphone, [&](AudioSample) {
        stopped.sampleArrived();
        ++micSamples;
    });
    runTask(executor, stream->startCapture());
    ASSERT_TRUE(waitUntil([&] { return frames > 0 && micSamples > 0; }));
    holdNextFrame = true;
    ASSERT_TRUE(waitUntil([&] { return holding.load(); }));
    pulse.removeMicrophone();
    EXPECT_EQ(stopped.wait(), "The microphone was disconnected or stopped working.");
    EXPECT_FALSE(reportedWhileHolding);
    runTask(executor, stream->stopCapture());
    EXPECT_EQ(stopped.lateSamples, 0);
    EXPECT_EQ(stopped.count, 1);
}

}  // namespace
}  // namespace tessera
