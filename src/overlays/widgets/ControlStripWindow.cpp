#include "overlays/widgets/ControlStripWindow.h"

#include <QBoxLayout>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "app/AppState.h"
#include "app/SettingsKeys.h"
#include "capture/CaptureController.h"
#include "overlays/widgets/StripGlyphs.h"
#include "support/Log.h"

namespace tessera::overlays {

namespace {

constexpr std::string_view kComponent = "control-strip";

int scaled(double points, double scale) {
    return static_cast<int>(std::lround(points * scale));
}

std::optional<double> storedNumber(const SettingsStore& store, std::string_view key) {
    auto value = store.get(key);
    if (value && value->is_number()) {
        return value->get<double>();
    }
    return std::nullopt;
}

// The thin line between the time and the buttons.
class Divider final : public QWidget {
  public:
    Divider(double scale, bool vertical, QWidget* parent)
        : QWidget(parent), scale_(scale), vertical_(vertical) {
        const int length = scaled(18, scale);
        const int along = 1 + 2 * scaled(2, scale);
        setFixedSize(vertical ? QSize(length, along) : QSize(along, length));
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(QPen(QColor(255, 255, 255, 31), 1));
        const QRectF r = QRectF(rect());
        if (vertical_) {
            p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
        } else {
            p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
        }
    }

  private:
    double scale_;
    bool vertical_;
};

}  // namespace

// The recording dot and the elapsed time.
class StripWindow::TimerBlock final : public QWidget {
  public:
    TimerBlock(double scale, bool vertical, QWidget* parent)
        : QWidget(parent), scale_(scale), vertical_(vertical) {
        font_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font_.setPixelSize(std::max(1, scaled(9.5, scale)));
        font_.setWeight(QFont::Medium);
        pulse_.setInterval(50);
        QObject::connect(&pulse_, &QTimer::timeout, this, [this] { update(); });
        clock_.start();
    }

    void set(const QString& text, bool live, bool recording) {
        if (text == text_ && live == live_ && recording == recording_) {
            return;
        }
        text_ = text;
        live_ = live;
        recording_ = recording;
        if (recording_) {
            pulse_.start();
        } else {
            pulse_.stop();
        }
        updateGeometry();
        update();
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics(font_);
        const int textWidth = metrics.horizontalAdvance(QStringLiteral("00:00"));
        const int dot = scaled(10, scale_);
        if (vertical_) {
            return {std::max(textWidth, dot),
                    scaled(3, scale_) + dot + scaled(3, scale_) + metrics.height()};
        }
        return {scaled(3, scale_) + dot + scaled(5, scale_) + textWidth,
                std::max(metrics.height(), dot)};
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QFontMetrics metrics(font_);
        const double dot = live_ ? 10.0 : 9 * scale_;
        double opacity = 0.35;
        if (live_) {
            // Alternates between 1.0 and 0.35 every 0.7 s, easing in and out.
            const double phase = std::fmod(clock_.elapsed() / 700.0, 2.0);
            const double t = phase < 1 ? phase : 2 - phase;
            const double eased = (1 - std::cos(t * M_PI)) / 2;
            opacity = recording_ ? 1.0 - 0.65 * eased : 0.5;
        }
        QPointF dotCentre;
        QRectF textBox;
        if (vertical_) {
            dotCentre = QPointF(width() / 2.0, scaled(3, scale_) + dot / 2);
            textBox =
                QRectF(0, dotCentre.y() + dot / 2 + scaled(3, scale_), width(), metrics.height());
        } else {
            dotCentre = QPointF(scaled(3, scale_) + dot / 2, height() / 2.0);
            textBox = QRectF(dotCentre.x() + dot / 2 + scaled(5, scale_), 0,
                             width() - (dotCentre.x() + dot / 2 + scaled(5, scale_)), height());
        }
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgbF(1, 1, 1, static_cast<float>(opacity)));
        p.drawEllipse(dotCentre, dot / 2, dot / 2);
        p.setFont(font_);
        p.setPen(QColor::fromRgbF(1, 1, 1, live_ ? 0.85f : 0.45f));
        p.drawText(textBox, (vertical_ ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter,
                   text_);
    }

