#include "views/StatusIcons.h"

#include <QGuiApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

namespace tessera::views {

namespace {

void paintStatus(QPainter& painter, const QRectF& box, StatusIcon kind) {
    const double side = std::min(box.width(), box.height());
    const QRectF disc(box.center().x() - side * 0.42, box.center().y() - side * 0.42, side * 0.84,
                      side * 0.84);
    const QColor ink = QGuiApplication::palette().color(QPalette::WindowText);
    painter.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
        case StatusIcon::idle: {
            const double ring = std::max(1.0, side * 0.09);
            painter.setPen(QPen(ink, ring));
            painter.setBrush(Qt::NoBrush);
            painter.drawEllipse(disc.adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
            painter.setPen(Qt::NoPen);
            painter.setBrush(ink);
            painter.drawEllipse(disc.center(), side * 0.2, side * 0.2);
            break;
        }
        case StatusIcon::recording:
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor::fromRgba(kRecordingRed));
            painter.drawEllipse(disc);
            painter.setBrush(QColor(255, 255, 255, 230));
            painter.drawEllipse(disc.center(), side * 0.17, side * 0.17);
            break;
        case StatusIcon::paused: {
            // The bars are cut out of the disc, so the tray shows through.
            QPainterPath shape;
            shape.addEllipse(disc);
            const double barWidth = side * 0.11;
            const double barHeight = side * 0.36;
            const double gap = side * 0.08;
            const QPointF c = disc.center();
            QPainterPath bars;
            bars.addRect(c.x() - gap - barWidth, c.y() - barHeight / 2, barWidth, barHeight);
            bars.addRect(c.x() + gap, c.y() - barHeight / 2, barWidth, barHeight);
            painter.setPen(Qt::NoPen);
            painter.setBrush(ink);
            painter.drawPath(shape.subtracted(bars));
            break;
        }
    }
}

class StatusIconEngine : public QIconEngine {
  public:
    explicit StatusIconEngine(StatusIcon kind) : kind_(kind) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        painter->save();
        paintStatus(*painter, rect, kind_);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap picture(size);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return picture;
    }

    QIconEngine* clone() const override { return new StatusIconEngine(kind_); }

    // Any size is available, so trays and menus ask for what they need.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }

  private:
    StatusIcon kind_;
};

}  // namespace

QIcon statusIcon(StatusIcon kind) {
    return QIcon(new StatusIconEngine(kind));
}

}  // namespace tessera::views
