#pragma once

// The views on a real CaptureController with the controller tests' doubles
// and virtual time, shown on the private X server.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include "support/QtTestEnvironment.h"
#include "unit/capture/ControllerFixture.h"

namespace tessera::testing {

class ViewsTest : public ControllerTest {
  protected:
    void TearDown() override {
        spawn(executor, controller->shutdown());
        executor.runUntilIdle();
    }

    // The visible button of `root` with that text (buttons show "&" as "&&").
    static QAbstractButton* button(QWidget& root, const QString& text) {
        for (QAbstractButton* candidate : root.findChildren<QAbstractButton*>()) {
            if (QString(candidate->text()).replace("&&", "&") == text && candidate->isVisible()) {
                return candidate;
            }
        }
        return nullptr;
    }

    // Whether a visible label of `root` shows exactly `text`.
    static bool showsLabel(QWidget& root, const QString& text) {
        const auto labels = root.findChildren<QLabel*>();
        return std::ranges::any_of(
            labels, [&](QLabel* label) { return label->isVisible() && label->text() == text; });
    }

    // Waits until the window manager has mapped the window and Qt has painted it.
    static bool waitShown(QWidget& window) {
        return processEventsUntil([&] {
            return window.isVisible() && window.windowHandle() &&
                   window.windowHandle()->isExposed();
        });
    }

    // Saves what the screen shows of a frameless window by its geometry: the
    // frame extents Qt reads just after mapping can be a 1 × 1 placeholder.
    static void saveWindowPicture(const QWidget& window, const std::string& name) {
        const QRect area = window.geometry();
        QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(QString::fromStdString(testArtifactPath(name).string()), "PNG");
    }
};

}  // namespace tessera::testing