  private:
    double scale_;
    bool vertical_;
    QFont font_;
    QString text_ = QStringLiteral("00:00");
    bool live_ = false;
    bool recording_ = false;
    QTimer pulse_;
    QElapsedTimer clock_;
};

StripButtonWidget::StripButtonWidget(const StripButton& button, double scale, QWidget* parent)
    : QAbstractButton(parent), button_(button), scale_(scale) {
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(sizeHint());
    apply(button);
}

void StripButtonWidget::apply(const StripButton& button) {
    button_ = button;
    setEnabled(button.enabled);
    const QString help = QString::fromStdString(button.help);
    setToolTip(help);
    setAccessibleName(help);
    if (button.enabled) {
        setCursor(Qt::PointingHandCursor);
    } else {
        unsetCursor();
    }
    update();
}

QSize StripButtonWidget::sizeHint() const {
    return {scaled(27, scale_), scaled(23, scale_)};
}

void StripButtonWidget::enterEvent(QEnterEvent* event) {
    hovering_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void StripButtonWidget::leaveEvent(QEvent* event) {
    hovering_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void StripButtonWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const bool enabled = isEnabled();
    const bool pressed = enabled && isDown();
    const bool hovered = enabled && hovering_;
    double fill = 0;
    if (button_.active) {
        fill = pressed ? 0.34 : hovered ? 0.26 : 0.18;
    } else {
        fill = pressed ? 0.18 : hovered ? 0.1 : 0;
    }
    QRectF box(rect());
    if (pressed) {
        const double inset = 0.025;
        box.adjust(box.width() * inset, box.height() * inset, -box.width() * inset,
                   -box.height() * inset);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgbF(1, 1, 1, static_cast<float>(fill)));
    p.drawRoundedRect(box, 6 * scale_, 6 * scale_);
    const double opacity = !enabled ? 0.3 : button_.active ? 1.0 : 0.8;
    const double glyph = 12 * scale_;
    const QRectF glyphBox(box.center().x() - glyph / 2, box.center().y() - glyph / 2, glyph, glyph);
    paintStripGlyph(p, button_.icon, glyphBox,
                    QColor::fromRgbF(1, 1, 1, static_cast<float>(opacity)), button_.armed);
}

StripWindow::StripWindow(ControlStripPanel& panel)
    : FloatingWindow(FocusPolicy::never), panel_(panel) {
    setAccessibleName(QStringLiteral("Recording controls"));
}

void StripWindow::build(double scale) {
    const AppState& state = panel_.state_;
    scale_ = scale;
    vertical_ = state.stripVertical();
    live_ = isLive(state);
    qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
    delete layout();
    buttons_.clear();

    auto* box = new QBoxLayout(vertical_ ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight, this);
    box->setEnabled(false);
    box->setSpacing(scaled(3, scale));
    const int inner = scaled(7, scale);
    const int across = scaled(40, scale);
    const int buttonAcross = vertical_ ? scaled(27, scale) : scaled(23, scale);
    const int crossMargin = (across - buttonAcross) / 2;
    if (vertical_) {
        box->setContentsMargins(crossMargin, inner, across - buttonAcross - crossMargin, inner);
    } else {
        box->setContentsMargins(inner, crossMargin, inner, across - buttonAcross - crossMargin);
    }
    const Qt::Alignment centre = vertical_ ? Qt::AlignHCenter : Qt::AlignVCenter;

    timer_ = new TimerBlock(scale, vertical_, this);
    box->addWidget(timer_, 0, centre);
    box->addWidget(new Divider(scale, vertical_, this), 0, centre);
    for (const StripButton& model :
         stripButtons(state, panel_.confirm_.isArmed(ConfirmButtons::Which::restart),
                      panel_.confirm_.isArmed(ConfirmButtons::Which::discard))) {
        auto* button = new StripButtonWidget(model, scale, this);
        QObject::connect(button, &QAbstractButton::clicked, this,
                         [this, button] { panel_.perform(button->model().action); });
        buttons_.push_back(button);
        box->addWidget(button, 0, centre);
    }
    updateInPlace();
    // The window takes the layout's size once, with everything in it. An
    // enabled layout would resize the window for each new child as it shows
    // (a dozen requests to the window manager, the first for a strip of almost
    // nothing), and some window managers then place the window anew, at 0,0.
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        child->show();
    }
    box->setSizeConstraint(QLayout::SetFixedSize);
    box->setEnabled(true);
    box->activate();
    update();
}

bool StripWindow::updateInPlace() {
    const AppState& state = panel_.state_;
    const auto models = stripButtons(state, panel_.confirm_.isArmed(ConfirmButtons::Which::restart),
                                     panel_.confirm_.isArmed(ConfirmButtons::Which::discard));
    if (models.size() != buttons_.size() || state.stripVertical() != vertical_) {
        return false;
    }
    for (std::size_t i = 0; i < models.size(); ++i) {
        if (models[i].action != buttons_[i]->model().action) {
            return false;
        }
    }
    for (std::size_t i = 0; i < models.size(); ++i) {
        buttons_[i]->apply(models[i]);
    }
    const bool live = isLive(state);
    if (live != live_) {
        live_ = live;
        update();
    }
    timer_->set(QString::fromStdString(stripTime(state)), live,
                state.phase().is(RecorderPhase::Kind::recording));
    return true;
}

QSize StripWindow::fittingSize() const {
    return layout() ? layout()->sizeHint() : QSize();
}

StripButtonWidget* StripWindow::button(StripAction action) const {
    for (StripButtonWidget* b : buttons_) {
        if (b->model().action == action) {
            return b;
        }
    }
    return nullptr;
}

void StripWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Discreet while recording, prominent while the recording is prepared.
    // Without a compositor the window cannot be see-through: the background
    // is then drawn opaque.
    const double fill = compositorRunning() ? (live_ ? 0.38 : 0.92) : 1.0;
    const double radius = 12 * scale_;
    const QRectF outline = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setBrush(QColor::fromRgbF(0, 0, 0, static_cast<float>(fill)));
    p.setPen(QPen(QColor::fromRgbF(1, 1, 1, live_ ? 0.08f : 0.16f), 1));
    p.drawRoundedRect(outline, radius, radius);
}

