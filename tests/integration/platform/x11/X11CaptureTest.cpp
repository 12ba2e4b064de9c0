#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>

#include "platform/x11/X11Displays.h"
#include "platform/x11/X11FrameSource.h"
#include "platform/x11/X11Windows.h"
#include "support/RecorderError.h"
#include "support/WaitUntil.h"
#include "support/XvfbSession.h"

namespace tessera {
namespace {

using testing::patternColor;
using testing::TestWindow;
using testing::waitUntil;
using testing::XvfbSession;

std::uint32_t rgbAt(const PixelBuffer& frame, int x, int y) {
    const auto* px = frame.row(y) + 4 * x;
    return (std::uint32_t{px[2]} << 16) | (std::uint32_t{px[1]} << 8) | px[0];
}

// An unmanaged window: placed exactly, above the managed ones.
TestWindow::Options placed(int x, int y, int width, int height, std::uint32_t color) {
    return {
        .x = x, .y = y, .width = width, .height = height, .color = color, .overrideRedirect = true};
}

// The next complete frame that satisfies `wanted`; the damage notification
// of a paint, or a client's repaint, may trail by a moment.
VideoSample completeFrameWhere(X11FrameSource& source,
                               const std::function<bool(const PixelBuffer&)>& wanted) {
    VideoSample found;
    const bool seen = waitUntil([&] {
        auto frame = source.nextFrame();
        if (frame.frameStatus == FrameStatus::complete && wanted(*frame.pixels)) {
            found = std::move(frame);
            return true;
        }
        return false;
    });
    EXPECT_TRUE(seen) << "no such frame";
    return found;
}

VideoSample nextComplete(X11FrameSource& source) {
    return completeFrameWhere(source, [](const PixelBuffer&) { return true; });
}

// Shared-memory segments mapped into this process.
int sharedMemoryMappings() {
    std::ifstream maps("/proc/self/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
        count += line.find("SYSV") != std::string::npos;
    }
    return count;
}

// A clock that moves on by a millisecond at every reading, so the order of
// readings shows in their values.
class SteppingClock final : public HostClock {
  public:
    MediaTime now() const override {
        return MediaTime::fromNanoseconds(ns_.fetch_add(1'000'000) + 1'000'000);
    }

  private:
    mutable std::atomic<int64_t> ns_ = 1'000'000'000;
};

class X11CaptureTest : public ::testing::Test {
  protected:
    XvfbSession x{{640, 480, true}};
    SystemHostClock clock;

    X11CaptureTarget display(std::vector<std::uint32_t> excluded = {},
                             std::vector<std::uint32_t> kept = {}) {
        XcbConnection c(x.display());
        const auto id = X11DisplaySource::mainMonitor(X11DisplaySource::queryMonitors(c))->id;
        return {X11CaptureTarget::Kind::display, id, std::move(excluded), std::move(kept)};
    }
    static X11CaptureTarget window(std::uint32_t id) {
        return {X11CaptureTarget::Kind::window, id, {}, {}};
    }
    static X11CaptureSettings settings(int width = 640, int height = 480) {
        return {.width = width, .height = height, .frameRate = 30, .showsCursor = false};
    }
    // A client window's area in root coordinates.
    PixelRect rectOf(std::uint32_t id) {
        XcbConnection c(x.display());
        for (const auto& w : X11WindowSource::queryWindows(c)) {
            if (w.id == id) {
                return w.rect;
            }
        }
        XcbReply<xcb_get_geometry_reply_t> geo(
            xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), id), nullptr));
        return {geo->x, geo->y, geo->width, geo->height};
    }
};

