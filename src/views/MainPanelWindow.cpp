#include "views/MainPanelWindow.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "views/PanelWidgets.h"
#include "views/QtScreens.h"

namespace tessera::views {

MainPanelWindow::MainPanelWindow(AppState& state, CaptureController& controller,
                                 MainPanelPorts ports)
    : window_(std::make_unique<PanelWindow>(state, controller, std::move(ports))) {}

MainPanelWindow::~MainPanelWindow() = default;

void MainPanelWindow::show() {
    window_->present();
}

void MainPanelWindow::hide() {
    window_->dismiss();
}

bool MainPanelWindow::isVisible() const {
    return window_->isVisible();
}

QWidget& MainPanelWindow::window() {
    return *window_;
}

MenuView MainPanelWindow::currentView() const {
    return window_->currentView();
}

bool MainPanelWindow::isPolling() const {
    return window_->isPolling();
}

Point MainPanelWindow::anchor() const {
    return window_->anchor();
}

PanelWindow::PanelWindow(AppState& state, CaptureController& controller, MainPanelPorts ports)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      ports_(std::move(ports)),
      context_{state, controller, ports_},
      bridge_(state, this) {
    setWindowTitle("Tessera Recorder");
    setAccessibleName("Tessera Recorder");
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(MainPanelWindow::kPadding, MainPanelWindow::kPadding,
                                MainPanelWindow::kPadding, MainPanelWindow::kPadding);
    layout_->setSpacing(12);
    // The window always takes its content's size; resizeEvent keeps it pinned.
    layout_->setSizeConstraint(QLayout::SetFixedSize);
    statusMessage_ = makeCaption({}, this);
    statusMessage_->setFixedWidth(MainPanelWindow::kWidth - 2 * MainPanelWindow::kPadding);
    layout_->addWidget(statusMessage_);
    poll_.setInterval(MainPanelWindow::kPollIntervalMs);
    connect(&poll_, &QTimer::timeout, this, [this] { pollOnce(); });
    connect(&bridge_, &StateBridge::changed, this, [this] { onStateChanged(); });
    if (ports_.micMeter) {
        bridge_.watch(*ports_.micMeter);
    }
}

PanelWindow::~PanelWindow() {
    check_.cancel();
}

void PanelWindow::present() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    rebuild();
    adjustSize();
    const QSize size = sizeHint();
    const std::optional<QRect> icon =
        ports_.anchorGeometry ? ports_.anchorGeometry() : std::optional<QRect>();
    anchor_ = panelAnchor(Size{double(size.width()), double(size.height())}, panelScreensFor(icon));
    pin();
    QWidget::show();
    raise();
    activateWindow();
    updatePolling();
}

void PanelWindow::dismiss() {
    poll_.stop();
    check_.cancel();
    QWidget::hide();
}

void PanelWindow::onStateChanged() {
    if (menuViewFor(context_.state.phase()) != view_ || !content_) {
        rebuild();
    } else {
        content_->refresh();
    }
    refreshStatusMessage();
    updatePolling();
}

void PanelWindow::rebuild() {
    view_ = menuViewFor(context_.state.phase());
    if (content_) {
        layout_->removeWidget(content_.get());
        content_.reset();
    }
    content_ = makePhaseView(view_, context_);
    content_->setFixedWidth(MainPanelWindow::kWidth - 2 * MainPanelWindow::kPadding);
    layout_->addWidget(content_.get());
    content_->show();
    refreshStatusMessage();
}

void PanelWindow::refreshStatusMessage() {
    const auto& message = context_.state.statusMessage();
    statusMessage_->setVisible(message.has_value());
    statusMessage_->setText(QString::fromStdString(message.value_or("")));
}

void PanelWindow::pin() {
    const Rect frame = panelFrame(anchor_, Size{double(width()), double(height())});
    const QPoint topLeft = toQtRect(frame).topLeft();
    if (pos() != topLeft) {
        move(topLeft);
    }
}

void PanelWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Rounded corners by a window shape, so they hold without a compositor.
    QPainterPath outline;
    outline.addRoundedRect(QRectF(rect()), 16, 16);
    setMask(QRegion(outline.toFillPolygon().toPolygon()));
    pin();
}

void PanelWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1));
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 16, 16);
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        dismiss();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PanelWindow::updatePolling() {
    const bool wanted = isVisible() && view_ == MenuView::idle;
    if (wanted && !poll_.isActive()) {
        pollOnce();
        poll_.start();
    } else if (!wanted && poll_.isActive()) {
        poll_.stop();
        check_.cancel();
    }
}

void PanelWindow::pollOnce() {
    if (ports_.screenPermission) {
        context_.state.setHasScreenPermission(ports_.screenPermission->preflight());
    }
    // A check still waiting for its answer is not doubled.
    if (ports_.checkServer && (!check_.valid() || check_.isDone())) {
        check_ = spawn(ports_.executor, ports_.checkServer());
    }
}

}  // namespace tessera::views
