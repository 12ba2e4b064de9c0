#include "camera/widgets/BubbleMenuView.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QTimer>
#include <QVBoxLayout>

#include "app/AppState.h"

namespace tessera {

namespace {

constexpr int kControlSize = 26;

// The few pictures of the bar, drawn as lines when the icon theme has no
// such icon.
void drawFallbackGlyph(QPainter& p, BubbleMenuControl control, const QRectF& box) {
    const QPointF c = box.center();
    switch (control) {
        case BubbleMenuControl::turnOff:
            p.drawLine(c + QPointF(-4, -4), c + QPointF(4, 4));
            p.drawLine(c + QPointF(-4, 4), c + QPointF(4, -4));
            break;
        case BubbleMenuControl::fullScreen:
            for (int sx : {-1, 1}) {
                for (int sy : {-1, 1}) {
                    const QPointF corner = c + QPointF(5 * sx, 5 * sy);
                    p.drawLine(corner, corner - QPointF(3 * sx, 0));
                    p.drawLine(corner, corner - QPointF(0, 3 * sy));
                }
            }
            break;
        case BubbleMenuControl::blur:
            p.drawEllipse(c + QPointF(0, -2.5), 2.5, 2.5);
            p.drawArc(QRectF(c.x() - 4.5, c.y() + 1.5, 9, 8), 0, 180 * 16);
            for (int dx : {-6, 6}) {
                for (int dy : {-4, 0, 4}) {
                    p.drawPoint(c + QPointF(dx, dy));
                }
            }
            break;
        case BubbleMenuControl::settings:
            p.drawEllipse(c, 2.5, 2.5);
            p.drawEllipse(c, 5.5, 5.5);
            break;
        default:
            break;
    }
}

}  // namespace

// One round control of the bar: an icon button or a size dot.
class BubbleMenuButton final : public QWidget {
  public:
    BubbleMenuButton(BubbleMenuItem item, QWidget* parent) : QWidget(parent), item_(item) {
        setFixedSize(kControlSize, kControlSize);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setAttribute(Qt::WA_Hover);
        setAccessibleName(QString::fromStdString(item_.label));
    }

    std::function<void(bool hovering)> onHover;
    std::function<void()> onActivate;

    void setItem(BubbleMenuItem item) {
        item_ = std::move(item);
        setAccessibleName(QString::fromStdString(item_.label));
        update();
    }
    const BubbleMenuItem& item() const { return item_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        if (pressed_) {
            // Pressed: shrunk about the centre and a little faded.
            p.translate(width() / 2.0, height() / 2.0);
            p.scale(0.88, 0.88);
            p.translate(-width() / 2.0, -height() / 2.0);
            p.setOpacity(0.8);
        }
        const QRectF box = rect();
        p.setPen(Qt::NoPen);
        if (item_.dotDiameter > 0) {
            if (hovering_) {
                p.setBrush(QColor::fromRgbF(1, 1, 1, 0.16f));
                p.drawEllipse(box);
            }
            const float alpha = item_.highlighted ? 1.0f : (hovering_ ? 0.85f : 0.55f);
            p.setBrush(QColor::fromRgbF(1, 1, 1, alpha));
            const double r = item_.dotDiameter / 2;
            p.drawEllipse(box.center(), r, r);
            return;
        }
        QColor backdrop = Qt::transparent;
        if (item_.highlighted) {
            backdrop = QColor::fromRgbF(1, 1, 1, hovering_ ? 0.82f : 1.0f);
        } else if (hovering_) {
            backdrop = QColor::fromRgbF(1, 1, 1, 0.18f);
        }
        p.setBrush(backdrop);
        p.drawEllipse(box);
        const QColor ink = item_.highlighted ? Qt::black : Qt::white;
        const QString name = QString::fromStdString(item_.iconName);
        if (QIcon::hasThemeIcon(name)) {
            const QPixmap pixmap = QIcon::fromTheme(name).pixmap(14, 14);
            p.drawPixmap(QRectF(box.center() - QPointF(7, 7), QSizeF(14, 14)), pixmap,
                         pixmap.rect());
            return;
        }
        QPen pen(ink, 1.6);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        drawFallbackGlyph(p, item_.control, box);
    }
    void enterEvent(QEnterEvent*) override { setHovering(true); }
    void leaveEvent(QEvent*) override {
        pressed_ = false;
        setHovering(false);
    }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            pressed_ = true;
            update();
        }
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        const bool wasPressed = std::exchange(pressed_, false);
        update();
        if (wasPressed && rect().contains(event->position().toPoint()) && onActivate) {
            onActivate();
        }
    }
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Space) && onActivate) {
            onActivate();
            return;
        }
        QWidget::keyPressEvent(event);
    }

  private:
    void setHovering(bool on) {
        if (hovering_ == on) {
            return;
        }
        hovering_ = on;
        update();
        if (onHover) {
            onHover(on);
        }
    }

    BubbleMenuItem item_;
    bool hovering_ = false;
    bool pressed_ = false;
};

