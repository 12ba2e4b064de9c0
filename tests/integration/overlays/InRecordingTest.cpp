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
// The same share of a screen grab.
double shareNear(const QImage& picture, const QRect& area, const QColor& colour) {
    return static_cast<double>(pixelsNear(picture, area, colour, 24)) / area.width() /
           area.height();
}

QImage toImage(const DecodedFrame& frame) {
    QImage image(frame.width(), frame.height(), QImage::Format_RGB32);
    for (int y = 0; y < frame.height(); ++y) {
        for (int x = 0; x < frame.width(); ++x) {
            const Rgb c = frame.at(x, y);
            image.setPixel(x, y, qRgb(c.red, c.green, c.blue));
        }
    }
    return image;
}

// What one session left in its screen video.
struct ReadBack {
    // Frames in which at least 29 of the 31 path points show the pen, and the
    // darkest channel of the glow beside the line across them.
    int strokeFrames = 0;
    int glowLeast = 255;
    // The backdrop's share over the strip and over the bubble's picture in
    // the settled frames, half a second in from either end. The frames
    // grabbed as the capture starts (every window redirected, those below the
    // recorder's own not yet repainted) and as the stop takes the strip down
    // are printed, not judged.
    double stripLeast = 1;
    double stripMost = 0;
    double bubbleLeast = 1;
};

class InRecordingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.state->setShowCursor(false);
        rig.state->setPenColor(PenColor::purple);
        // The camera bubble, fed one picture by a scripted camera.
        bubble = std::make_unique<CameraBubbleRecording>(cameraSource, nullptr, *rig.state,
                                                         placement, rig.executor, rig.clock);
        auto preview = spawn(
            rig.executor, bubble->startPreview(std::nullopt, false, rig.displays.mainDisplayID()));
        ASSERT_TRUE(processEventsUntil([&] { return preview.isDone(); }));
        ASSERT_NE(cameraSource.last, nullptr);
        auto picture = PixelBuffer::make(320, 180);
        for (std::size_t i = 0; i < picture->sizeInBytes(); i += 4) {
            const int bgra[] = {kCameraColour.blue(), kCameraColour.green(), kCameraColour.red(),
                                255};
            std::copy(std::begin(bgra), std::end(bgra), picture->data() + i);
        }
        cameraSource.last->deliver(picture, MediaTime(1, 1));
        CameraBubble& shown = bubble->bubble();
        ASSERT_TRUE(processEventsUntil(
            [&] { return !shown.view()->isLoading() && exposed(*shown.window()); }));
        bubblePicture = QRect(serverFrame(*shown.window()).topLeft() +
                                  shown.view()->pictureRect().center() - QPoint(20, 20),
                              QSize(40, 40));
        ASSERT_TRUE(processEventsUntil([&] {
            return shareNear(grabScreen(), bubblePicture, kCameraColour) > 0.95;
        })) << "the bubble shows the camera on screen";
    }
    void TearDown() override {
        bubble.reset();
        // Away from where the next test draws.
        xdotool({"mousemove", "1270", "10"});
    }

    // Opens the recording mode with the strip shown, records, runs `during`,
    // and stops.
    void record(StripVisibility visibility, const std::function<void()>& during) {
        rig.state->setStripVisibility(visibility);
        rig.controller->enterRecordingMode(false);
        ASSERT_NE(rig.windows.strip, nullptr);
        ASSERT_TRUE(processEventsUntil([&] { return exposed(*rig.windows.strip->window()); }));
        rig.controller->start();
        ASSERT_TRUE(rig.runUntilPhase(RecorderPhase::Kind::recording, 60s))
            << rig.state->phase().message();
        EXPECT_FALSE(rig.state->drawingInvisibleInCapture());
        during();
        // Where the strip is while recording; it does not move by itself.
        strip = serverFrame(*rig.windows.strip->window()).adjusted(4, 4, -4, -4);
        ASSERT_GT(1.0 - shareNear(grabScreen(), strip, kBackdropColour), 0.5)
            << "the strip is on screen";
        auto stopping = spawn(rig.executor, rig.controller->stop());
        ASSERT_TRUE(rig.runUntilPhase(RecorderPhase::Kind::done, 120s))
            << rig.state->phase().message();
        ASSERT_TRUE(stopping.isDone());
    }

    // Drags the pen along the path in draw mode, one motion at a time (Qt
    // merges motions that queue up), and waits until the stroke has faded.
    void drawStroke() {
        rig.controller->setDrawModeEnabled(true);
        overlays::PenOverlay* pen = rig.windows.penOverlay;
        ASSERT_NE(pen, nullptr);
        ASSERT_TRUE(pen->drawMode());
        const QPoint start = pathPoint(0);
        ASSERT_TRUE(xdotool({"mousemove", QString::number(start.x()), QString::number(start.y()),
                             "mousedown", "1"}));
        ASSERT_TRUE(processEventsUntil([&] { return pen->strokes().active().has_value(); }));
        for (int step = 1; step <= kSteps; ++step) {
            const QPoint p = pathPoint(step);
            ASSERT_TRUE(xdotool({"mousemove", QString::number(p.x()), QString::number(p.y())}));
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
        saveScreenArtifact("in-recording-stroke-live.png");
        // Fades 3 s after the release; the bound leaves room for a busy machine.
        ASSERT_TRUE(processEventsUntil([&] { return pen->strokes().finished().empty(); }, 30s));
        rig.controller->setDrawModeEnabled(false);
    }

    // Reads the web app's joined screen video and saves the frame that shows
    // the most of the stroke (or the last one) as `artefact`.
    ReadBack readBack(const std::string& artefact) {
        ReadBack found;
        std::vector<std::array<double, 3>> shares;  // seconds, strip, bubble
        int bestPoints = -1;
        QImage best;
        const auto visit = [&](const DecodedFrame& frame) {
            const auto at = [&](QPoint p) {
                return frame.at(p.x(), p.y());
            };
            int points = 0;
            for (int step = 0; step <= kSteps; ++step) {
                points += near(at(pathPoint(step)), kPenColour, 48) ? 1 : 0;
            }
            if (points >= kSteps - 1) {
                ++found.strokeFrames;
                for (int step = 5; step <= kSteps - 5; ++step) {
                    for (const QPoint offset : kGlowOffsets) {
                        const Rgb glow = at(pathPoint(step) + offset);
                        found.glowLeast =
                            std::min({found.glowLeast, glow.red, glow.green, glow.blue});
                    }
                }
            }
            shares.push_back({frame.seconds(), shareNear(frame, strip, kBackdropColour),
                              shareNear(frame, bubblePicture, kBackdropColour)});
            if (points >= bestPoints) {
                bestPoints = points;
                best = toImage(frame);
            }
        };
        const int frames =
            forEachVideoFrame(web.dataDir() / "media" / rig.recordingID() / "screen.mp4", visit);
        best.save(QString::fromStdString(testArtifactPath(artefact).string()), "PNG");
        EXPECT_GT(frames, 0);
        const double last = shares.empty() ? 0 : shares.back()[0];
        for (const auto& [seconds, stripShare, bubbleShare] : shares) {
            if (seconds >= 0.5 && seconds <= last - 0.5) {
                found.stripLeast = std::min(found.stripLeast, stripShare);
                found.stripMost = std::max(found.stripMost, stripShare);
                found.bubbleLeast = std::min(found.bubbleLeast, bubbleShare);
            }
        }
        std::printf(
            "[ figures  ] %s: %d frames over %.3f s, %d show the stroke (glow at least %d); "
            "backdrop share over the strip %.3f..%.3f when settled, %.3f in the first "
            "frame and %.3f in the last; over the bubble's picture at least %.3f\n",
            artefact.c_str(), frames, last, found.strokeFrames, found.glowLeast, found.stripLeast,
            found.stripMost, frames ? shares.front()[1] : -1, frames ? shares.back()[1] : -1,
            found.bubbleLeast);
        return found;
    }

    // Under everything, full screen.
    TestWindow backdrop{qtTestDisplay(),
                        {.x = 0, .y = 0, .width = 1280, .height = 800, .color = kBackdrop}};
    WebAppProcess web;
    QtSessionRig rig{web.baseUrl()};
    overlays::DisplayPlacement placement{rig.displays};
    ScriptedCameraSource cameraSource;
    std::unique_ptr<CameraBubbleRecording> bubble;
    QRect bubblePicture;
    QRect strip;
};

