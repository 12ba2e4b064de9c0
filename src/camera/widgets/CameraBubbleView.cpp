#include "camera/widgets/CameraBubbleView.h"

#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>
#include <algorithm>

#include "camera/BubbleGeometry.h"
#include "camera/widgets/BubbleDotsButton.h"

namespace tessera {

namespace {

// One Ctrl+scroll notch changes the diameter by a tenth.
constexpr double kMagnificationPerNotch = 0.1;

// The part of an image of `imageSize` that fills `target` when scaled to
// cover it, cropped evenly on the two overflowing sides.
QRectF aspectFillSource(QSizeF imageSize, QSizeF target) {
    const double scale =
        std::max(target.width() / imageSize.width(), target.height() / imageSize.height());
    const QSizeF shown(target.width() / scale, target.height() / scale);
    return QRectF(
        QPointF((imageSize.width() - shown.width()) / 2, (imageSize.height() - shown.height()) / 2),
        shown);
}

}  // namespace

CameraBubbleView::CameraBubbleView(Executor& executor, QWidget* parent)
    : QWidget(parent), executor_(executor), dots_(new BubbleDotsButton(this)) {
    setMouseTracking(true);
    dots_->hide();
    dots_->onActivate = [this] {
        if (onDotsActivated) {
            onDotsActivated();
        }
    };
    spinner_.setStartValue(0.0);
    spinner_.setEndValue(360.0);
    spinner_.setDuration(900);
    spinner_.setLoopCount(-1);
    connect(&spinner_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    spinner_.start();
    loadingTimeout_ =
        executor_.schedule(executor_.now() + seconds(bubble::kNoVideoSeconds), [this] {
            loadingTimeout_.reset();
            if (loading_) {
                spinner_.stop();
                noVideo_ = true;
                update();
            }
        });
}

CameraBubbleView::~CameraBubbleView() {
    if (loadingTimeout_) {
        executor_.cancelTimer(*loadingTimeout_);
    }
}

void CameraBubbleView::showFrame(const VideoSample& frame) {
    if (!frame.isValid()) {
        return;
    }
    frame_ = frame;
    const PixelBuffer& pixels = *frame_.pixels;
    // B, G, R, X bytes are Qt's 0xffRRGGBB words on a little-endian machine.
    image_ = QImage(pixels.data(), pixels.width, pixels.height, pixels.bytesPerRow,
                    QImage::Format_RGB32);
    finishLoading();
    update();
}

void CameraBubbleView::finishLoading() {
    if (!loading_) {
        return;
    }
    loading_ = false;
    noVideo_ = false;
    spinner_.stop();
    if (loadingTimeout_) {
        executor_.cancelTimer(*loadingTimeout_);
        loadingTimeout_.reset();
    }
}

QRect CameraBubbleView::pictureRect() const {
    if (fullScreen_) {
        return rect();
    }
    const int d = std::min(std::max(height() - static_cast<int>(bubble::kDotsZone), 0), width());
    return QRect((width() - d) / 2, 0, d, d);
}

void CameraBubbleView::setDotsVisible(bool visible) {
    dotsVisible_ = visible;
    dots_->setVisible(visible);
}

void CameraBubbleView::setFullScreen(bool on) {
    fullScreen_ = on;
    layoutDots();
    update();
}

void CameraBubbleView::setShadow(bool on) {
    if (shadow_ != on) {
        shadow_ = on;
        update();
    }
}

void CameraBubbleView::resizeEvent(QResizeEvent*) {
    layoutDots();
}

void CameraBubbleView::layoutDots() {
    const QRect picture = pictureRect();
    const int x = (width() - dots_->width()) / 2;
    const int y = fullScreen_ ? height() - 28 - dots_->height()
                              : (picture.bottom() + 1 + height()) / 2 - dots_->height() / 2;
    dots_->move(x, y);
}

void CameraBubbleView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF picture = pictureRect();
    if (shadow_ && !fullScreen_) {
        // Layers of faint circles, each a little lower: visible in the strip
        // below the circle as a drop shadow.
        painter.setPen(Qt::NoPen);
        for (int offset = 1; offset <= 4; ++offset) {
            painter.setBrush(QColor::fromRgbF(0, 0, 0, 0.07f));
            painter.drawEllipse(picture.translated(0, offset).adjusted(offset, 0, -offset, 0));
        }
    }
    QPainterPath clip;
    if (fullScreen_) {
        clip.addRect(picture);
    } else {
        clip.addEllipse(picture);
    }
    painter.fillPath(clip, QColor::fromRgbF(0, 0, 0, fullScreen_ ? 1.0f : 0.62f));
    if (!image_.isNull()) {
        painter.save();
        painter.setClipPath(clip);
        painter.drawImage(picture, image_, aspectFillSource(image_.size(), picture.size()));
        painter.restore();
    }
    painter.setBrush(Qt::NoBrush);
    if (!fullScreen_) {
        painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.9f), 2));
        painter.drawEllipse(picture.adjusted(1, 1, -1, -1));
    }
    if (loading_ && !noVideo_) {
        const double diameter = std::clamp(0.18 * picture.height(), 18.0, 34.0);
        const double lineWidth = std::max(0.1 * diameter, 2.0);
        const QRectF ring(picture.center().x() - diameter / 2 + lineWidth / 2,
                          picture.center().y() - diameter / 2 + lineWidth / 2, diameter - lineWidth,
                          diameter - lineWidth);
        QPen pen(QColor::fromRgbF(1, 1, 1, 0.9f), lineWidth);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        const int start = static_cast<int>(-spinner_.currentValue().toDouble() * 16);
        painter.drawArc(ring, start, static_cast<int>(0.72 * 360 * 16));
    }
    if (noVideo_) {
        QFont font = painter.font();
        font.setPointSizeF(10);
        font.setWeight(QFont::Medium);
        painter.setFont(font);
        painter.setPen(QColor::fromRgbF(1, 1, 1, 0.8f));
        const QRectF line(picture.left() + 6, picture.center().y() - 7,
                          std::max(picture.width() - 12, 0.0), 14);
        painter.drawText(line, Qt::AlignCenter, QStringLiteral("No video"));
    }
}

