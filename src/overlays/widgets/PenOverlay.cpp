#include "overlays/widgets/PenOverlay.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QScreen>

namespace tessera::overlays {

namespace {

constexpr double kLineWidth = 4.0;
// The glow around the line: a soft rim of about 2.5 points, drawn as wider
// strokes of the glow colour under the line.
constexpr double kGlowRadius = 2.5;

QColor toQColor(const RgbaColor& c, double opacity = 1.0) {
    return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green),
                            static_cast<float>(c.blue), static_cast<float>(c.alpha * opacity));
}

QPainterPath toPainterPath(const std::vector<PathElement>& elements) {
    QPainterPath path;
    for (const PathElement& e : elements) {
        switch (e.kind) {
            case PathElement::Kind::moveTo:
                path.moveTo(e.to.x, e.to.y);
                break;
            case PathElement::Kind::lineTo:
                path.lineTo(e.to.x, e.to.y);
                break;
            case PathElement::Kind::quadTo:
                path.quadTo(e.control.x, e.control.y, e.to.x, e.to.y);
                break;
            case PathElement::Kind::ellipse:
                path.addEllipse(QPointF(e.to.x, e.to.y), e.control.x / 2, e.control.y / 2);
                break;
        }
    }
    return path;
}

// Without a compositor the window is shaped to an outline this wide around
// each stroke.
constexpr double kShapedOutlineWidth = kLineWidth + 2 * kGlowRadius + 2;

// Whether the window's see-through parts show what lies below (a compositor
// blends them) or are cut away by its shape.
enum class Backdrop { blended, shaped };

void paintStroke(QPainter& painter, const PenStrokes::Stroke& stroke, double opacity,
                 Backdrop backdrop) {
    const QPainterPath path = toPainterPath(smoothedPath(stroke.points));
    painter.setBrush(Qt::NoBrush);
    if (backdrop == Backdrop::blended) {
        for (const auto& [extra, alpha] :
             {std::pair{kGlowRadius * 2, 0.3}, std::pair{kGlowRadius, 0.55}}) {
            QPen glow(toQColor(stroke.glow, alpha * 0.85 * opacity), kLineWidth + extra);
            glow.setCapStyle(Qt::RoundCap);
            glow.setJoinStyle(Qt::RoundJoin);
            painter.setPen(glow);
            painter.drawPath(path);
        }
    } else {
        // A translucent glow over the shaped window's black would read as a
        // dark rim: the whole outline is the glow colour instead, drawn wider
        // than the shape so that the shape alone decides its edge.
        QPen rim(toQColor(stroke.glow), kShapedOutlineWidth + 2);
        rim.setCapStyle(Qt::RoundCap);
        rim.setJoinStyle(Qt::RoundJoin);
        painter.setPen(rim);
        painter.drawPath(path);
    }
    QPen line(toQColor(stroke.color, opacity), kLineWidth);
    line.setCapStyle(Qt::RoundCap);
    line.setJoinStyle(Qt::RoundJoin);
    painter.setPen(line);
    painter.drawPath(path);
}

Point toPoint(const QPointF& p) {
    return {p.x(), p.y()};
}

}  // namespace

PenOverlay::PenOverlay(Executor& executor, const DisplayPlacement& placement)
    : executor_(executor), placement_(placement), strokes_(executor) {}

PenOverlay::~PenOverlay() {
    close();
}

void PenOverlay::setOnExitDrawMode(std::function<void()> action) {
    onExitDrawMode_ = std::move(action);
}

void PenOverlay::setPenColor(const RgbaColor& stroke, const RgbaColor& glow) {
    strokes_.setColors(stroke, glow);
}

void PenOverlay::show(std::uint32_t displayID) {
    if (window_) {
        return;
    }
    window_ = std::make_unique<PenCanvasWindow>(strokes_, [this] { exitRequested(); });
    strokes_.onChange = [window = window_.get()] {
        window->refresh();
    };
    displayID_ = displayID;
    window_->setGeometry(placement_.toQt(placement_.frame(displayID, FrameKind::whole)));
    window_->setDrawing(false);
    window_->refresh();
    window_->show();
    watchScreens();
}

