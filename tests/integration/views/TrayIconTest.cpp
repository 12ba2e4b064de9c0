#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QSystemTrayIcon>

#include "ViewsFixture.h"
#include "views/TrayIcon.h"

namespace tessera::testing {
namespace {

using views::StatusIcon;
using views::TrayIcon;

// Whether the screen shows more than one colour in `rect`.
bool showsPicture(const QRect& rect) {
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
                            .toImage();
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (shot.pixel(x, y) != shot.pixel(0, 0)) {
                return true;
            }
        }
    }
    return false;
}

// Saves the tray's bar, four times enlarged, for a person to look at.
void saveTrayArtifact(const std::string& name, const QRect& bar) {
    QGuiApplication::primaryScreen()
        ->grabWindow(0, bar.x(), bar.y(), bar.width(), bar.height())
        .scaled(bar.size() * 4)
        .save(QString::fromStdString(testArtifactPath(name).string()), "PNG");
}

TEST_F(ViewsTest, TrayIconSaysWhenThereIsNoTrayAndInOneShowsThePhaseAndAClickTogglesRecordingMode) {
    EXPECT_FALSE(TrayIcon(*state, *controller).available()) << "no tray yet";

    QProcess trayer;
    trayer.start("trayer", {"--SetDockType", "true", "--edge", "top", "--align", "right",
                            "--widthtype", "pixel", "--width", "96", "--height", "24"});
    ASSERT_TRUE(trayer.waitForStarted());
    ASSERT_TRUE(processEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); },
                                   std::chrono::seconds(10)));

    TrayIcon tray(*state, *controller);
    EXPECT_TRUE(tray.available());
    const QRect bar(1280 - 96, 0, 96, 24);
    ASSERT_TRUE(processEventsUntil(
        [&] {
            // Until the tray has taken the icon in it has no place (not the
            // root window's origin, where its window waits).
            const auto geometry = tray.geometry();
            EXPECT_TRUE(!geometry || geometry->topLeft() != QPoint(0, 0));
            return geometry && showsPicture(*geometry);
        },
        std::chrono::seconds(10)));
    const QRect icon = *tray.geometry();
    saveTrayArtifact("tray-idle.png", bar);

    QProcess::execute("xdotool", {"mousemove", QString::number(icon.center().x()),
                                  QString::number(icon.center().y()), "click", "1"});
    ASSERT_TRUE(processEventsUntil([&] { return controller->recordingModeActive(); }));

    state->setCountdownEnabled(false);
    controller->start();
    executor.advance(seconds(1));
    state->setElapsed(75.9);
    ASSERT_TRUE(processEventsUntil([&] { return tray.look().icon == StatusIcon::recording; }));
    EXPECT_TRUE(tray.systemTrayIcon().toolTip().contains("01:15"));
    processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    saveTrayArtifact("tray-recording.png", bar);

    controller->pause();
    ASSERT_TRUE(processEventsUntil([&] { return tray.look().icon == StatusIcon::paused; }));
    EXPECT_TRUE(tray.systemTrayIcon().toolTip().startsWith("Paused"));
    processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
    saveTrayArtifact("tray-paused.png", bar);

    trayer.terminate();
    trayer.waitForFinished();
}

}  // namespace
}  // namespace tessera::testing
