// The pen overlay while drawing: how long from a pointer motion (injected
// through XTEST, as a mouse would send it) until the stroke's new end shows on
// the screen, and the CPU the application and the X server use while the pen
// draws at 60 motions per second for 10 seconds. Runs on a private Xvfb with
// openbox, once without and once with a compositing manager.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "overlays/widgets/FloatingWindow.h"
#include "overlays/widgets/PenOverlay.h"
#include "platform/desktop/QtMainExecutor.h"
#include "support/XvfbSession.h"

using namespace tessera;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 800;

double cpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The calling thread's CPU time: the main thread, which handles the input
// and paints (the measuring thread's polling is left out).
double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    auto seconds = [](const timeval& t) {
        return t.tv_sec + t.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class OneScreen final : public DisplaySource {
  public:
    std::vector<MonitorInfo> monitors() override {
        QScreen* screen = QGuiApplication::primaryScreen();
        const Rect frame(0, 0, screen->geometry().width(), screen->geometry().height());
        return {{1, screen->name().toStdString(), frame, frame, true}};
    }
    std::uint32_t mainDisplayID() override { return 1; }
};

// Whether the pixel at (x, y) is the pen's purple.
bool isPen(xcb_connection_t* c, xcb_window_t root, int x, int y) {
    auto* reply = xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 1, 1, ~0u),
        nullptr);
    if (!reply) {
        return false;
    }
    const std::uint8_t* p = xcb_get_image_data(reply);
    const bool pen =
        std::abs(p[2] - 175) < 40 && std::abs(p[1] - 82) < 40 && std::abs(p[0] - 222) < 40;
    std::free(reply);
    return pen;
}

struct Result {
    std::vector<double> latenciesMs;
    int missed = 0;
    double appCpu = 0;
    double serverCpu = 0;
    double wallSeconds = 0;
};

// Draws for `duration` from another thread while the Qt loop runs here.
Result draw(const std::string& display, pid_t server, std::chrono::seconds duration) {
    Result result;
    std::atomic<bool> done = false;
    std::thread mouse([&] {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        auto input = [&](std::uint8_t type, std::uint8_t detail, int x, int y) {
            xcb_test_fake_input(c, type, detail, XCB_CURRENT_TIME, root,
                                static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
            xcb_flush(c);
        };
        int x = 100;
        int y = 100;
        input(XCB_MOTION_NOTIFY, 0, x, y);
        input(XCB_BUTTON_PRESS, 1, x, y);
        const auto end = Clock::now() + duration;
        auto next = Clock::now();
        while (Clock::now() < end) {
            next += std::chrono::microseconds(16667);
            x += 4;
            if (x > kWidth - 100) {
                x = 100;
                y += 12;
                input(XCB_BUTTON_RELEASE, 1, x, y);
                input(XCB_MOTION_NOTIFY, 0, x, y);
                input(XCB_BUTTON_PRESS, 1, x, y);
                continue;
            }
            const auto sent = Clock::now();
            input(XCB_MOTION_NOTIFY, 0, x, y);
            bool shown = false;
            while (Clock::now() < next + std::chrono::milliseconds(200)) {
                if (isPen(c, root, x, y)) {
                    shown = true;
                    break;
                }
            }
            if (shown) {
                result.latenciesMs.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            } else {
                ++result.missed;
            }
            std::this_thread::sleep_until(next);
        }
        input(XCB_BUTTON_RELEASE, 1, x, y);
        xcb_disconnect(c);
        done = true;
    });
    const double appStart = threadCpuSeconds();
    const double serverStart = cpuSecondsOf(server);
    const auto wallStart = Clock::now();
    // The main thread sleeps in the event loop between events, as the
    // application's does; a loop around processEvents() would spin and count
    // its own spinning as the overlay's CPU.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done) {
            loop.quit();
        }
    });
    poll.start(20);
    loop.exec();
    mouse.join();
    result.wallSeconds = std::chrono::duration<double>(Clock::now() - wallStart).count();
    result.appCpu = threadCpuSeconds() - appStart;
    result.serverCpu = cpuSecondsOf(server) - serverStart;
    return result;
}

void report(const char* label, Result r) {
    std::sort(r.latenciesMs.begin(), r.latenciesMs.end());
    auto at = [&](double q) {
        return r.latenciesMs.empty()
                   ? 0.0
                   : r.latenciesMs[static_cast<std::size_t>(q * (r.latenciesMs.size() - 1))];
    };
    std::printf("%-18s motions %4zu (missed %d)  latency ms: median %.2f  p95 %.2f  max %.2f\n",
                label, r.latenciesMs.size(), r.missed, at(0.5), at(0.95), at(1.0));
    std::printf("%-18s CPU over %.1f s: app main thread %.0f %% of a core, X server %.0f %%\n", "",
                r.wallSeconds, 100 * r.appCpu / r.wallSeconds, 100 * r.serverCpu / r.wallSeconds);
}

}  // namespace

int main(int argc, char** argv) {
    testing::XvfbSession::Options options;
    options.width = kWidth;
    options.height = kHeight;
    testing::XvfbSession xvfb(options);
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    (void)argc;

    QtMainExecutor executor;
    OneScreen displays;
    overlays::DisplayPlacement placement(displays);

    for (bool composited : {false, true}) {
        pid_t compositor = -1;
        if (composited) {
            compositor = fork();
            if (compositor == 0) {
                execlp("xcompmgr", "xcompmgr", static_cast<char*>(nullptr));
                _exit(127);
            }
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (!overlays::FloatingWindow::compositorRunning() && Clock::now() < deadline) {
                QThread::msleep(10);
            }
        }
        {
            overlays::PenOverlay pen(executor, placement);
            pen.setPenColor({175 / 255.0, 82 / 255.0, 222 / 255.0, 1}, {1, 1, 1, 1});
            pen.show(1);
            pen.setDrawMode(true);
            QEventLoop settle;
            QTimer::singleShot(5000, &settle, &QEventLoop::quit);
            settle.exec();
            report(composited ? "with compositor" : "no compositor",
                   draw(xvfb.display(), xvfb.serverPid(), std::chrono::seconds(10)));
        }
        if (compositor > 0) {
            kill(compositor, SIGTERM);
            waitpid(compositor, nullptr, 0);
        }
    }
    return 0;
}