void CameraBubbleView::enterEvent(QEnterEvent*) {
    if (onHoverChanged) {
        onHoverChanged();
    }
}

void CameraBubbleView::leaveEvent(QEvent*) {
    if (onHoverChanged) {
        onHoverChanged();
    }
}

void CameraBubbleView::mousePressEvent(QMouseEvent* event) {
    if (fullScreen_ || event->button() != Qt::LeftButton) {
        return;
    }
    dragging_ = true;
    if (onDrag) {
        onDrag(DragPhase::began, event->globalPosition().toPoint());
    }
}

void CameraBubbleView::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        if (onDrag) {
            onDrag(DragPhase::moved, event->globalPosition().toPoint());
        }
        return;
    }
    // Hovering the dots opens the menu, also when the pointer came from the
    // circle without crossing the button's edge events.
    if (dotsVisible_ && dots_->geometry().contains(event->position().toPoint()) &&
        onDotsActivated) {
        onDotsActivated();
    }
}

void CameraBubbleView::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragging_) {
        return;
    }
    dragging_ = false;
    if (onDrag) {
        onDrag(DragPhase::ended, event->globalPosition().toPoint());
    }
}

void CameraBubbleView::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        event->ignore();
        return;
    }
    requestResize(event->angleDelta().y() / 120.0 * kMagnificationPerNotch);
    event->accept();
}

bool CameraBubbleView::event(QEvent* event) {
    if (event->type() == QEvent::NativeGesture) {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            requestResize(gesture->value());
            return true;
        }
    }
    return QWidget::event(event);
}

void CameraBubbleView::requestResize(double magnification) {
    if (fullScreen_ || !onResizeRequested) {
        return;
    }
    if (auto size = bubble::pinchedSize(window()->width(), magnification)) {
        onResizeRequested(*size);
    }
}

}  // namespace tessera