void PenOverlay::watchScreens() {
    // Qt names its screens after the RandR monitors. A display whose monitor
    // keeps its name reports a new frame as a geometry change of its screen;
    // when the server replaces the monitor (xrandr --setmonitor, a docking
    // station naming outputs anew), the same display comes back as a screen
    // removed and another added. Every one of these may have moved it.
    QGuiApplication* app = qGuiApp;
    PenCanvasWindow* context = window_.get();
    screenWatches_.push_back(
        QObject::connect(app, &QGuiApplication::screenAdded, context, [this](QScreen* screen) {
            watchScreen(screen);
            followDisplay();
        }));
    screenWatches_.push_back(QObject::connect(app, &QGuiApplication::screenRemoved, context,
                                              [this] { followDisplay(); }));
    screenWatches_.push_back(QObject::connect(app, &QGuiApplication::primaryScreenChanged, context,
                                              [this] { followDisplay(); }));
    for (QScreen* screen : QGuiApplication::screens()) {
        watchScreen(screen);
    }
}

void PenOverlay::watchScreen(QScreen* screen) {
    screenWatches_.push_back(QObject::connect(screen, &QScreen::geometryChanged, window_.get(),
                                              [this] { followDisplay(); }));
}

void PenOverlay::followDisplay() {
    if (!window_ || !displayID_) {
        return;
    }
    // A display that is gone keeps the last frame.
    if (auto frame = placement_.frameIfPresent(*displayID_, FrameKind::whole)) {
        const QRect target = placement_.toQt(*frame);
        if (target != window_->geometry()) {
            window_->setGeometry(target);
        }
    }
}

void PenOverlay::setDrawMode(bool on) {
    if (!window_ || drawMode_ == on) {
        return;
    }
    drawMode_ = on;
    if (!on) {
        strokes_.clear();
    }
    window_->setDrawing(on);
}

void PenOverlay::exitRequested() {
    // A copy: the action switches draw mode off, which may replace it.
    if (auto action = onExitDrawMode_) {
        action();
    }
}

void PenOverlay::showBanner(const std::string& text) {
    strokes_.showBanner(text);
}

std::optional<std::uint32_t> PenOverlay::windowID() const {
    if (!window_) {
        return std::nullopt;
    }
    return window_->xWindowID();
}

void PenOverlay::orderFront() {
    if (window_) {
        window_->show();
        window_->raise();
    }
}

void PenOverlay::close() {
    for (const auto& watch : screenWatches_) {
        QObject::disconnect(watch);
    }
    screenWatches_.clear();
    onExitDrawMode_ = nullptr;
    strokes_.onChange = nullptr;
    strokes_.clear();
    if (window_) {
        window_->setDrawing(false);
        window_->hide();
        window_.reset();
    }
    drawMode_ = false;
    displayID_.reset();
}

PenCanvasWindow::PenCanvasWindow(PenStrokes& strokes, std::function<void()> onEscape)
    : FloatingWindow(FocusPolicy::never),
      strokes_(strokes),
      onEscape_(std::move(onEscape)),
      composited_(compositorRunning()) {
    setAccessibleName(QStringLiteral("Pen overlay"));
    setMouseTracking(false);
    animation_.setInterval(16);
    QObject::connect(&animation_, &QTimer::timeout, this, [this] {
        if (strokes_.isAnimating()) {
            update();
        } else {
            animation_.stop();
        }
    });
}

void PenCanvasWindow::setDrawing(bool on) {
    drawing_ = on;
    setClickThrough(!on);
    setFocusPolicyTo(on ? FocusPolicy::whenAsked : FocusPolicy::never);
    if (on) {
        setCursor(Qt::CrossCursor);
        // Without a compositor the window is shaped to its strokes, and a
        // shaped window takes input only where it is drawn: the pointer grab
        // brings the rest of the display's clicks here.
        if (!composited_ && isVisible()) {
            grabPointer();
        }
        takeFocus();
        return;
    }
    unsetCursor();
    releasePointer();
    returnFocus();
}

void PenCanvasWindow::refresh() {
    if (!composited_) {
        setVisibleShape(drawnRegion());
    }
    if (composited_ && strokes_.isAnimating() && !animation_.isActive()) {
        animation_.start();
    }
    const std::size_t finished = strokes_.finished().size();
    const std::optional<std::string> banner =
        strokes_.banner() ? std::optional(strokes_.banner()->text) : std::nullopt;
    if (composited_ && strokes_.active() && finished == paintedFinished_ &&
        banner == paintedBanner_ && !strokes_.isAnimating()) {
        // Only the end of the stroke being drawn changed: its smoothed path
        // moves around the last three points. Repainting the whole display for
        // each motion costs a full-screen composite per point. (A shaped
        // window, without a compositor, is repainted whole: its shape changes
        // with every point.)
        const auto& points = strokes_.active()->points;
        QRectF dirty;
        for (std::size_t i = points.size() >= 3 ? points.size() - 3 : 0; i < points.size(); ++i) {
            dirty |= QRectF(points[i].x, points[i].y, 1, 1);
        }
        const int margin = static_cast<int>(kLineWidth + 2 * kGlowRadius) + 2;
        update(dirty.toAlignedRect().adjusted(-margin, -margin, margin, margin));
    } else {
        update();
    }
    paintedFinished_ = finished;
    paintedBanner_ = banner;
}

