#pragma once

// A real CaptureController on the controller doubles and virtual time, with a
// real AppState whose settings live in a file of a temporary folder. The
// views under test are shown on the executable's private X server.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <memory>

#include "app/JsonFileSettingsStore.h"
#include "support/QtTestEnvironment.h"
#include "support/TempDir.h"
#include "unit/capture/ControllerDoubles.h"

namespace tessera::testing {

class ViewsTest : public ::testing::Test {
  protected:
    using Kind = RecorderPhase::Kind;

    ViewsTest() {
        state = std::make_unique<AppState>(store, permission, relauncher, 1);
        controller = std::make_unique<CaptureController>(
            *state,
            CaptureControllerPorts{executor, hotKeys, windows, meter, sequence, share,
                                   notifications, cameras, access},
            1);
    }

    ~ViewsTest() override {
        spawn(executor, controller->shutdown());
        executor.runUntilIdle();
    }

    // Brings the controller into a phase the way a user would get there.
    void enter(Kind target) {
        switch (target) {
            case Kind::idle:
                return;
            case Kind::countingDown:
                state->setCountdownEnabled(true);
                controller->start();
                executor.runUntilIdle();
                return;
            case Kind::preparing:
                state->setCountdownEnabled(false);
                controller->start();
                executor.runUntilIdle();
                return;
            case Kind::recording:
                state->setCountdownEnabled(false);
                controller->start();
                executor.advance(seconds(1));
                return;
            case Kind::paused:
                enter(Kind::recording);
                controller->pause();
                return;
            case Kind::finishing:
                enter(Kind::recording);
                spawn(executor, controller->stop());
                executor.runUntilIdle();
                return;
            case Kind::done: {
                enter(Kind::recording);
                auto stop = spawn(executor, controller->stop());
                for (int i = 0; i < 600 && !stop.isDone(); ++i) {
                    executor.advance(seconds(0.1));
                }
                return;
            }
            case Kind::error:
                sequence.prepareFailure =
                    std::make_exception_ptr(std::runtime_error("The server refused the upload."));
                state->setCountdownEnabled(false);
                controller->start();
                executor.advance(seconds(2));
                return;
        }
    }

    // The visible button of `root` with that text.
    static QAbstractButton* button(QWidget& root, const QString& text) {
        for (QAbstractButton* candidate : root.findChildren<QAbstractButton*>()) {
            // Buttons show a literal "&" as "&&".
            if (QString(candidate->text()).replace("&&", "&") == text && candidate->isVisible()) {
                return candidate;
            }
        }
        return nullptr;
    }

    // Waits until the window manager has mapped the window and Qt has painted it.
    static bool waitShown(QWidget& window) {
        return processEventsUntil([&] {
            return window.isVisible() && window.windowHandle() &&
                   window.windowHandle()->isExposed();
        });
    }

    // Saves what the screen shows of a frameless window. Its geometry is
    // used, not the frame geometry: the frame extents Qt reads from the window
    // manager just after mapping are sometimes a 1 × 1 placeholder.
    static QImage saveWindowPicture(const QWidget& window, const std::string& name) {
        const QRect area = window.geometry();
        const QImage picture = QGuiApplication::primaryScreen()
                                   ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                                   .toImage();
        picture.save(QString::fromStdString(testArtifactPath(name).string()), "PNG");
        return picture;
    }

    TempDir folder;
    JsonFileSettingsStore store{folder.path() / "settings.json"};
    ManualExecutor executor;
    FixedScreenPermission permission;
    NoRelaunch relauncher;
    RequestLog log;
    FakeHotKeys hotKeys;
    FakeWindows windows;
    FakeMicMeter meter;
    FakeStartSequence sequence{log};
    FakeShare share;
    FakeNotifications notifications;
    FakeCameraFactory cameras;
    FakeDeviceAccess access;
    std::unique_ptr<AppState> state;
    std::unique_ptr<CaptureController> controller;
};

}  // namespace tessera::testing
