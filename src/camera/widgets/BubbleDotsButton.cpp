#include "camera/widgets/BubbleDotsButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "camera/BubbleGeometry.h"

namespace tessera {

BubbleDotsButton::BubbleDotsButton(QWidget* parent) : QWidget(parent) {
    setFixedSize(static_cast<int>(bubble::kDotsButtonSize.width),
                 static_cast<int>(bubble::kDotsButtonSize.height));
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(QStringLiteral("Camera menu"));
    setAttribute(Qt::WA_Hover);
}

void BubbleDotsButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF pill = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath path;
    path.addRoundedRect(pill, pill.height() / 2, pill.height() / 2);
    painter.fillPath(path, QColor::fromRgbF(0, 0, 0, hovered_ ? 0.92f : 0.72f));
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.25f), 1));
    painter.drawPath(path);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    const QPointF centre = QRectF(rect()).center();
    constexpr double kDot = 3.5;
    for (double dx : {-6.5, 0.0, 6.5}) {
        painter.drawEllipse(QPointF(centre.x() + dx, centre.y()), kDot / 2, kDot / 2);
    }
}

void BubbleDotsButton::enterEvent(QEnterEvent*) {
    hovered_ = true;
    update();
    activate();
}

void BubbleDotsButton::leaveEvent(QEvent*) {
    hovered_ = false;
    update();
}

void BubbleDotsButton::mousePressEvent(QMouseEvent* event) {
    // Taken here, so the bubble beneath does not start a drag.
    event->accept();
    activate();
}

void BubbleDotsButton::activate() {
    if (onActivate) {
        onActivate();
    }
}

}  // namespace tessera
