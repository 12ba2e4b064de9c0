#include <QGuiApplication>
#include <QKeySequence>
#include <QScreen>

#include "ViewsFixture.h"
#include "views/MainPanelWindow.h"

namespace tessera::testing {
namespace {

using views::MainPanelPorts;
using views::MainPanelWindow;
using views::MenuView;

// A tray icon at the top of the 1280 × 800 screen.
const QRect kIcon(900, 0, 24, 24);

class MainPanelTest : public ViewsTest {
  protected:
    void SetUp() override {
        ViewsTest::SetUp();
        MainPanelPorts ports{.executor = executor, .share = &share};
        ports.checkServer = [this]() -> Task<void> {
            ++checks;
            co_return;
        };
        ports.anchorGeometry = [] {
            return std::optional(kIcon);
        };
        panelWindow = std::make_shared<MainPanelWindow>(*state, *controller, std::move(ports));
        controller->setMainPanel(panelWindow);
    }
    void TearDown() override {
        ViewsTest::TearDown();
        panelWindow.reset();
    }

    QWidget& window() { return panelWindow->window(); }

    // Ends the session the way a user would, whatever phase it is in.
    void backToIdle() {
        for (int step = 0; step < 10 && !state->phase().is(Kind::idle); ++step) {
            switch (state->phase().kind()) {
                case Kind::done:
                    controller->acknowledgeDone();
                    break;
                case Kind::error:
                    controller->dismissError();
                    break;
                case Kind::finishing:
                    break;
                default:
                    spawn(executor, controller->cancel());
                    break;
            }
            executor.advance(seconds(30));
        }
        ASSERT_EQ(state->phase().kind(), Kind::idle);
    }

    // Shows the panel in the current phase and waits until it shows `view`.
    void showIn(MenuView view) {
        panelWindow->show();
        ASSERT_TRUE(processEventsUntil([&] { return panelWindow->currentView() == view; }));
        ASSERT_TRUE(waitShown(window()));
        processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
    }

    int checks = 0;
    std::shared_ptr<MainPanelWindow> panelWindow;
};

TEST_F(MainPanelTest, EachPhaseShowsItsViewUnderTheIconInsideTheScreen) {
    struct Case {
        Kind phase;
        MenuView view;
        const char* picture;
        QString mustShow;
        // Checks of the view beyond its main button, on the shown panel.
        std::function<void()> more;
    };
    const auto doneWithLocalCopy = [&] {
        EXPECT_EQ(button(window(), "Show in Folder"), nullptr) << "offered without a copy";
        const QString path = "/home/user/Videos/Tessera Recorder/Recording.mp4";
        state->setLocalCopyPath(path.toStdString());
        ASSERT_TRUE(processEventsUntil([&] { return button(window(), "Show in Folder"); }));
        EXPECT_TRUE(showsLabel(window(), "Saved a local copy: " + path));
        processEventsUntil([] { return false; }, std::chrono::milliseconds(50));
        saveWindowPicture(window(), "panel-done-local-copy.png");
    };
    const auto errorRetryAndDismiss = [&] {
        state->setCanRetryFinalize(false);
        EXPECT_TRUE(processEventsUntil([&] { return !button(window(), "Retry finalize"); }));
        state->setCanRetryFinalize(true);
        EXPECT_TRUE(processEventsUntil([&] { return button(window(), "Retry finalize"); }));
        button(window(), "Dismiss")->click();
        EXPECT_EQ(state->phase().kind(), Kind::idle);
        EXPECT_TRUE(
            processEventsUntil([&] { return panelWindow->currentView() == MenuView::idle; }));
    };
    const Case cases[] = {
        {Kind::idle, MenuView::idle, "panel-idle.png", "Start recording", {}},
        {Kind::countingDown, MenuView::starting, "panel-countdown.png", "Cancel", {}},
        {Kind::recording, MenuView::recording, "panel-recording.png", "Stop & get link", {}},
        {Kind::paused, MenuView::recording, "panel-paused.png", "Resume", {}},
        {Kind::finishing, MenuView::finishing, "panel-finishing.png", "", {}},
        {Kind::done, MenuView::done, "panel-done.png", "New recording", doneWithLocalCopy},
        {Kind::error, MenuView::error, "panel-error.png", "Dismiss", errorRetryAndDismiss},
    };
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    // The placement rule's answer, through the window manager.
    const QPoint expected(kIcon.x() + kIcon.width() / 2 - MainPanelWindow::kWidth / 2,
                          kIcon.bottom() + 1 + 6);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.picture);
        enter(c.phase);
        ASSERT_EQ(state->phase().kind(), c.phase);
        showIn(c.view);
        processEventsUntil([&] { return window().geometry().topLeft() == expected; });
        EXPECT_EQ(window().geometry().topLeft(), expected);
        EXPECT_TRUE(screen.contains(window().geometry()));
        if (!c.mustShow.isEmpty()) {
            EXPECT_NE(button(window(), c.mustShow), nullptr);
        }
        // Texts show as written: an "&" in them must not turn into a mnemonic.
        for (QAbstractButton* shown : window().findChildren<QAbstractButton*>()) {
            EXPECT_TRUE(QKeySequence::mnemonic(shown->text()).isEmpty())
                << shown->text().toStdString();
        }
        saveWindowPicture(window(), c.picture);
        if (c.more) {
            c.more();
        }
        panelWindow->hide();
        backToIdle();
    }
}

