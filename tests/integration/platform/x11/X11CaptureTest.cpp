#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/x11/X11Displays.h"
#include "platform/x11/X11FrameSource.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/X11Windows.h"
#include "support/RecorderError.h"
#include "support/XvfbSession.h"

namespace tessera {
namespace {

using testing::patternColor;
using testing::TestWindow;
using testing::XvfbSession;

std::uint32_t rgbAt(const PixelBuffer& frame, int x, int y) {
    const auto* px = frame.row(y) + 4 * x;
    return (std::uint32_t{px[2]} << 16) | (std::uint32_t{px[1]} << 8) | px[0];
}

// The next complete frame; the damage notification of a paint may trail the
// painting client's answer by a moment.
VideoSample nextComplete(X11FrameSource& source) {
    for (int i = 0; i < 100; ++i) {
        auto frame = source.nextFrame();
        if (frame.frameStatus == FrameStatus::complete) {
            return frame;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "no complete frame";
    return {};
}

class X11CaptureTest : public ::testing::Test {
  protected:
    XvfbSession x{{640, 480, true}};
    SystemHostClock clock;

    std::uint32_t displayID() {
        XcbConnection c(x.display());
        return X11DisplaySource::mainMonitor(X11DisplaySource::queryMonitors(c))->id;
    }
    X11CaptureTarget display(std::vector<std::uint32_t> excluded = {},
                             std::vector<std::uint32_t> kept = {}) {
        return {X11CaptureTarget::Kind::display, displayID(), std::move(excluded), std::move(kept)};
    }
    X11CaptureSettings settings(int width = 640, int height = 480) {
        return {.width = width, .height = height, .frameRate = 30, .showsCursor = false};
    }
    // A client window's area in root coordinates.
    PixelRect rectOf(std::uint32_t window) {
        XcbConnection c(x.display());
        for (const auto& w : X11WindowSource::queryWindows(c)) {
            if (w.id == window) {
                return w.rect;
            }
        }
        XcbReply<xcb_get_geometry_reply_t> geo(
            xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), window), nullptr));
        return {geo->x, geo->y, geo->width, geo->height};
    }
};

TEST_F(X11CaptureTest, DisplayFramesShowWhatWasDrawnAndIdleWhenUnchanged) {
    TestWindow box(x.display(), {.x = 100,
                                 .y = 100,
                                 .width = 200,
                                 .height = 120,
                                 .color = 0xFF0000,
                                 .overrideRedirect = true});
    X11FrameSource source(x.display(), display(), settings(), clock);
    auto first = source.nextFrame();
    ASSERT_EQ(first.frameStatus, FrameStatus::complete);
    ASSERT_EQ(first.pixels->width, 640);
    ASSERT_EQ(first.pixels->height, 480);
    EXPECT_EQ(rgbAt(*first.pixels, 150, 150), 0xFF0000u);
    // Opaque: the fourth byte is either full alpha or declared padding.
    EXPECT_TRUE(first.pixels->alphaIsPadding || first.pixels->row(150)[4 * 150 + 3] == 255);
    EXPECT_EQ(first.timing.duration, MediaTime(1, 30));
    EXPECT_TRUE(first.timing.presentationTimeStamp.isValid());

    const auto idle = source.nextFrame();
    EXPECT_EQ(idle.frameStatus, FrameStatus::idle);
    EXPECT_EQ(idle.pixels, first.pixels);
    EXPECT_GT(idle.timing.presentationTimeStamp, first.timing.presentationTimeStamp);

    for (const std::uint32_t color : {0x0000FFu, 0x00FF00u, 0x123456u}) {
        box.fill(color);
        const auto frame = nextComplete(source);
        ASSERT_TRUE(frame.isValid());
        EXPECT_EQ(rgbAt(*frame.pixels, 150, 150), color);
        EXPECT_EQ(rgbAt(*frame.pixels, 299, 219), color);
        EXPECT_NE(rgbAt(*frame.pixels, 300, 220), color);
    }
}

// Frames go out without a copy from a few shared-memory buffers; a buffer
// still held must never be grabbed into again, more held frames than buffers
// must still arrive intact, and a held frame must outlive its source.
TEST_F(X11CaptureTest, HeldFramesKeepTheirPixelsAlsoAfterTheSourceIsGone) {
    TestWindow box(x.display(), {.x = 100,
                                 .y = 100,
                                 .width = 200,
                                 .height = 120,
                                 .color = 0x000000,
                                 .overrideRedirect = true});
    std::vector<std::pair<std::uint32_t, VideoSample>> held;
    {
        X11FrameSource source(x.display(), display(), settings(), clock);
        source.nextFrame();
        for (std::uint32_t i = 1; i <= 12; ++i) {
            const std::uint32_t color = 0x100000u * i + 0x20u * i;
            box.fill(color);
            auto frame = nextComplete(source);
            ASSERT_TRUE(frame.isValid());
            ASSERT_EQ(rgbAt(*frame.pixels, 150, 150), color);
            held.emplace_back(color, std::move(frame));
        }
    }
    for (const auto& [color, frame] : held) {
        EXPECT_EQ(rgbAt(*frame.pixels, 150, 150), color);
        EXPECT_EQ(rgbAt(*frame.pixels, 299, 219), color);
    }
}

TEST_F(X11CaptureTest, FramesAreScaledToTheConfiguredSize) {
    TestWindow box(
        x.display(),
        {.x = 0, .y = 0, .width = 320, .height = 480, .color = 0x00FF00, .overrideRedirect = true});
    X11FrameSource source(x.display(), display(), settings(320, 240), clock);
    const auto frame = source.nextFrame();
    ASSERT_EQ(frame.pixels->width, 320);
    ASSERT_EQ(frame.pixels->height, 240);
    EXPECT_EQ(rgbAt(*frame.pixels, 40, 120), 0x00FF00u);
    EXPECT_NE(rgbAt(*frame.pixels, 280, 120), 0x00FF00u);
}

TEST_F(X11CaptureTest, WindowCaptureShowsTheWindowsOwnContentWhenCovered) {
    TestWindow patterned(
        x.display(),
        {.x = 50, .y = 50, .width = 256, .height = 128, .pattern = true, .overrideRedirect = true});
    X11FrameSource source(x.display(), {X11CaptureTarget::Kind::window, patterned.id(), {}, {}},
                          settings(256, 128), clock);
    TestWindow cover(x.display(), {.x = 40,
                                   .y = 40,
                                   .width = 300,
                                   .height = 200,
                                   .color = 0x00FF00,
                                   .overrideRedirect = true});
    // The screen shows the cover; the capture shows the window below it.
    X11FrameSource screen(x.display(), display(), settings(), clock);
    EXPECT_EQ(rgbAt(*screen.nextFrame().pixels, 60, 60), 0x00FF00u);
    const auto frame = source.nextFrame();
    ASSERT_EQ(frame.pixels->width, 256);
    for (int bar = 0; bar < 16; ++bar) {
        EXPECT_EQ(rgbAt(*frame.pixels, bar * 16 + 8, 64), patternColor(bar)) << "bar " << bar;
    }
}

TEST_F(X11CaptureTest, WindowCaptureStopsWithAnErrorWhenTheWindowCloses) {
    auto window = std::make_unique<TestWindow>(
        x.display(), TestWindow::Options{
                         .x = 10, .y = 10, .width = 120, .height = 100, .overrideRedirect = true});
    X11FrameSource source(x.display(), {X11CaptureTarget::Kind::window, window->id(), {}, {}},
                          settings(120, 100), clock);
    EXPECT_EQ(source.nextFrame().frameStatus, FrameStatus::complete);
    window.reset();
    bool stopped = false;
    for (int i = 0; i < 100 && !stopped; ++i) {
        try {
            source.nextFrame();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } catch (const RecorderError& error) {
            EXPECT_STREQ(error.what(), "The window being recorded was closed");
            stopped = true;
        }
    }
    EXPECT_TRUE(stopped);
}

TEST_F(X11CaptureTest, MissingTargetsFailAtStart) {
    EXPECT_THROW(X11FrameSource(x.display(), {X11CaptureTarget::Kind::display, 12345, {}, {}},
                                settings(), clock),
                 RecorderError);
    EXPECT_THROW(X11FrameSource(x.display(), {X11CaptureTarget::Kind::window, 0x7FFFFF, {}, {}},
                                settings(), clock),
                 RecorderError);
}

TEST_F(X11CaptureTest, OwnWindowsArePaintedOutAndKeptWindowsStay) {
    TestWindow patterned(
        x.display(),
        {.x = 0, .y = 0, .width = 640, .height = 300, .pattern = true, .windowClass = "Pattern"});
    const auto pattern = rectOf(patterned.id());
    // The recorder's own window (managed, so framed by the window manager) and
    // the pen overlay, both above the pattern.
    TestWindow own(x.display(), {.x = 100,
                                 .y = 60,
                                 .width = 150,
                                 .height = 100,
                                 .color = 0xFF0000,
                                 .windowClass = "Tessera",
                                 .pid = getpid()});
    TestWindow overlay(x.display(), {.x = 400,
                                     .y = 100,
                                     .width = 80,
                                     .height = 80,
                                     .color = 0x00FF00,
                                     .overrideRedirect = true});
    const auto ownRect = rectOf(own.id());
    const auto overlayRect = rectOf(overlay.id());

    X11FrameSource plain(x.display(), display(), settings(), clock);
    const auto before = plain.nextFrame();
    ASSERT_EQ(rgbAt(*before.pixels, ownRect.x + 10, ownRect.y + 10), 0xFF0000u);

    X11FrameSource source(x.display(), display({own.id(), overlay.id()}, {overlay.id()}),
                          settings(), clock);
    ASSERT_TRUE(source.repairsExcludedWindows());
    const auto frame = source.nextFrame();
    int checked = 0;
    for (int y = ownRect.y; y < ownRect.bottom(); y += 7) {
        for (int xx = ownRect.x; xx < ownRect.right(); xx += 5) {
            if (y >= pattern.bottom()) {
                continue;
            }
            const int bar = (xx - pattern.x) / 16;
            ASSERT_EQ(rgbAt(*frame.pixels, xx, y), patternColor(bar)) << xx << "," << y;
            ++checked;
        }
    }
    EXPECT_GT(checked, 300);
    EXPECT_EQ(rgbAt(*frame.pixels, overlayRect.x + 40, overlayRect.y + 40), 0x00FF00u);
    // Outside the repaired area the screen is untouched.
    EXPECT_EQ(rgbAt(*frame.pixels, 600, 20), rgbAt(*before.pixels, 600, 20));

    // A change in the own window alone leaves the repaired picture as it was.
    own.fill(0x0000FF);
    const auto again = nextComplete(source);
    EXPECT_EQ(rgbAt(*again.pixels, ownRect.x + 10, ownRect.y + 10),
              patternColor((ownRect.x + 10 - pattern.x) / 16));
}

TEST_F(X11CaptureTest, TheCaptureThreadDeliversFramesAndReportsAClosedWindow) {
    auto window =
        std::make_unique<TestWindow>(x.display(), TestWindow::Options{.x = 10,
                                                                      .y = 10,
                                                                      .width = 120,
                                                                      .height = 100,
                                                                      .color = 0x336699,
                                                                      .overrideRedirect = true});
    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    std::string stopMessage;
    X11ScreenCapture capture(x.display(), {X11CaptureTarget::Kind::window, window->id(), {}, {}},
                             settings(120, 100), clock,
                             {[&](VideoSample frame) {
                                  std::lock_guard lock(mutex);
                                  if (frames == 0) {
                                      EXPECT_EQ(frame.frameStatus, FrameStatus::complete);
                                      EXPECT_EQ(rgbAt(*frame.pixels, 60, 50), 0x336699u);
                                  }
                                  ++frames;
                                  changed.notify_all();
                              },
                              [&](std::exception_ptr error) {
                                  std::lock_guard lock(mutex);
                                  try {
                                      std::rethrow_exception(error);
                                  } catch (const std::exception& e) {
                                      stopMessage = e.what();
                                  }
                                  changed.notify_all();
                              }});
    capture.start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return frames >= 3; }));
    }
    window.reset();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return !stopMessage.empty(); }));
    }
    EXPECT_EQ(stopMessage, "The window being recorded was closed");
    capture.stop();
}

}  // namespace
}  // namespace tessera
