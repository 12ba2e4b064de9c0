#include "views/PanelWidgets.h"

#include <QPainter>
#include <algorithm>

#include "views/MenuRules.h"

namespace tessera::views {

QLabel* makeTitle(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

QLabel* makeCaption(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    return label;
}

QPushButton* makeButton(const QString& text, QWidget* parent, std::function<void()> action) {
    // "&" marks a keyboard mnemonic in a button's text; "&&" shows it.
    auto* button = new QPushButton(QString(text).replace("&", "&&"), parent);
    button->setAccessibleName(text);
    QObject::connect(button, &QPushButton::clicked, button,
                     [action = std::move(action)] { action(); });
    return button;
}

QPushButton* makePrimaryButton(const QString& text, QWidget* parent, std::function<void()> action) {
    auto* button = makeButton(text, parent, std::move(action));
    button->setDefault(true);
    button->setMinimumHeight(button->sizeHint().height() + 8);
    QFont font = button->font();
    font.setBold(true);
    button->setFont(font);
    return button;
}

LevelBar::LevelBar(QWidget* parent) : QWidget(parent) {
    setAccessibleName("Microphone level");
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelBar::setLevel(double level) {
    level = std::clamp(level, 0.0, 1.0);
    if (level != level_) {
        level_ = level;
        update();
    }
}

QSize LevelBar::sizeHint() const {
    return {120, 6};
}

void LevelBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track = rect();
    const double radius = track.height() / 2;
    painter.setBrush(palette().color(QPalette::Midlight));
    painter.drawRoundedRect(track, radius, radius);
    QRectF filled = track;
    filled.setWidth(track.width() * level_);
    painter.setBrush(palette().color(QPalette::Highlight));
    painter.drawRoundedRect(filled, radius, radius);
}

Dot::Dot(QColor color, QWidget* parent) : QWidget(parent), color_(color) {
    setFixedSize(sizeHint());
    pulse_.setInterval(600);
    QObject::connect(&pulse_, &QTimer::timeout, this, [this] {
        dim_ = !dim_;
        update();
    });
}

void Dot::setColor(QColor color) {
    color_ = color;
    update();
}

void Dot::setPulsing(bool pulsing) {
    if (pulsing && !pulse_.isActive()) {
        pulse_.start();
    } else if (!pulsing) {
        pulse_.stop();
        dim_ = false;
        update();
    }
}

QSize Dot::sizeHint() const {
    return {10, 10};
}

void Dot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor color = color_;
    color.setAlphaF(dim_ ? 0.35f : 1.0f);
    painter.setBrush(color);
    painter.drawEllipse(rect().adjusted(1, 1, -1, -1));
}

CopyButton::CopyButton(const QString& label, QWidget* parent, std::function<void()> copy)
    : QPushButton(label, parent), label_(label) {
    setAccessibleName(label);
    restore_.setSingleShot(true);
    restore_.setInterval(kCopiedFeedbackMs);
    QObject::connect(&restore_, &QTimer::timeout, this, [this] { setText(label_); });
    QObject::connect(this, &QPushButton::clicked, this, [this, copy = std::move(copy)] {
        copy();
        setText("Copied ✓");
        restore_.start();
    });
}

}  // namespace tessera::views
