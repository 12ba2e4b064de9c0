#include <gtest/gtest.h>

#include <QCursor>
#include <QWindow>

#include "app/SettingsKeys.h"
#include "camera/widgets/BubbleDotsButton.h"
#include "camera/widgets/BubbleMenuView.h"
#include "camera/widgets/CameraBubbleRecording.h"
#include "camera/widgets/CameraBubbleView.h"
#include "integration/overlays/OverlayTestSupport.h"
#include "support/AppStateDoubles.h"
#include "support/ManualExecutor.h"
#include "support/QtTestEnvironment.h"
#include "support/RunTask.h"
#include "unit/media/camera/ScriptedCameraSource.h"

namespace tessera {
namespace {

namespace keys = settings_keys;
using testing::exposed;
using testing::grabScreen;
using testing::pixelsNear;
using testing::processEventsUntil;
using testing::runTask;
using testing::xdotool;

// A camera picture of one colour.
std::shared_ptr<const PixelBuffer> solidPicture(QColor colour, int width = 320, int height = 180) {
    auto picture = PixelBuffer::make(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture->row(y);
        for (int x = 0; x < width; ++x) {
            row[4 * x] = static_cast<uint8_t>(colour.blue());
            row[4 * x + 1] = static_cast<uint8_t>(colour.green());
            row[4 * x + 2] = static_cast<uint8_t>(colour.red());
            row[4 * x + 3] = 255;
        }
    }
    return picture;
}

bool movePointer(QPoint global) {
    return xdotool({"mousemove", QString::number(global.x()), QString::number(global.y())});
}

class CameraBubbleTest : public ::testing::Test {
  protected:
    CameraBubbleTest() { launch(); }
    ~CameraBubbleTest() override {
        recording.reset();
        movePointer({1270, 10});
    }

    // A fresh state over the same settings and a new camera, as after a
    // restart of the application.
    void launch() {
        recording.reset();
        AppState& state = app.launch();
        recording = std::make_unique<CameraBubbleRecording>(cameras, nullptr, state, placement,
                                                            executor, clock);
    }
    CameraBubble& bubble() { return recording->bubble(); }
    QRect bubbleOnScreen() { return bubble().window()->geometry(); }
    // Screen positions from the geometry the windows were given: Qt learns
    // where the window manager put a window only later, so mapToGlobal()
    // may still be at the origin.
    QPoint circleCentre() {
        return bubbleOnScreen().topLeft() + bubble().view()->pictureRect().center();
    }
    static QPoint onScreen(const QWidget& widget) {
        return widget.window()->geometry().topLeft() +
               widget.mapTo(widget.window(), widget.rect().center());
    }

    // Opens the camera and waits until the bubble shows a frame of `colour`.
    void startWithPicture(QColor colour) {
        runTask(executor, recording->startPreview(std::nullopt, false, 1));
        ASSERT_TRUE(bubble().isShown());
        cameras.last->deliver(solidPicture(colour), MediaTime(1, 1));
        ASSERT_TRUE(executor.runUntil([&] { return !bubble().view()->isLoading(); }));
        ASSERT_TRUE(processEventsUntil([&] { return exposed(*bubble().window()); }));
    }