TEST_F(InRecordingTest, TheStrokeIsRecordedAndTheBubbleAndTheStripKeptForTheUserAreNot) {
    record(StripVisibility::ownScreen, [&] { drawStroke(); });
    ASSERT_FALSE(strip.intersects(QRect(pathPoint(0), pathPoint(kSteps))));
    const ReadBack video = readBack("in-recording-own-screen.png");
    // Visible for about 3.5 s of a 30 fps recording.
    EXPECT_GE(video.strokeFrames, 10);
    EXPECT_GE(video.glowLeast, 180) << "a light glow around the line, no dark rim";
    EXPECT_GT(video.stripLeast, 0.97) << "the strip is left out of every settled frame";
    EXPECT_GT(video.bubbleLeast, 0.97) << "the bubble is left out of every settled frame";
}

TEST_F(InRecordingTest, TheStripSetToBeInTheVideoIsRecorded) {
    record(StripVisibility::always, [&] {
        // Two segments of video (2 s each) have reached the upload pipe.
        ASSERT_TRUE(processEventsUntil([&] { return rig.media.segments >= 2; }, 60s));
    });
    const ReadBack video = readBack("in-recording-always.png");
    EXPECT_LT(video.stripMost, 0.5) << "the strip covers the backdrop in every settled frame";
    EXPECT_GT(video.bubbleLeast, 0.97) << "the bubble is still left out";
}

}  // namespace
}  // namespace tessera::testing
