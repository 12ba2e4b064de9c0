#include <gtest/gtest.h>

#include <QApplication>

#include "OverlayTestSupport.h"
#include "overlays/Countdown.h"
#include "overlays/widgets/QtWindowFactory.h"
#include "platform/desktop/QtMainExecutor.h"

namespace tessera::testing {
namespace {

QWidget* countdownWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->accessibleName() == QLatin1String("Countdown") && widget->isVisible()) {
            return widget;
        }
    }
    return nullptr;
}

class CountdownWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        backdrop.setGeometry(QGuiApplication::primaryScreen()->geometry());
        backdrop.show();
        ASSERT_TRUE(processEventsUntil([&] { return exposed(backdrop); }));
        countdown->setOnCancel([this] { ++cancels; });
    }

    // Shows a countdown long enough never to end by itself in a test, and
    // waits until it has the keyboard focus.
    TaskHandle<void> start() {
        countdown->show(1, 60);
        auto run = spawn(executor, countdown->run(60));
        EXPECT_TRUE(processEventsUntil([] {
            QWidget* window = countdownWindow();
            return window && window->isActiveWindow();
        }));
        return run;
    }

    QtMainExecutor executor;
    TestDisplays displays;
    overlays::QtWindowFactory factory{executor, displays};
    std::unique_ptr<CountdownOverlay> countdown = factory.makeCountdown();
    ClickTarget backdrop{QColor(40, 140, 70)};
    int cancels = 0;
};

// One countdown window shown three times: Esc asks to cancel, Return and a
// click skip, and cancelling the task that waits for it removes it.
TEST_F(CountdownWindowTest, EscapeCancelsReturnOrAClickSkipsAndCancellingTheTaskRemovesIt) {
    auto run = start();
    ASSERT_TRUE(xdotool({"key", "Escape"}));
    ASSERT_TRUE(processEventsUntil([&] { return cancels == 1; }));
    EXPECT_FALSE(run.isDone()) << "Esc is not a skip";
    ASSERT_TRUE(xdotool({"key", "Return"}));
    ASSERT_TRUE(processEventsUntil([&] { return run.isDone(); }, std::chrono::seconds(20)))
        << "Return skips";
    EXPECT_NO_THROW(run.result());
    EXPECT_EQ(countdownWindow(), nullptr);

    run = start();
    const QPoint centre = QGuiApplication::primaryScreen()->geometry().center();
    ASSERT_TRUE(clickUntil(centre, [&] { return run.isDone(); })) << "a click skips";
    EXPECT_NO_THROW(run.result());
    EXPECT_EQ(cancels, 1);

    run = start();
    run.cancel();
    ASSERT_TRUE(processEventsUntil([&] { return run.isDone(); }));
    EXPECT_THROW(run.result(), CancelledError);
    EXPECT_EQ(countdownWindow(), nullptr) << "cancelled";
}

TEST_F(CountdownWindowTest, ADarkDiscInTheMiddleWithTheDesktopAroundItUntilTheTimeIsUp) {
    auto& timing = dynamic_cast<overlays::Countdown&>(*countdown);
    countdown->show(1, 3);
    auto run = spawn(executor, countdown->run(3));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect window(screen.center() - QPoint(120, 120), QSize(240, 240));
    ASSERT_TRUE(
        processEventsUntil([&] { return timing.progress() > 0.4; }, std::chrono::seconds(20)));
    ASSERT_TRUE(processEventsUntil([&] {
        const QImage picture = grabScreen();
        return pixelsNear(picture, QRect(window.center() - QPoint(70, 0), QSize(4, 4)), Qt::black,
                          50) == 16 &&
               pixelsNear(picture, QRect(window.topLeft(), QSize(6, 6)), QColor(40, 140, 70)) == 36;
    })) << "the disc at the centre, the backdrop in the window's corner";
    saveScreenArtifact("countdown.png");
    ASSERT_TRUE(processEventsUntil([&] { return run.isDone(); }, std::chrono::seconds(20)));
    EXPECT_NO_THROW(run.result());
    EXPECT_EQ(countdownWindow(), nullptr);
}

}  // namespace
}  // namespace tessera::testing
