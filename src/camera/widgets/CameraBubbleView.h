#pragma once

#include <QImage>
#include <QVariantAnimation>
#include <QWidget>
#include <functional>

#include "media/MediaSample.h"
#include "support/Executor.h"

namespace tessera {

class BubbleDotsButton;

// The content of the camera bubble window: the camera picture in a circle
// (or filling the window in full screen), a spinner until the first frame
// and "No video" when none has come 8 seconds after creation (on the
// executor's clock), and the dots button in the strip below the circle.
//
// It reports what the user does and leaves the window to the bubble:
// entering or leaving it, moving onto the visible dots, dragging (press,
// moves and release, in global window-system pixels), and resize requests by
// Ctrl+scroll or a pinch. Main thread.
class CameraBubbleView final : public QWidget {
  public:
    enum class DragPhase { began, moved, ended };

    CameraBubbleView(Executor& executor, QWidget* parent = nullptr);
    ~CameraBubbleView() override;

    std::function<void()> onHoverChanged;
    std::function<void()> onDotsActivated;
    std::function<void(double diameter)> onResizeRequested;
    std::function<void(DragPhase, QPoint globalPosition)> onDrag;

    // Shows a camera frame; the first one ends the loading state.
    void showFrame(const VideoSample& frame);

    void setDotsVisible(bool visible);
    bool dotsVisible() const { return dotsVisible_; }
    void setFullScreen(bool on);
    // A soft shadow under the circle; only where the window is composited,
    // since a shaped window cannot show it.
    void setShadow(bool on);
    bool isFullScreen() const { return fullScreen_; }

    bool isDragging() const { return dragging_; }
    bool isLoading() const { return loading_; }
    bool showsNoVideo() const { return noVideo_; }
    // The circle (or, in full screen, the whole view) in view coordinates.
    QRect pictureRect() const;
    BubbleDotsButton& dotsButton() { return *dots_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void finishLoading();
    void layoutDots();
    void requestResize(double magnification);

    Executor& executor_;
    BubbleDotsButton* dots_;
    QVariantAnimation spinner_;
    // The frame shown; the image wraps its pixels, so it keeps them alive.
    VideoSample frame_;
    QImage image_;
    bool loading_ = true;
    bool noVideo_ = false;
    std::optional<TimerId> loadingTimeout_;
    bool dotsVisible_ = false;
    bool fullScreen_ = false;
    bool shadow_ = false;
    bool dragging_ = false;
};

}  // namespace tessera