// The idle view from a click on the icon to a started recording: the server
// is checked while the view is shown, notes open, and an unreachable server
// disables the start.
TEST_F(MainPanelTest, TheIdleViewChecksTheServerAndStarts) {
    controller->statusItemToggled();  // opens the panel, as a click on the icon does
    ASSERT_TRUE(waitShown(window()));
    executor.runUntilIdle();
    EXPECT_EQ(checks, 1);
    EXPECT_TRUE(panelWindow->isPolling());
    // The next check comes from the panel's own timer.
    EXPECT_TRUE(processEventsUntil(
        [&] {
            executor.runUntilIdle();
            return checks >= 2;
        },
        std::chrono::seconds(10)));

    const int closedHeight = window().geometry().height();
    button(window(), "Notes")->click();
    ASSERT_TRUE(processEventsUntil([&] { return window().geometry().height() > closedHeight; }));
    processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    saveWindowPicture(window(), "panel-idle-notes.png");

    state->setServerReachable(false);
    ASSERT_TRUE(
        processEventsUntil([&] { return !button(window(), "Start recording")->isEnabled(); }));
    EXPECT_TRUE(showsLabel(window(), "⚠ Server unreachable — start the Tessera web app first"));
    saveWindowPicture(window(), "panel-idle-unreachable.png");
    state->setServerReachable(std::nullopt);
    ASSERT_TRUE(
        processEventsUntil([&] { return button(window(), "Start recording")->isEnabled(); }));

    state->setCountdownEnabled(false);
    button(window(), "Start recording")->click();
    executor.advance(seconds(1));
    EXPECT_EQ(sequence.prepares, 1);
    EXPECT_EQ(state->phase().kind(), Kind::recording);
    // Starting takes the panel away; a click on the icon brings it back with
    // the recording view, which does not check the server.
    EXPECT_TRUE(processEventsUntil([&] { return !panelWindow->isVisible(); }));
    EXPECT_FALSE(panelWindow->isPolling());
    controller->statusItemToggled();
    EXPECT_TRUE(
        processEventsUntil([&] { return panelWindow->currentView() == MenuView::recording; }));
    EXPECT_FALSE(panelWindow->isPolling());
    button(window(), "Pause")->click();
    EXPECT_EQ(state->phase().kind(), Kind::paused);
}

}  // namespace
}  // namespace tessera::testing
