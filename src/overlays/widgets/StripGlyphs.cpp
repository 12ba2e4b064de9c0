#include "overlays/widgets/StripGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

namespace tessera::overlays {

namespace {

// An open arc around `c` from `startDegrees` over `spanDegrees`
// (counter-clockwise positive, 0 at three o'clock) with an arrow head at its
// end.
void arcWithArrow(QPainter& p, QPointF c, double r, double startDegrees, double spanDegrees,
                  double head) {
    const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
    p.drawArc(circle, static_cast<int>(startDegrees * 16), static_cast<int>(spanDegrees * 16));
    const double end = (startDegrees + spanDegrees) * M_PI / 180;
    const QPointF tip(c.x() + r * std::cos(end), c.y() - r * std::sin(end));
    // The tangent in the direction of travel.
    const double sign = spanDegrees > 0 ? 1 : -1;
    const QPointF along(-std::sin(end) * sign, -std::cos(end) * sign);
    const QPointF normal(along.y(), -along.x());
    QPolygonF arrow{tip + along * head, tip + normal * head * 0.8, tip - normal * head * 0.8};
    p.save();
    p.setBrush(p.pen().color());
    p.setPen(Qt::NoPen);
    p.drawPolygon(arrow);
    p.restore();
}

void slash(QPainter& p, const QRectF& b) {
    p.drawLine(QPointF(b.left() + b.width() * 0.12, b.top() + b.height() * 0.1),
               QPointF(b.right() - b.width() * 0.12, b.bottom() - b.height() * 0.05));
}

void microphone(QPainter& p, const QRectF& b) {
    const double w = b.width();
    const double h = b.height();
    const QRectF capsule(b.center().x() - w * 0.17, b.top(), w * 0.34, h * 0.58);
    p.save();
    p.setBrush(p.pen().color());
    p.drawRoundedRect(capsule, w * 0.17, w * 0.17);
    p.restore();
    const QRectF cup(b.center().x() - w * 0.32, b.top() + h * 0.2, w * 0.64, h * 0.58);
    p.drawArc(cup, 180 * 16, 180 * 16);
    p.drawLine(QPointF(b.center().x(), cup.bottom()), QPointF(b.center().x(), b.bottom()));
}

void camera(QPainter& p, const QRectF& b) {
    const double w = b.width();
    const double h = b.height();
    p.save();
    p.setBrush(p.pen().color());
    p.drawRoundedRect(QRectF(b.left(), b.top() + h * 0.22, w * 0.66, h * 0.56), 2, 2);
    QPolygonF lens{QPointF(b.left() + w * 0.7, b.center().y()),
                   QPointF(b.right(), b.top() + h * 0.25),
                   QPointF(b.right(), b.bottom() - h * 0.25)};
    p.drawPolygon(lens);
    p.restore();
}

}  // namespace

void paintStripGlyph(QPainter& p, std::string_view icon, const QRectF& box, const QColor& color,
                     bool bold) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, std::max(1.2, box.width() * (bold ? 0.16 : 0.11)));
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF b = box;
    const double w = b.width();
    const double h = b.height();
    const QPointF c = b.center();
    if (icon == "pause.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(b.left() + w * 0.18, b.top() + h * 0.1, w * 0.22, h * 0.8), 1, 1);
        p.drawRoundedRect(QRectF(b.right() - w * 0.4, b.top() + h * 0.1, w * 0.22, h * 0.8), 1, 1);
    } else if (icon == "play.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPolygon(QPolygonF{QPointF(b.left() + w * 0.2, b.top() + h * 0.08),
                                QPointF(b.right() - w * 0.08, c.y()),
                                QPointF(b.left() + w * 0.2, b.bottom() - h * 0.08)});
    } else if (icon == "stop.fill") {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(b.adjusted(w * 0.12, h * 0.12, -w * 0.12, -h * 0.12), 2, 2);
    } else if (icon == "arrow.counterclockwise") {
        arcWithArrow(p, c, w * 0.36, -60, 270, w * 0.2);
    } else if (icon == "rotate.right") {
        p.drawRoundedRect(QRectF(b.left() + w * 0.05, b.top() + h * 0.45, w * 0.5, h * 0.5), 1.5,
                          1.5);
        arcWithArrow(p, QPointF(b.left() + w * 0.3, b.top() + h * 0.45), w * 0.42, 180, -95,
                     w * 0.17);
    } else if (icon == "mic.fill" || icon == "mic.slash.fill") {
        microphone(p, b);
        if (icon == "mic.slash.fill") {
            slash(p, b);
        }
    } else if (icon == "video.fill" || icon == "video.slash.fill") {
        camera(p, b);
        if (icon == "video.slash.fill") {
            slash(p, b);
        }
    } else if (icon == "pencil.tip") {
        QPolygonF pencil{QPointF(b.left() + w * 0.1, b.bottom() - h * 0.1),
                         QPointF(b.left() + w * 0.2, b.bottom() - h * 0.38),
                         QPointF(b.right() - w * 0.28, b.top() + h * 0.1),
                         QPointF(b.right() - w * 0.1, b.top() + h * 0.28),
                         QPointF(b.left() + w * 0.38, b.bottom() - h * 0.2)};
        p.drawPolygon(pencil);
    } else if (icon == "exclamationmark.triangle") {
        p.drawPolygon(QPolygonF{QPointF(c.x(), b.top() + h * 0.05),
                                QPointF(b.right() - w * 0.02, b.bottom() - h * 0.08),
                                QPointF(b.left() + w * 0.02, b.bottom() - h * 0.08)});
        p.drawLine(QPointF(c.x(), b.top() + h * 0.38), QPointF(c.x(), b.top() + h * 0.62));
        p.drawPoint(QPointF(c.x(), b.top() + h * 0.78));
    } else if (icon == "trash") {
        p.drawLine(QPointF(b.left() + w * 0.08, b.top() + h * 0.2),
                   QPointF(b.right() - w * 0.08, b.top() + h * 0.2));
        p.drawLine(QPointF(c.x() - w * 0.12, b.top() + h * 0.06),
                   QPointF(c.x() + w * 0.12, b.top() + h * 0.06));
        p.drawRoundedRect(QRectF(b.left() + w * 0.2, b.top() + h * 0.3, w * 0.6, h * 0.65), 1.5,
                          1.5);
    }
    p.restore();
}

}  // namespace tessera::overlays