QRegion PenCanvasWindow::drawnRegion() const {
    QRegion region;
    QPainterPathStroker outline;
    outline.setWidth(kShapedOutlineWidth);
    outline.setCapStyle(Qt::RoundCap);
    outline.setJoinStyle(Qt::RoundJoin);
    auto add = [&](const PenStrokes::Stroke& stroke) {
        QPainterPath path = toPainterPath(smoothedPath(stroke.points));
        region += QRegion(outline.createStroke(path).toFillPolygon().toPolygon(), Qt::WindingFill);
    };
    for (const auto& stroke : strokes_.finished()) {
        add(stroke);
    }
    if (strokes_.active()) {
        add(*strokes_.active());
    }
    if (strokes_.banner()) {
        const Rect b = bannerFrame({static_cast<double>(width()), static_cast<double>(height())});
        QPainterPath rounded;
        rounded.addRoundedRect(QRectF(b.minX(), b.minY(), b.width(), b.height()), 8, 8);
        region += QRegion(rounded.toFillPolygon().toPolygon());
    }
    return region;
}

void PenCanvasWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), composited_ ? QColor(Qt::transparent) : QColor(Qt::black));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // Without a compositor a fade could only darken towards the window's
    // black: strokes stay at full strength until they go.
    const Backdrop backdrop = composited_ ? Backdrop::blended : Backdrop::shaped;
    for (const auto& stroke : strokes_.finished()) {
        paintStroke(painter, stroke, composited_ ? strokes_.opacity(stroke) : 1.0, backdrop);
    }
    if (strokes_.active()) {
        paintStroke(painter, *strokes_.active(), 1.0, backdrop);
    }
    if (const auto& banner = strokes_.banner()) {
        const double opacity = composited_ ? strokes_.bannerOpacity() : 1.0;
        const Rect b = bannerFrame({static_cast<double>(width()), static_cast<double>(height())});
        const QRectF box(b.minX(), b.minY(), b.width(), b.height());
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor::fromRgbF(0, 0, 0, static_cast<float>(0.75 * opacity)));
        painter.drawRoundedRect(box, 8, 8);
        QFont font = this->font();
        font.setPixelSize(14);
        font.setWeight(QFont::DemiBold);
        painter.setFont(font);
        painter.setPen(QColor::fromRgbF(1, 1, 1, static_cast<float>(opacity)));
        const QString text = QFontMetrics(font).elidedText(QString::fromStdString(banner->text),
                                                           Qt::ElideRight, box.width() - 16);
        painter.drawText(box, Qt::AlignCenter, text);
    }
}

void PenCanvasWindow::mousePressEvent(QMouseEvent* event) {
    if (drawing_ && event->button() == Qt::LeftButton) {
        strokes_.press(toPoint(event->position()));
    }
}

void PenCanvasWindow::mouseMoveEvent(QMouseEvent* event) {
    if (drawing_ && (event->buttons() & Qt::LeftButton)) {
        strokes_.drag(toPoint(event->position()));
    }
}

void PenCanvasWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (drawing_ && event->button() == Qt::LeftButton) {
        strokes_.release();
    }
}

void PenCanvasWindow::keyPressEvent(QKeyEvent* event) {
    if (drawing_ && event->key() == Qt::Key_Escape) {
        onEscape_();
        return;
    }
    event->ignore();
}

void PenCanvasWindow::exposed() {
    // Draw mode switched on before the window manager mapped the window, or
    // the window was unmapped and mapped again, which ended the grab: it is
    // taken now. Later exposures (strokes growing the shape) find it held.
    if (drawing_ && !composited_ && !holdsPointer()) {
        grabPointer();
    }
}

void PenCanvasWindow::resizeEvent(QResizeEvent* event) {
    FloatingWindow::resizeEvent(event);
    refresh();
}

}  // namespace tessera::overlays
