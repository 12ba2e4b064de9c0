#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/ControllerPorts.h"
#include "overlays/PenStrokes.h"
#include "overlays/widgets/FloatingWindow.h"

namespace tessera::overlays {

class PenCanvasWindow;

// The pen overlay of a display recording: a window over the whole display
// that lets every click through until draw mode is on, then takes the pointer
// and draws glowing strokes that fade by themselves (PenStrokes), shows short
// banners at the top, and leaves draw mode on Esc. It follows changes of the
// display's geometry. Main thread only.
class PenOverlay final : public DrawingOverlay {
  public:
    // `executor` runs the fade and banner timers; it and `placement` must
    // outlive the overlay.
    PenOverlay(Executor& executor, const DisplayPlacement& placement);
    ~PenOverlay() override;

    void setOnExitDrawMode(std::function<void()> action) override;
    void setPenColor(const RgbaColor& stroke, const RgbaColor& glow) override;
    void show(std::uint32_t displayID) override;
    void setDrawMode(bool on) override;
    void showBanner(const std::string& text) override;
    std::optional<std::uint32_t> windowID() const override;
    void orderFront() override;
    void close() override;

    // For tests and the benchmark.
    PenCanvasWindow* window() const { return window_.get(); }
    const PenStrokes& strokes() const { return strokes_; }
    bool drawMode() const { return drawMode_; }

  private:
    void watchScreens();
    void watchScreen(QScreen* screen);
    void followDisplay();
    void exitRequested();

    Executor& executor_;
    const DisplayPlacement& placement_;
    PenStrokes strokes_;
    std::unique_ptr<PenCanvasWindow> window_;
    std::optional<std::uint32_t> displayID_;
    // The screen-configuration signals the overlay follows while shown.
    std::vector<QMetaObject::Connection> screenWatches_;
    std::function<void()> onExitDrawMode_;
    bool drawMode_ = false;
};

// The overlay's window: paints the strokes and the banner of its PenStrokes
// and feeds pointer input to them.
class PenCanvasWindow final : public FloatingWindow {
  public:
    PenCanvasWindow(PenStrokes& strokes, std::function<void()> onEscape);

    // Passes clicks through (off) or takes the pointer and the keys (on).
    void setDrawing(bool on);
    bool isDrawing() const { return drawing_; }
    // Repaints after a change of the strokes; reshapes without a compositor.
    void refresh();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void exposed() override;

  private:
    QRegion drawnRegion() const;

    PenStrokes& strokes_;
    std::function<void()> onEscape_;
    bool drawing_ = false;
    bool composited_ = false;
    // Repaints while a stroke or the banner fades.
    QTimer animation_;
    // What the last refresh showed, to repaint only the growing end of a
    // stroke while nothing else changed.
    std::size_t paintedFinished_ = 0;
    std::optional<std::string> paintedBanner_;
};

}  // namespace tessera::overlays