    testing::TestAppState app;
    testing::TestDisplays displays;
    overlays::DisplayPlacement placement{displays};
    ManualExecutor executor;
    ManualHostClock clock;
    testing::ScriptedCameraSource cameras;
    std::unique_ptr<CameraBubbleRecording> recording;
};

// Round over what lies beneath: shaped without a compositing manager,
// composited through its transparent corners with one.
TEST_F(CameraBubbleTest, TheBubbleIsRoundAndStaysAboveANormalWindow) {
    testing::ClickTarget beneath(QColor(0, 200, 0));
    beneath.setGeometry(0, 0, 1280, 800);
    beneath.show();
    ASSERT_TRUE(processEventsUntil([&] { return exposed(beneath); }));
    for (const bool composited : {false, true}) {
        SCOPED_TRACE(composited ? "with a compositor" : "without a compositor");
        std::optional<testing::Compositor> compositor;
        if (composited) {
            compositor.emplace();
            ASSERT_TRUE(compositor->running());
        }
        launch();
        startWithPicture(QColor(220, 0, 0));
        // Default place: 16 points from the left, 11 above the bottom.
        EXPECT_EQ(bubble().frame(), Rect(16, 11, 160, 190));
        EXPECT_EQ(bubbleOnScreen(), QRect(16, 800 - 11 - 190, 160, 190));
        EXPECT_EQ(bubble().window()->mask().isEmpty(), composited);

        const QRect centre(circleCentre() - QPoint(10, 10), QSize(20, 20));
        const QRect corner(bubbleOnScreen().topLeft() + QPoint(2, 2), QSize(10, 10));
        const auto roundOverGreen = [&] {
            const QImage screen = grabScreen();
            // The camera's colour itself: nothing is drawn over the picture.
            return pixelsNear(screen, centre, QColor(220, 0, 0), 4) == 400 &&
                   pixelsNear(screen, corner, QColor(0, 200, 0)) == 100;
        };
        EXPECT_TRUE(processEventsUntil(roundOverGreen));
        // The normal window is raised and focused: the bubble stays on top.
        beneath.raise();
        beneath.activateWindow();
        ASSERT_TRUE(processEventsUntil([&] { return beneath.isActiveWindow(); }));
        EXPECT_TRUE(processEventsUntil(roundOverGreen));
        if (!composited) {
            testing::saveScreenArtifact("camera-bubble-over-window.png");
        }
    }
}

// Dragged, restored after a restart, then resized with its pinned corner
// kept, and back from full screen.
TEST_F(CameraBubbleTest, ADragMovesTheBubbleWhichIsRestoredResizedAndBackFromFullScreen) {
    startWithPicture(QColor(40, 40, 200));
    const QPoint start = circleCentre();
    // The bubble has seen the pointer arrive before the button goes down.
    ASSERT_TRUE(movePointer(start));
    ASSERT_TRUE(processEventsUntil([&] { return bubble().view()->dotsVisible(); }));
    ASSERT_TRUE(xdotool({"mousedown", "1"}));
    ASSERT_TRUE(processEventsUntil([&] { return bubble().view()->isDragging(); }));
    ASSERT_TRUE(movePointer(start + QPoint(200, -100)));
    const bool moved = processEventsUntil([&] {
        return bubble().frame().origin == Point{216, 111};
    });
    xdotool({"mouseup", "1"});
    EXPECT_TRUE(processEventsUntil([&] { return !bubble().view()->isDragging(); }));
    ASSERT_TRUE(moved) << bubble().frame().minX() << ", " << bubble().frame().minY();
    EXPECT_TRUE(processEventsUntil([&] { return bubbleOnScreen().topLeft() == QPoint(216, 499); }));
    EXPECT_EQ(app.store.get(keys::kCameraBubbleX), 216);
    EXPECT_EQ(app.store.get(keys::kCameraBubbleY), 111);

    launch();
    std::vector<double> resized;
    recording->setOnBubbleResized([&](double d) { resized.push_back(d); });
    startWithPicture(QColor(40, 40, 200));
    EXPECT_EQ(bubble().frame(), Rect(216, 111, 160, 190));
    EXPECT_EQ(bubbleOnScreen(), QRect(216, 499, 160, 190));
    // Nearer the left edge than the right, and the bottom than the top: those
    // edges stay.
    EXPECT_EQ(bubble().anchor(), (bubble::BubbleAnchor{true, true}));
    recording->setBubbleSize(230);
    EXPECT_EQ(bubble().frame(), Rect(216, 111, 230, 260));
    EXPECT_TRUE(processEventsUntil([&] { return bubbleOnScreen() == QRect(216, 429, 230, 260); }));
    EXPECT_EQ(resized, std::vector<double>{230});
    EXPECT_EQ(app.store.get(keys::kCameraBubbleSize), 230);

    // Ctrl+scroll asks for a tenth more per notch; the window itself only
    // changes when the setting comes back through setBubbleSize.
    ASSERT_TRUE(movePointer(circleCentre()));
    ASSERT_TRUE(processEventsUntil([&] { return bubble().view()->dotsVisible(); }));
    ASSERT_TRUE(xdotool({"keydown", "ctrl", "click", "4", "keyup", "ctrl"}));
    EXPECT_TRUE(processEventsUntil([&] { return resized.size() == 2; }));
    EXPECT_NEAR(resized.back(), 253, 1e-9);
    EXPECT_EQ(bubble().frame(), Rect(216, 111, 230, 260));

    recording->setFullScreen(true);
    EXPECT_EQ(bubble().frame(), Rect(0, 0, 1280, 800));
    EXPECT_TRUE(processEventsUntil([&] { return bubbleOnScreen() == QRect(0, 0, 1280, 800); }));
    // The picture fills the screen.
    EXPECT_TRUE(processEventsUntil([&] {
        const QImage screen = grabScreen();
        return pixelsNear(screen, QRect(0, 0, 40, 40), QColor(40, 40, 200)) == 1600 &&
               pixelsNear(screen, QRect(1240, 760, 40, 40), QColor(40, 40, 200)) == 1600;
    }));
    testing::saveScreenArtifact("camera-bubble-full-screen.png");
    recording->setFullScreen(false);
    EXPECT_EQ(bubble().frame(), Rect(216, 111, 230, 260));
    EXPECT_TRUE(processEventsUntil([&] { return bubbleOnScreen() == QRect(216, 429, 230, 260); }));
}

TEST_F(CameraBubbleTest, HoveringTheDotsOpensTheMenuAndLeavingBothClosesIt) {
    int closed = 0;
    recording->setMenuActions({[&] { ++closed; },
                               [] {
                               }});
    startWithPicture(QColor(200, 120, 40));
    ASSERT_TRUE(movePointer(circleCentre()));
    ASSERT_TRUE(processEventsUntil([&] { return bubble().view()->dotsVisible(); }));
    EXPECT_FALSE(bubble().menuVisible());

    BubbleDotsButton& dots = bubble().view()->dotsButton();
    ASSERT_TRUE(movePointer(onScreen(dots)));
    ASSERT_TRUE(processEventsUntil([&] { return bubble().menuVisible(); }));
    EXPECT_FALSE(bubble().view()->dotsVisible());
    // The bar hangs 5 points below the bubble, centred under it, and at least
    // 8 points from the screen's left side.
    ASSERT_TRUE(processEventsUntil([&] { return exposed(*bubble().menuWindow()); }));
    const Rect menu = placement.toGlobal(bubble().menuWindow()->geometry());
    EXPECT_EQ(menu.minY(), bubble().frame().minY() - 5);
    EXPECT_EQ(menu.minX(), std::max(8.0, bubble().frame().midX() - menu.width() / 2));

    // On a control: its name above the bar.
    QWidget* small = bubble().menuView()->control(BubbleMenuControl::small);
    ASSERT_TRUE(movePointer(onScreen(*small)));
    ASSERT_TRUE(processEventsUntil([&] { return bubble().menuView()->hoverLabel() == "Small"; }));
    EXPECT_TRUE(bubble().menuVisible());
    EXPECT_TRUE(processEventsUntil([&] { return bubble().menuView()->labelOpacity() == 1.0; }));
    testing::saveScreenArtifact("camera-bubble-menu-open.png");

    // A click acts although the menu never takes the focus.
    ASSERT_TRUE(xdotool({"click", "1"}));
    EXPECT_TRUE(processEventsUntil([&] { return app.state->cameraBubbleSize() == 150; }));
    QWidget* turnOff = bubble().menuView()->control(BubbleMenuControl::turnOff);
    EXPECT_TRUE(testing::clickUntil(onScreen(*turnOff), [&] { return closed == 1; }));

    // Off the controls but still on the bubble: the label fades, the menu stays.
    ASSERT_TRUE(movePointer(circleCentre()));
    EXPECT_TRUE(processEventsUntil([&] { return bubble().menuView()->labelOpacity() == 0.0; }));
    EXPECT_TRUE(bubble().menuVisible());

    ASSERT_TRUE(movePointer({1200, 100}));
    EXPECT_TRUE(processEventsUntil([&] { return !bubble().menuVisible(); }));
    EXPECT_FALSE(bubble().view()->dotsVisible());
}

// A camera that cannot start hides the bubble again; one that starts but sends
// nothing shows "No video" after eight seconds, until its first frame.
TEST_F(CameraBubbleTest, NoCameraHidesTheBubbleAndNoFrameShowsNoVideo) {
    try {
        runTask(executor, recording->startPreview("cam-gone", false, 1));
        ADD_FAILURE() << "started";
    } catch (const RecorderError& e) {
        EXPECT_STREQ(e.what(), "No camera available");
    }
    EXPECT_FALSE(bubble().isShown());

    runTask(executor, recording->startPreview("cam-desk", false, 1));
    CameraBubbleView& view = *bubble().view();
    executor.advance(seconds(7.9));
    EXPECT_FALSE(view.showsNoVideo());
    executor.advance(seconds(0.2));
    EXPECT_TRUE(view.showsNoVideo());
    ASSERT_TRUE(processEventsUntil([&] { return exposed(*bubble().window()); }));
    testing::saveWidgetArtifact(*bubble().window(), "camera-bubble-no-video.png");

    cameras.last->deliver(solidPicture(QColor(90, 90, 90)), MediaTime(1, 1));
    ASSERT_TRUE(executor.runUntil([&] { return !view.isLoading(); }));
    EXPECT_FALSE(view.showsNoVideo());

    // Mirroring follows the setting while the camera runs.
    app.state->setCameraMirrored(true);
    executor.runUntilIdle();
    EXPECT_TRUE(recording->recorder().mirrored());
}

}  // namespace
}  // namespace tessera
