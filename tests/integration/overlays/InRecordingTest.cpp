// The floating windows during a real recording, read back from the screen
// video the web app joined: a pen stroke is in the video, the camera bubble is
// not, and the control strip is in it only when it is set to be.

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <array>
#include <cstdio>

#include "OverlayTestSupport.h"
#include "camera/widgets/CameraBubbleRecording.h"
#include "camera/widgets/CameraBubbleView.h"
#include "support/DecodedVideo.h"
#include "support/QtSessionRig.h"
#include "support/WebAppProcess.h"
#include "support/XvfbSession.h"
#include "unit/media/camera/ScriptedCameraSource.h"

namespace tessera::testing {
namespace {

using namespace std::chrono_literals;

// A plain light backdrop under everything, in another client's window.
constexpr std::uint32_t kBackdrop = 0xB4C8DC;
const QColor kBackdropColour(0xB4, 0xC8, 0xDC);
// The default pen colour (purple) and the camera's picture.
const QColor kPenColour(175, 82, 222);
const QColor kCameraColour(220, 40, 40);

// The drag: 31 points from (360, 260), 12 right and 3 down per step.
constexpr int kSteps = 30;
QPoint pathPoint(int step) {
    return {360 + 12 * step, 260 + 3 * step};
}
// Points about 4 pixels to either side of the path's centre line (the line is
// 4 wide, its glow reaches 2.5 further).
constexpr QPoint kGlowOffsets[] = {{-1, 4}, {1, -4}};

bool near(const Rgb& colour, const QColor& expected, int tolerance) {
    return std::abs(colour.red - expected.red()) <= tolerance &&
           std::abs(colour.green - expected.green()) <= tolerance &&
           std::abs(colour.blue - expected.blue()) <= tolerance;
}

// The share of the pixels of `area` (on a 4-pixel grid) of a decoded frame
// that are close to `colour`.
double shareNear(const DecodedFrame& frame, const QRect& area, const QColor& colour) {
    int hits = 0;
    int total = 0;
    for (int y = area.top(); y <= area.bottom(); y += 4) {
        for (int x = area.left(); x <= area.right(); x += 4) {
            hits += near(frame.at(x, y), colour, 24) ? 1 : 0;
            ++total;
        }
    }
    return total ? static_cast<double>(hits) / total : 0.0;
}
double shareNear(const QImage& picture, const QRect& area, const QColor& colour) {
    return static_cast<double>(pixelsNear(picture, area, colour, 24)) / area.width() /
           area.height();
}

// Runs with the strip shown only to the user and with the strip in the video.
class InRecordingTest : public ::testing::TestWithParam<StripVisibility> {
  protected:
    void TearDown() override {
        bubble.reset();
        xdotool({"mousemove", "1270", "10"});  // away from where other tests draw
    }