void StripWindow::resizeEvent(QResizeEvent* event) {
    FloatingWindow::resizeEvent(event);
    const double radius = 12 * scale_;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), radius, radius);
    setVisibleShape(QRegion(shape.toFillPolygon().toPolygon()));
}

void StripWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragOffset_ = event->globalPosition().toPoint() - pos();
    }
}

void StripWindow::mouseMoveEvent(QMouseEvent* event) {
    if (dragOffset_ && (event->buttons() & Qt::LeftButton)) {
        FloatingWindow::move(event->globalPosition().toPoint() - *dragOffset_);
    }
}

void StripWindow::mouseReleaseEvent(QMouseEvent*) {
    dragOffset_.reset();
}

void StripWindow::hideEvent(QHideEvent* event) {
    // A release that comes after the strip is hidden never reaches it: the
    // drag ends here.
    dragOffset_.reset();
    putBack_ = false;
    FloatingWindow::hideEvent(event);
}

void StripWindow::moveEvent(QMoveEvent* event) {
    FloatingWindow::moveEvent(event);
    if (panel_.placedAt_ && *panel_.placedAt_ == pos()) {
        putBack_ = false;
        return;
    }
    // A move the strip did not make, while nobody drags it, is the window
    // manager's: some place a window anew (at 0,0) now and then as it is
    // shown or resized. The strip goes back where it was put, once; where the
    // window manager insists, its place is kept.
    if (event->spontaneous() && panel_.placedAt_ && !dragOffset_ && !putBack_) {
        putBack_ = true;
        logging::debug(kComponent, "the window manager moved the strip: put back");
        setGeometry(QRect(*panel_.placedAt_, size()));
        return;
    }
    panel_.placedAt_.reset();
    panel_.rememberOrigin();
}

ControlStripPanel::ControlStripPanel(AppState& state, WeakController controller, Executor& executor,
                                     const DisplayPlacement& placement)
    : state_(state),
      controller_(std::move(controller)),
      executor_(executor),
      placement_(placement),
      confirm_(executor) {
    confirm_.onChange = [this] {
        refresh();
    };
}

ControlStripPanel::~ControlStripPanel() {
    hide();
}

Point ControlStripPanel::restoredOriginFor(Size size, std::uint32_t displayID) const {
    const SettingsStore& store = state_.settingsStore();
    return restoredOrigin(size, placement_.frame(displayID, FrameKind::visible),
                          storedNumber(store, settings_keys::kControlPanelX),
                          storedNumber(store, settings_keys::kControlPanelY));
}

