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

    // A countdown that does not end by itself, once it has the focus.
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

TEST_F(CountdownWindowTest, EscapeCancelsReturnOrAClickSkipsAndCancellingTheTaskRemovesIt) {
    auto run = start();
    saveScreenArtifact("countdown.png");
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

}  // namespace
}  // namespace tessera::testing