// What was drawn shows, an unchanged screen gives idle frames, frames are
// stamped at their grab (not after scaling or repair), and targets that are
// not there fail at the start.
TEST_F(X11CaptureTest, FramesShowWhatWasDrawnStampedAtTheGrab) {
    TestWindow box(x.display(), placed(100, 100, 200, 120, 0xFF0000));
    {
        SCOPED_TRACE("drawn and idle");
        X11FrameSource source(x.display(), display(), settings(), clock);
        auto first = source.nextFrame();
        ASSERT_EQ(first.frameStatus, FrameStatus::complete);
        ASSERT_EQ(first.pixels->width, 640);
        ASSERT_EQ(first.pixels->height, 480);
        EXPECT_EQ(rgbAt(*first.pixels, 150, 150), 0xFF0000u);
        // Opaque: the fourth byte is either full alpha or declared padding.
        EXPECT_TRUE(first.pixels->alphaIsPadding || first.pixels->row(150)[4 * 150 + 3] == 255);
        EXPECT_EQ(first.timing.duration, MediaTime(1, 30));

        const auto idle = source.nextFrame();
        EXPECT_EQ(idle.frameStatus, FrameStatus::idle);
        EXPECT_EQ(idle.pixels, first.pixels);
        EXPECT_GT(idle.timing.presentationTimeStamp, first.timing.presentationTimeStamp);

        box.fill(0x123456);
        const auto frame = nextComplete(source);
        ASSERT_TRUE(frame.isValid());
        EXPECT_EQ(rgbAt(*frame.pixels, 150, 150), 0x123456u);
        EXPECT_EQ(rgbAt(*frame.pixels, 299, 219), 0x123456u);
        EXPECT_NE(rgbAt(*frame.pixels, 300, 220), 0x123456u);
    }
    const struct {
        const char* what;
        X11CaptureTarget target;
        X11CaptureSettings settings;
    } cases[] = {
        {"scaled display", display(), settings(320, 240)},
        {"display with an own window painted out", display({box.id()}), settings()},
        {"window", window(box.id()), settings(200, 120)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SteppingClock stepping;
        X11FrameSource source(x.display(), c.target, c.settings, stepping);
        MediaTime afterGrab;
        source.setGrabObserver([&] { afterGrab = stepping.now(); });
        const auto frame = source.nextFrame();
        ASSERT_EQ(frame.frameStatus, FrameStatus::complete);
        ASSERT_TRUE(afterGrab.isValid());
        EXPECT_LT(frame.timing.presentationTimeStamp, afterGrab);
        EXPECT_GT(frame.timing.presentationTimeStamp, afterGrab - MediaTime(1, 100));
    }
    EXPECT_THROW(X11FrameSource(x.display(), {X11CaptureTarget::Kind::display, 12345, {}, {}},
                                settings(), clock),
                 RecorderError);
    EXPECT_THROW(X11FrameSource(x.display(), window(0x7FFFFF), settings(), clock), RecorderError);
}

// Frames go out without a copy from a pool of queueDepth buffers (shared
// memory at the display's own size, plain memory when scaled). A held buffer
// is never grabbed into again; with all of them held, changes are dropped and
// counted; once released, delivery resumes. A held frame outlives its source.
TEST_F(X11CaptureTest, HeldFramesBoundThePoolAndChangesBeyondItAreDropped) {
    TestWindow box(x.display(), placed(100, 100, 200, 120, 0x000000));
    constexpr int kQueueDepth = 4;
    for (const auto& [width, height] : {std::pair{640, 480}, std::pair{320, 240}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        const auto boxAt = [&](const PixelBuffer& frame) {
            return rgbAt(frame, 150 * width / 640, 150 * height / 480);
        };
        std::vector<std::pair<std::uint32_t, VideoSample>> held;
        std::set<const PixelBuffer*> buffers;
        {
            auto config = settings(width, height);
            config.queueDepth = kQueueDepth;
            X11FrameSource source(x.display(), display(), config, clock);
            int mappingsWhenFull = 0;
            for (std::uint32_t i = 1; source.droppedFrames() < 20; ++i) {
                ASSERT_LT(i, 200u) << "changes were never dropped";
                const std::uint32_t color = 0x100000u * (i % 16) + 0x20u * (i % 8) + 0x0F;
                box.fill(color);
                const auto dropped = source.droppedFrames();
                VideoSample frame;
                ASSERT_TRUE(waitUntil([&] {
                    frame = source.nextFrame();
                    return frame.frameStatus == FrameStatus::complete ||
                           source.droppedFrames() > dropped;
                }));
                if (frame.frameStatus == FrameStatus::complete) {
                    ASSERT_EQ(boxAt(*frame.pixels), color);
                    buffers.insert(frame.pixels.get());
                    held.emplace_back(color, std::move(frame));
                    mappingsWhenFull = sharedMemoryMappings();
                } else {
                    // The idle frame repeats the last picture.
                    EXPECT_EQ(frame.pixels, held.back().second.pixels);
                }
            }
            EXPECT_EQ(held.size(), static_cast<std::size_t>(kQueueDepth));
            EXPECT_EQ(buffers.size(), static_cast<std::size_t>(kQueueDepth));
            EXPECT_EQ(sharedMemoryMappings(), mappingsWhenFull);
            for (const auto& [color, frame] : held) {
                EXPECT_EQ(boxAt(*frame.pixels), color);
            }

            held.erase(held.begin(), held.end() - 1);
            box.fill(0xABCDEF);
            const auto resumed =
                completeFrameWhere(source, [&](const auto& f) { return boxAt(f) == 0xABCDEFu; });
            ASSERT_TRUE(resumed.isValid());
            EXPECT_TRUE(buffers.contains(resumed.pixels.get()));
            held.emplace_back(0xABCDEF, resumed);
        }
        for (const auto& [color, frame] : held) {
            EXPECT_EQ(boxAt(*frame.pixels), color);
        }
    }
}

// A window's capture shows its own content even when covered; off screen it
// gives no frame (rather than a blank one) until it is shown. (The capture
// stream's test sees the window's closing reported.)
TEST_F(X11CaptureTest, WindowCaptureShowsTheWindowOnlyEvenWhenCovered) {
    // Bars painted over a background of 0x336699, which the server shows at
    // once when the window is mapped again.
    auto options = placed(50, 50, 256, 128, 0x336699);
    options.pattern = true;
    TestWindow patterned(x.display(), options);
    {
        SCOPED_TRACE("covered");
        X11FrameSource source(x.display(), window(patterned.id()), settings(256, 128), clock);
        TestWindow cover(x.display(), placed(40, 40, 300, 200, 0x00FF00));
        X11FrameSource screen(x.display(), display(), settings(), clock);
        EXPECT_EQ(rgbAt(*screen.nextFrame().pixels, 60, 60), 0x00FF00u);
        const auto frame = source.nextFrame();
        ASSERT_EQ(frame.pixels->width, 256);
        for (int bar = 0; bar < 16; ++bar) {
            EXPECT_EQ(rgbAt(*frame.pixels, bar * 16 + 8, 64), patternColor(bar)) << "bar " << bar;
        }
    }
    {
        SCOPED_TRACE("off screen, then shown");
        // One colour from here on, the same as the background.
        patterned.fill(0x336699);
        XcbConnection c(x.display());
        xcb_unmap_window(c.get(), patterned.id());
        // A round trip: the server has done it once the reply is here.
        std::free(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
        X11FrameSource source(x.display(), window(patterned.id()), settings(256, 128), clock);
        for (int i = 0; i < 3; ++i) {
            const auto frame = source.nextFrame();
            EXPECT_EQ(frame.frameStatus, FrameStatus::idle);
            EXPECT_EQ(frame.pixels, nullptr);
        }
        xcb_map_window(c.get(), patterned.id());
        xcb_flush(c.get());
        const auto first = nextComplete(source);
        ASSERT_TRUE(first.isValid());
        EXPECT_EQ(rgbAt(*first.pixels, 60, 50), 0x336699u);
    }
}

// Own windows are painted out with what is below them, kept windows (the pen
// overlay) stay, and drawing below an own window, which lands in that
// window's off-screen copy and never changes the screen there, still shows.
TEST_F(X11CaptureTest, OwnWindowsArePaintedOutAndWhatIsBelowThemShows) {
    TestWindow below(
        x.display(),
        {.x = 0, .y = 0, .width = 640, .height = 300, .pattern = true, .windowClass = "Pattern"});
    const auto pattern = rectOf(below.id());
    // The recorder's own window (managed, so framed by the window manager).
    TestWindow own(x.display(), {.x = 100,
                                 .y = 60,
                                 .width = 150,
                                 .height = 100,
                                 .color = 0xFF0000,
                                 .windowClass = "Tessera",
                                 .pid = getpid()});
    TestWindow overlay(x.display(), placed(400, 100, 80, 80, 0x00FF00));
    const auto ownRect = rectOf(own.id());
    const auto overlayRect = rectOf(overlay.id());

    X11FrameSource plain(x.display(), display(), settings(), clock);
    const auto before = plain.nextFrame();
    ASSERT_EQ(rgbAt(*before.pixels, ownRect.x + 10, ownRect.y + 10), 0xFF0000u);

    X11FrameSource source(x.display(), display({own.id(), overlay.id()}, {overlay.id()}),
                          settings(), clock);
    ASSERT_TRUE(source.repairsExcludedWindows());
    // Painting the own window out clears what it covered until the pattern's
    // client repaints; the source waits for that at its first frame.
    // The first pixel of the covered area that is not the pattern, if any.
    const auto patternMismatch = [&](const PixelBuffer& frame) -> std::string {
        for (int y = ownRect.y; y < std::min(ownRect.bottom(), pattern.bottom()); y += 7) {
            for (int xx = ownRect.x; xx < ownRect.right(); xx += 5) {
                if (rgbAt(frame, xx, y) != patternColor((xx - pattern.x) / 16)) {
                    return std::to_string(xx) + "," + std::to_string(y);
                }
            }
        }
        return {};
    };
    ASSERT_GE(std::min(ownRect.bottom(), pattern.bottom()) - ownRect.y, 50);
    const auto frame =
        completeFrameWhere(source, [&](const auto& f) { return patternMismatch(f).empty(); });
    ASSERT_TRUE(frame.isValid());
    EXPECT_EQ(rgbAt(*frame.pixels, overlayRect.x + 40, overlayRect.y + 40), 0x00FF00u);
    // Outside the repaired area the screen is untouched.
    EXPECT_EQ(rgbAt(*frame.pixels, 600, 20), rgbAt(*before.pixels, 600, 20));

    // A change in the own window alone leaves the repaired picture as it was.
    own.fill(0x0000FF);
    EXPECT_EQ(patternMismatch(*nextComplete(source).pixels), "");

    below.fill(0x00C0C0);
    const auto repainted = completeFrameWhere(source, [&](const auto& f) {
        return rgbAt(f, ownRect.x + ownRect.width / 2, ownRect.y + ownRect.height / 2) == 0x00C0C0u;
    });
    ASSERT_TRUE(repainted.isValid());
    // The whole covered area, corner to corner.
    EXPECT_EQ(rgbAt(*repainted.pixels, ownRect.x, ownRect.y), 0x00C0C0u);
    EXPECT_EQ(rgbAt(*repainted.pixels, ownRect.right() - 1, ownRect.bottom() - 1), 0x00C0C0u);
}

}  // namespace
}  // namespace tessera