namespace {

// The capsule behind the controls.
class PillBar final : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath path;
        path.addRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
        p.fillPath(path, QColor::fromRgbF(0, 0, 0, 0.86f));
        p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.12f), 1));
        p.drawPath(path);
    }
};

}  // namespace

BubbleMenuView::BubbleMenuView(AppState& state, BubbleMenuActions actions, QWidget* parent)
    : QWidget(parent),
      state_(state),
      actions_(std::move(actions)),
      label_(new QLabel(this)),
      bar_(new PillBar(this)) {
    setAttribute(Qt::WA_TranslucentBackground);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(5);
    column->setSizeConstraint(QLayout::SetFixedSize);

    QFont font = label_->font();
    font.setPointSizeF(12);
    font.setWeight(QFont::DemiBold);
    label_->setFont(font);
    label_->setStyleSheet(
        QStringLiteral("QLabel { color: white; background: rgba(0, 0, 0, 217); border-radius: 8px;"
                       " padding: 5px 10px; }"));
    label_->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* opacity = new QGraphicsOpacityEffect(label_);
    opacity->setOpacity(0);
    label_->setGraphicsEffect(opacity);
    // Holds its place while empty, so the bar does not move when it appears.
    label_->setText(QStringLiteral(" "));
    column->addWidget(label_, 0, Qt::AlignHCenter);

    auto* row = new QHBoxLayout(bar_);
    row->setContentsMargins(9, 7, 9, 7);
    row->setSpacing(6);
    for (const BubbleMenuItem& item : bubbleMenuItems(state_)) {
        auto* button = new BubbleMenuButton(item, bar_);
        button->onHover = [this, button](bool hovering) {
            hover_.hoverChanged(button->item().label, hovering);
            refresh();
        };
        button->onActivate = [this, control = item.control] {
            activateBubbleMenuControl(control, state_, actions_);
        };
        row->addWidget(button);
        buttons_.push_back(button);
    }
    column->addWidget(bar_, 0, Qt::AlignHCenter);

    // Notified before each change: the new values are read once the
    // assignment is over.
    subscription_ =
        state_.subscribe([this] { QTimer::singleShot(0, this, [this] { refresh(); }); });
    adjustSize();
}

BubbleMenuView::~BubbleMenuView() = default;

void BubbleMenuView::refresh() {
    const std::vector<BubbleMenuItem> items = bubbleMenuItems(state_);
    for (size_t i = 0; i < buttons_.size() && i < items.size(); ++i) {
        buttons_[i]->setItem(items[i]);
    }
    const bool shown = hover_.text().has_value();
    if (shown) {
        label_->setText(QString::fromStdString(*hover_.text()));
    }
    if (shown == labelShown_) {
        return;
    }
    labelShown_ = shown;
    auto* fade = new QPropertyAnimation(label_->graphicsEffect(), "opacity", label_);
    fade->setDuration(100);
    fade->setEasingCurve(QEasingCurve::OutCubic);
    fade->setEndValue(shown ? 1.0 : 0.0);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
    if (onShapeChanged) {
        onShapeChanged();
    }
}

QString BubbleMenuView::hoverLabel() const {
    return hover_.text() ? QString::fromStdString(*hover_.text()) : QString();
}

double BubbleMenuView::labelOpacity() const {
    return static_cast<QGraphicsOpacityEffect*>(label_->graphicsEffect())->opacity();
}

QWidget* BubbleMenuView::control(BubbleMenuControl control) const {
    for (BubbleMenuButton* button : buttons_) {
        if (button->item().control == control) {
            return button;
        }
    }
    return nullptr;
}

QRect BubbleMenuView::barRect() const {
    return bar_->geometry();
}

QRegion BubbleMenuView::visibleRegion() const {
    const QRect bar = barRect();
    QPainterPath capsule;
    capsule.addRoundedRect(bar, bar.height() / 2.0, bar.height() / 2.0);
    QRegion region(capsule.toFillPolygon().toPolygon());
    if (!labelShown_) {
        return region;
    }
    QPainterPath label;
    label.addRoundedRect(label_->geometry(), 8, 8);
    return region.united(QRegion(label.toFillPolygon().toPolygon()));
}

void BubbleMenuView::enterEvent(QEnterEvent*) {
    if (onHoverChanged) {
        onHoverChanged();
    }
}

void BubbleMenuView::leaveEvent(QEvent*) {
    if (onHoverChanged) {
        onHoverChanged();
    }
}

void BubbleMenuView::paintEvent(QPaintEvent*) {}

}  // namespace tessera
