#pragma once

// Helpers of the overlay window tests on the test's X server.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <string>
#include <vector>

#include "app/DiscoveryPorts.h"
#include "overlays/widgets/FloatingWindow.h"
#include "platform/x11/XcbConnection.h"
#include "support/QtTestEnvironment.h"

namespace tessera::testing {

// The test server's one screen as display 1, the main display.
class TestDisplays final : public DisplaySource {
  public:
    std::vector<MonitorInfo> monitors() override {
        QScreen* screen = QGuiApplication::primaryScreen();
        const Rect frame(0, 0, screen->geometry().width(), screen->geometry().height());
        return {{1, screen->name().toStdString(), frame, frame, true}};
    }
    std::uint32_t mainDisplayID() override { return 1; }
};

// Runs xdotool with these arguments on the test display; true on success.
inline bool xdotool(const QStringList& arguments) {
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

// Where `local` of `widget` is on the screen as the X server has it: Qt's
// mapToGlobal() can lag behind the window manager on a busy machine.
inline QPoint onScreen(const QWidget& widget, QPoint local) {
    XcbConnection x(qtTestDisplay());
    const auto window = static_cast<xcb_window_t>(widget.window()->winId());
    XcbReply<xcb_translate_coordinates_reply_t> reply(xcb_translate_coordinates_reply(
        x.get(), xcb_translate_coordinates(x.get(), window, x.root(), 0, 0), nullptr));
    const QPoint origin = reply ? QPoint(reply->dst_x, reply->dst_y) : QPoint();
    return origin + widget.mapTo(widget.window(), local);
}

// The frame of a top-level window as the X server has it.
inline QRect serverFrame(const QWidget& window) {
    XcbConnection x(qtTestDisplay());
    XcbReply<xcb_get_geometry_reply_t> size(xcb_get_geometry_reply(
        x.get(), xcb_get_geometry(x.get(), static_cast<xcb_window_t>(window.winId())), nullptr));
    return size ? QRect(onScreen(window, {0, 0}), QSize(size->width, size->height)) : QRect();
}

// Clicks at `global` until `received` holds, at most 10 times: a window that
// has just been mapped may not get the first click.
inline bool clickUntil(QPoint global, const std::function<bool()>& received) {
    for (int i = 0; i < 10; ++i) {
        if (!xdotool({"mousemove", QString::number(global.x()), QString::number(global.y()),
                      "click", "1"})) {
            return false;
        }
        if (processEventsUntil(received, std::chrono::milliseconds(1000))) {
            return true;
        }
    }
    return false;
}

// xcompmgr on the test display while it lives (from and to the moment it
// owns its selection).
class Compositor {
  public:
    Compositor() {
        pid_ = fork();
        if (pid_ == 0) {
            execlp("xcompmgr", "xcompmgr", static_cast<char*>(nullptr));
            _exit(127);
        }
        running_ = processEventsUntil([] { return overlays::FloatingWindow::compositorRunning(); },
                                      std::chrono::seconds(10));
    }
    ~Compositor() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            processEventsUntil([] { return !overlays::FloatingWindow::compositorRunning(); },
                               std::chrono::seconds(10));
        }
    }
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;
    bool running() const { return running_; }

  private:
    pid_t pid_ = -1;
    bool running_ = false;
};

// An opaque window that counts the left clicks it receives.
class ClickTarget final : public QWidget {
  public:
    explicit ClickTarget(QColor colour) {
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, colour);
        setPalette(p);
    }
    int clicks = 0;

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        clicks += event->button() == Qt::LeftButton ? 1 : 0;
    }
};

// Whether the widget is on screen and the window manager has mapped it.
inline bool exposed(const QWidget& widget) {
    return widget.isVisible() && widget.windowHandle() && widget.windowHandle()->isExposed();
}

// The number of pixels in `area` of `picture` that are close to `colour`.
inline int pixelsNear(const QImage& picture, const QRect& area, QColor colour, int tolerance = 40) {
    int count = 0;
    const QRect clipped = area.intersected(picture.rect());
    for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
        for (int x = clipped.left(); x <= clipped.right(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            count += std::abs(c.red() - colour.red()) <= tolerance &&
                     std::abs(c.green() - colour.green()) <= tolerance &&
                     std::abs(c.blue() - colour.blue()) <= tolerance;
        }
    }
    return count;
}

inline QImage grabScreen() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

}  // namespace tessera::testing