    // Under everything, full screen, in another client's window.
    TestWindow backdrop{qtTestDisplay(),
                        {.x = 0, .y = 0, .width = 1280, .height = 800, .color = kBackdrop}};
    WebAppProcess web;
    QtSessionRig rig{web.baseUrl()};
    overlays::DisplayPlacement placement{rig.displays};
    ScriptedCameraSource cameraSource;
    std::unique_ptr<CameraBubbleRecording> bubble;
};

TEST_P(InRecordingTest, TheStrokeIsRecordedTheBubbleIsNotAndTheStripOnlyWhenSetToBe) {
    const bool stripInVideo = GetParam() == StripVisibility::always;
    rig.state->setShowCursor(false);
    rig.state->setPenColor(PenColor::purple);
    rig.state->setStripVisibility(GetParam());
    // The camera bubble, fed one picture by a scripted camera.
    bubble = std::make_unique<CameraBubbleRecording>(cameraSource, nullptr, *rig.state, placement,
                                                     rig.executor, rig.clock);
    auto preview = spawn(rig.executor,
                         bubble->startPreview(std::nullopt, false, rig.displays.mainDisplayID()));
    ASSERT_TRUE(processEventsUntil([&] { return preview.isDone(); }));
    ASSERT_NE(cameraSource.last, nullptr);
    auto picture = PixelBuffer::make(320, 180);
    for (std::size_t i = 0; i < picture->sizeInBytes(); i += 4) {
        const int bgra[] = {kCameraColour.blue(), kCameraColour.green(), kCameraColour.red(), 255};
        std::copy(std::begin(bgra), std::end(bgra), picture->data() + i);
    }
    cameraSource.last->deliver(picture, MediaTime(1, 1));
    CameraBubble& shown = bubble->bubble();
    ASSERT_TRUE(
        processEventsUntil([&] { return !shown.view()->isLoading() && exposed(*shown.window()); }));
    const QRect bubblePicture(serverFrame(*shown.window()).topLeft() +
                                  shown.view()->pictureRect().center() - QPoint(20, 20),
                              QSize(40, 40));
    ASSERT_TRUE(processEventsUntil([&] {
        return shareNear(grabScreen(), bubblePicture, kCameraColour) > 0.95;
    })) << "the bubble shows the camera on screen";

    rig.controller->enterRecordingMode(false);
    ASSERT_NE(rig.windows.strip, nullptr);
    ASSERT_TRUE(processEventsUntil([&] { return exposed(*rig.windows.strip->window()); }));
    rig.controller->start();
    ASSERT_TRUE(rig.runUntilPhase(RecorderPhase::Kind::recording, 60s))
        << rig.state->phase().message();
    EXPECT_FALSE(rig.state->drawingInvisibleInCapture());

    // The drag in draw mode, one motion at a time (Qt merges motions that
    // queue up); then the stroke fades 3 s after the release.
    rig.controller->setDrawModeEnabled(true);
    overlays::PenOverlay* pen = rig.windows.penOverlay;
    ASSERT_NE(pen, nullptr);
    ASSERT_TRUE(pen->drawMode());
    for (int step = 0; step <= kSteps; ++step) {
        const QPoint p = pathPoint(step);
        QStringList move{"mousemove", QString::number(p.x()), QString::number(p.y())};
        ASSERT_TRUE(xdotool(step == 0 ? move + QStringList{"mousedown", "1"} : move));
        ASSERT_TRUE(processEventsUntil([&] {
            return pen->strokes().active() &&
                   pen->strokes().active()->points.size() == std::size_t(step) + 1;
        }));
    }
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    ASSERT_TRUE(processEventsUntil([&] { return !pen->strokes().active(); }));
    ASSERT_TRUE(processEventsUntil([&] {
        return pixelsNear(grabScreen(), QRect(pathPoint(15) - QPoint(2, 2), QSize(5, 5)),
                          kPenColour, 30) > 0;
    })) << "the stroke is on screen";
    if (!stripInVideo) {
        saveScreenArtifact("in-recording-stroke-live.png");
    }
    ASSERT_TRUE(processEventsUntil([&] { return pen->strokes().finished().empty(); }, 30s));
    rig.controller->setDrawModeEnabled(false);

    // Where the strip is while recording; it does not move by itself.
    const QRect strip = serverFrame(*rig.windows.strip->window()).adjusted(4, 4, -4, -4);
    ASSERT_FALSE(strip.intersects(QRect(pathPoint(0), pathPoint(kSteps))));
    ASSERT_GT(1.0 - shareNear(grabScreen(), strip, kBackdropColour), 0.5)
        << "the strip is on screen";
    auto stopping = spawn(rig.executor, rig.controller->stop());
    ASSERT_TRUE(rig.runUntilPhase(RecorderPhase::Kind::done, 120s)) << rig.state->phase().message();
    ASSERT_TRUE(stopping.isDone());

    // The joined video: frames in which at least 29 of the 31 path points show
    // the pen and the darkest channel of the glow beside the line in them; the
    // backdrop's share over the strip and the bubble's picture half a second
    // in from either end (the frames grabbed as the capture starts, windows
    // below the recorder's own not yet repainted, and as the stop takes the
    // strip down are not judged).
    int strokeFrames = 0;
    int glowLeast = 255;
    std::vector<std::array<double, 3>> shares;  // seconds, strip, bubble
    const int frames = forEachVideoFrame(
        web.dataDir() / "media" / rig.recordingID() / "screen.mp4", [&](const DecodedFrame& frame) {
            const auto at = [&](QPoint p) {
                return frame.at(p.x(), p.y());
            };
            int points = 0;
            for (int step = 0; step <= kSteps; ++step) {
                points += near(at(pathPoint(step)), kPenColour, 48) ? 1 : 0;
            }
            if (points >= kSteps - 1) {
                ++strokeFrames;
                for (int step = 5; step <= kSteps - 5; ++step) {
                    for (const QPoint offset : kGlowOffsets) {
                        const Rgb glow = at(pathPoint(step) + offset);
                        glowLeast = std::min({glowLeast, glow.red, glow.green, glow.blue});
                    }
                }
            }
            shares.push_back({frame.seconds(), shareNear(frame, strip, kBackdropColour),
                              shareNear(frame, bubblePicture, kBackdropColour)});
        });
    ASSERT_GT(frames, 0);
    double stripLeast = 1;
    double stripMost = 0;
    double bubbleLeast = 1;
    const double last = shares.back()[0];
    for (const auto& [seconds, stripShare, bubbleShare] : shares) {
        if (seconds >= 0.5 && seconds <= last - 0.5) {
            stripLeast = std::min(stripLeast, stripShare);
            stripMost = std::max(stripMost, stripShare);
            bubbleLeast = std::min(bubbleLeast, bubbleShare);
        }
    }
    std::printf(
        "[ figures  ] %d frames over %.3f s, %d show the stroke (glow at least %d); "
        "backdrop share over the strip %.3f..%.3f (first frame %.3f, last %.3f), "
        "over the bubble at least %.3f\n",
        frames, last, strokeFrames, glowLeast, stripLeast, stripMost, shares.front()[1],
        shares.back()[1], bubbleLeast);
    // Visible for about 3.5 s of a 30 fps recording.
    EXPECT_GE(strokeFrames, 10);
    EXPECT_GE(glowLeast, 180) << "a light glow around the line, no dark rim";
    if (stripInVideo) {
        EXPECT_LT(stripMost, 0.5) << "the strip covers the backdrop in every settled frame";
    } else {
        EXPECT_GT(stripLeast, 0.97) << "the strip is left out of every settled frame";
    }
    EXPECT_GT(bubbleLeast, 0.97) << "the bubble is left out of every settled frame";
}

INSTANTIATE_TEST_SUITE_P(Strip, InRecordingTest,
                         ::testing::Values(StripVisibility::ownScreen, StripVisibility::always),
                         [](const auto& info) {
                             return info.param == StripVisibility::always
                                        ? std::string("InVideo")
                                        : std::string("OwnScreen");
                         });

}  // namespace
}  // namespace tessera::testing
