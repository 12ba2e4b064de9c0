// The main of every Qt test executable: one private X server with a window
// manager for the whole executable, and one QApplication on it.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <cstdlib>
#include <memory>

#include "QtTestEnvironment.h"
#include "XvfbSession.h"

#ifndef TESSERA_TEST_ARTIFACTS_DIR
#define TESSERA_TEST_ARTIFACTS_DIR "test-artifacts"
#endif

namespace tessera::testing {

namespace {
std::string gDisplay;
}

const std::string& qtTestDisplay() {
    return gDisplay;
}

bool processEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeout.count()) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

std::filesystem::path testArtifactPath(const std::string& name) {
    const std::filesystem::path dir(TESSERA_TEST_ARTIFACTS_DIR);
    std::filesystem::create_directories(dir);
    return dir / name;
}

QImage saveScreenArtifact(const std::string& name) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QImage picture = screen->grabWindow(0).toImage();
    picture.save(QString::fromStdString(testArtifactPath(name).string()), "PNG");
    return picture;
}

QImage saveWidgetArtifact(const QWidget& widget, const std::string& name) {
    QScreen* screen = widget.screen() ? widget.screen() : QGuiApplication::primaryScreen();
    const QRect frame = widget.frameGeometry();
    const QImage picture =
        screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).toImage();
    picture.save(QString::fromStdString(testArtifactPath(name).string()), "PNG");
    return picture;
}

}  // namespace tessera::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest's discovery) needs no X server.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0) {
            return RUN_ALL_TESTS();
        }
    }
    tessera::testing::XvfbSession::Options options;
    options.width = 1280;
    options.height = 800;
    auto xvfb = std::make_unique<tessera::testing::XvfbSession>(options);
    tessera::testing::gDisplay = xvfb->display();
    setenv("DISPLAY", xvfb->display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("WAYLAND_DISPLAY");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const int result = RUN_ALL_TESTS();
    return result;
}
