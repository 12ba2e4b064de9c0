#include "overlays/widgets/CountdownWindow.h"

#include <QFont>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace tessera::overlays {

namespace {
// The purple of the progress ring.
const QColor kProgressColor(175, 82, 222);
constexpr int kMargin = 6;
constexpr int kRingInset = 12;
}  // namespace

CountdownWindow::CountdownWindow(Countdown& countdown, const DisplayPlacement& placement)
    : FloatingWindow(FocusPolicy::whenAsked), countdown_(countdown), placement_(placement) {
    setAccessibleName(QStringLiteral("Countdown"));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void CountdownWindow::open(std::uint32_t displayID, int count) {
    count_ = count;
    progress_ = 0;
    const Rect display = placement_.frame(displayID, FrameKind::whole);
    const Rect frame(display.midX() - kSide / 2.0, display.midY() - kSide / 2.0, kSide, kSide);
    setGeometry(placement_.toQt(frame));
    setVisibleShape(
        QRegion(kMargin, kMargin, kSide - 2 * kMargin, kSide - 2 * kMargin, QRegion::Ellipse));
    show();
    takeFocus();
}

void CountdownWindow::showProgress(int count, double progress) {
    if (count == count_ && progress == progress_) {
        return;
    }
    count_ = count;
    progress_ = progress;
    update();
}

void CountdownWindow::dismiss() {
    hide();
    // The window belongs to the countdown, which drops it after this call.
}

void CountdownWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

    const QRectF disc = QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -kMargin);
    painter.setPen(Qt::NoPen);
    // Opaque black without a compositor: a translucent fill would only show
    // the window's undefined background.
    painter.setBrush(QColor(0, 0, 0, compositorRunning() ? 140 : 255));
    painter.drawEllipse(disc);

    const QRectF ring = disc.adjusted(kRingInset, kRingInset, -kRingInset, -kRingInset);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 38), 5));
    painter.drawEllipse(ring);
    if (progress_ > 0) {
        QPen arc(kProgressColor, 5);
        arc.setCapStyle(Qt::RoundCap);
        painter.setPen(arc);
        // From the top, clockwise; Qt counts sixteenths of a degree,
        // counter-clockwise.
        painter.drawArc(ring, 90 * 16, -static_cast<int>(progress_ * 360 * 16));
    }

    QFont number = font();
    number.setPixelSize(108);
    number.setBold(true);
    painter.setFont(number);
    painter.setPen(Qt::white);
    const QRectF numberBox(disc.left(), disc.top() + 30, disc.width(), 130);
    painter.drawText(numberBox, Qt::AlignCenter, QString::number(count_));

    QFont hint = font();
    hint.setPixelSize(11);
    hint.setWeight(QFont::Medium);
    painter.setFont(hint);
    painter.setPen(QColor(255, 255, 255, 166));
    const QRectF hintBox(disc.left(), numberBox.bottom() + 2, disc.width(), 18);
    painter.drawText(hintBox, Qt::AlignCenter, QStringLiteral("Click to skip · Esc to cancel"));
}

void CountdownWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
            countdown_.skip();
            return;
        case Qt::Key_Escape:
            countdown_.cancel();
            return;
        default:
            FloatingWindow::keyPressEvent(event);
    }
}

void CountdownWindow::mousePressEvent(QMouseEvent*) {
    countdown_.skip();
}

}  // namespace tessera::overlays