void ControlStripPanel::show(std::uint32_t displayID) {
    if (window_ && window_->isVisible()) {
        window_->raise();
        move(displayID);
        return;
    }
    if (!window_) {
        window_ = std::make_unique<StripWindow>(*this);
    }
    currentScale_ = placement_.chromeScale(displayID);
    window_->build(currentScale_);
    const QSize size = window_->fittingSize();
    const Size points{static_cast<double>(size.width()), static_cast<double>(size.height())};
    placeAt(Rect(restoredOriginFor(points, displayID), points), false);
    window_->show();
    stateSubscription_ = state_.subscribe([this] {
        // Called before the change is stored: look once it is.
        if (!refreshQueued_ && window_) {
            refreshQueued_ = true;
            QMetaObject::invokeMethod(
                window_.get(), [this] { refresh(); }, Qt::QueuedConnection);
        }
    });
}

void ControlStripPanel::hide() {
    stateSubscription_.reset();
    refreshQueued_ = false;
    if (window_) {
        window_->hide();
    }
}

void ControlStripPanel::move(std::uint32_t displayID) {
    if (!window_ || !window_->isVisible()) {
        return;
    }
    const double scale = placement_.chromeScale(displayID);
    if (scale != currentScale_) {
        currentScale_ = scale;
        confirm_.disarm();
        rebuild();
    }
    const QRect frame = window_->geometry();
    const Size size{static_cast<double>(frame.width()), static_cast<double>(frame.height())};
    const Point origin = restoredOriginFor(size, displayID);
    if (!(placement_.toGlobal(frame).origin == origin)) {
        placeAt(Rect(origin, size), false);
    }
}

std::optional<std::uint32_t> ControlStripPanel::windowID() const {
    if (!window_) {
        return std::nullopt;
    }
    return window_->xWindowID();
}

void ControlStripPanel::refresh() {
    refreshQueued_ = false;
    if (!window_ || !window_->isVisible()) {
        return;
    }
    if (!window_->updateInPlace()) {
        rebuild();
    }
}

void ControlStripPanel::rebuild() {
    window_->build(currentScale_);
    resizeToFit();
}

void ControlStripPanel::resizeToFit() {
    const QSize size = window_->fittingSize();
    if (size.width() <= 0 || size.height() <= 0 || size == window_->size()) {
        return;
    }
    const Rect now = placement_.toGlobal(window_->geometry());
    // Not a move of the strip's own: the new origin is remembered.
    placeAt(keepingTopLeft(now,
                           {static_cast<double>(size.width()), static_cast<double>(size.height())}),
            true);
}

void ControlStripPanel::placeAt(const Rect& global, bool remember) {
    const QRect target = placement_.toQt(global);
    placedAt_ = target.topLeft();
    window_->setGeometry(target);
    if (remember) {
        rememberOrigin();
    }
}

void ControlStripPanel::rememberOrigin() {
    const Rect frame = placement_.toGlobal(window_->geometry());
    SettingsStore& store = state_.settingsStore();
    store.set(settings_keys::kControlPanelX, frame.minX());
    store.set(settings_keys::kControlPanelY, frame.minY());
}

void ControlStripPanel::runTask(Task<void> task) {
    // The controller owns the task, so its shutdown ends it before the
    // controller goes away.
    if (CaptureController* controller = controller_.get()) {
        controller->runOwned(std::move(task));
    }
}

void ControlStripPanel::perform(StripAction action) {
    if (action == StripAction::rotate) {
        state_.setStripVertical(!state_.stripVertical());
        return;
    }
    CaptureController* controller = controller_.get();
    if (!controller) {
        logging::warning(kComponent, "a strip button was clicked after the controller was gone");
        return;
    }
    using Which = ConfirmButtons::Which;
    switch (action) {
        case StripAction::pauseResume:
            if (state_.phase().is(RecorderPhase::Kind::paused)) {
                controller->resume();
            } else {
                controller->pause();
            }
            return;
        case StripAction::stop:
            return runTask(controller->stop());
        case StripAction::restart:
            if (confirm_.click(Which::restart)) {
                runTask(controller->restart());
            }
            return;
        case StripAction::mic:
            return controller->setMicMuted(!state_.micMuted());
        case StripAction::camera:
            return controller->setCameraBubbleHidden(!state_.cameraBubbleHidden());
        case StripAction::draw:
            return controller->setDrawModeEnabled(!state_.drawModeEnabled());
        case StripAction::discard:
            if (confirm_.click(Which::discard)) {
                runTask(controller->cancel());
            }
            return;
        case StripAction::rotate:
            return;
    }
}

}  // namespace tessera::overlays
