#include "camera/widgets/CameraBubble.h"

#include <QCursor>
#include <QVBoxLayout>
#include <cmath>

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "camera/widgets/BubbleDotsButton.h"
#include "camera/widgets/BubbleMenuView.h"
#include "camera/widgets/CameraBubbleView.h"
#include "overlays/widgets/FloatingWindow.h"

namespace tessera {

namespace keys = settings_keys;
using overlays::FloatingWindow;
using overlays::FocusPolicy;
using overlays::FrameKind;

namespace {

std::optional<double> storedNumber(const SettingsStore& store, std::string_view key) {
    const auto value = store.get(key);
    if (!value || !value->is_number()) {
        return std::nullopt;
    }
    return value->get<double>();
}

}  // namespace

CameraBubble::CameraBubble(overlays::DisplayPlacement& placement, SettingsStore& store,
                           Executor& executor, std::uint32_t displayID)
    : placement_(placement), store_(store), executor_(executor), targetDisplayID_(displayID) {}

CameraBubble::~CameraBubble() {
    hideBubble();
}

std::optional<Point> CameraBubble::storedOrigin() const {
    const auto x = storedNumber(store_, keys::kCameraBubbleX);
    const auto y = storedNumber(store_, keys::kCameraBubbleY);
    if (!x || !y) {
        return std::nullopt;
    }
    return Point{*x, *y};
}

Rect CameraBubble::visibleFrame() const {
    return placement_.frame(targetDisplayID_, FrameKind::visible);
}

void CameraBubble::showBubble() {
    if (window_) {
        return;
    }
    const double size = bubble::restoredBubbleSize(storedNumber(store_, keys::kCameraBubbleSize));
    const Point origin = bubble::restoredBubbleOrigin(size, storedOrigin(), visibleFrame());

    window_ = std::make_unique<FloatingWindow>(FocusPolicy::never);
    window_->setWindowTitle(QStringLiteral("Camera"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new CameraBubbleView(executor_, window_.get());
    layout->addWidget(view_);
    view_->onHoverChanged = [this] {
        syncHover();
    };
    view_->onDotsActivated = [this] {
        showMenu();
    };
    view_->onResizeRequested = [this](double diameter) {
        if (onBubbleResized) {
            onBubbleResized(diameter);
        }
    };
    view_->onDrag = [this](CameraBubbleView::DragPhase phase, QPoint position) {
        drag(phase, position);
    };
    place(Rect(origin, Size{size, bubble::windowHeight(size)}));
    window_->show();
    updateAnchor();
}

void CameraBubble::hideBubble() {
    dragStart_.reset();
    if (menuWindow_) {
        menuWindow_->hide();
        menuWindow_.reset();
        menuView_ = nullptr;
    }
    if (window_) {
        window_->hide();
        window_.reset();
        view_ = nullptr;
    }
    fullScreen_ = false;
    preFullScreenFrame_.reset();
}

// Gives the window a frame in global points; the only place the bubble
// window is moved or resized.
void CameraBubble::place(const Rect& frame) {
    frame_ = frame;
    if (window_) {
        window_->setGeometry(placement_.toQt(frame));
        updateShape();
    }
}

void CameraBubble::updateShape() {
    if (!window_ || !view_) {
        return;
    }
    // Laid out now, so the shape matches the new size.
    view_->setGeometry(window_->rect());
    if (fullScreen_) {
        window_->setVisibleShape(QRegion(window_->rect()));
        return;
    }
    view_->setShadow(FloatingWindow::compositorRunning());
    QRegion shape(view_->pictureRect(), QRegion::Ellipse);
    if (view_->dotsVisible()) {
        shape = shape.united(view_->dotsButton().geometry());
    }
    window_->setVisibleShape(shape);
}

void CameraBubble::updateAnchor() {
    if (!window_ || fullScreen_) {
        return;
    }
    anchor_ = bubble::anchorFor(frame_, bubble::bubbleArea(visibleFrame()));
}

void CameraBubble::persistFrame() {
    store_.set(keys::kCameraBubbleX, frame_.minX());
    store_.set(keys::kCameraBubbleY, frame_.minY());
    store_.set(keys::kCameraBubbleSize, frame_.width());
}

void CameraBubble::setBubbleSize(double diameter) {
    if (!window_ || fullScreen_) {
        return;
    }
    const auto resized =
        bubble::resizedBubbleFrame(frame_, diameter, anchor_, bubble::bubbleArea(visibleFrame()));
    if (!resized) {
        return;
    }
    place(*resized);
    placeMenu();
    persistFrame();
    if (onBubbleResized) {
        onBubbleResized(frame_.width());
    }
}

void CameraBubble::moveBubble(std::uint32_t displayID) {
    targetDisplayID_ = displayID;
    if (!window_) {
        return;
    }
    hideMenu();
    if (fullScreen_) {
        place(placement_.frame(displayID, FrameKind::whole));
        return;
    }
    const Point origin =
        bubble::restoredBubbleOrigin(frame_.width(), storedOrigin(), visibleFrame());
    if (!(origin == frame_.origin)) {
        place(Rect(origin, frame_.size));
    }
    updateAnchor();
}

void CameraBubble::setFullScreen(bool on) {
    if (!window_ || fullScreen_ == on) {
        return;
    }
    hideMenu();
    if (on) {
        preFullScreenFrame_ = frame_;
        fullScreen_ = true;
        view_->setFullScreen(true);
        place(placement_.frame(targetDisplayID_, FrameKind::whole));
        return;
    }
    Rect target;
    if (preFullScreenFrame_) {
        target = *preFullScreenFrame_;
    } else {
        const double size =
            bubble::restoredBubbleSize(storedNumber(store_, keys::kCameraBubbleSize));
        target = Rect(bubble::restoredBubbleOrigin(size, std::nullopt, visibleFrame()),
                      Size{size, bubble::windowHeight(size)});
    }
    preFullScreenFrame_.reset();
    fullScreen_ = false;
    view_->setFullScreen(false);
    place(target);
}

void CameraBubble::orderFront() {
    if (window_) {
        window_->show();
        window_->raise();
    }
}

void CameraBubble::orderOut() {
    hideMenu();
    if (window_) {
        window_->hide();
    }
}

void CameraBubble::showFrame(const VideoSample& frame) {
    if (view_) {
        view_->showFrame(frame);
    }
}

bool CameraBubble::menuVisible() const {
    return menuWindow_ && menuWindow_->isVisible();
}

void CameraBubble::syncHover() {
    if (!window_) {
        return;
    }
    const QPoint pointer = QCursor::pos();
    const bool overBubble = placement_.toQt(frame_).contains(pointer);
    if (menuVisible() && !overBubble && !menuWindow_->geometry().contains(pointer)) {
        hideMenu();
    }
    const bool dots = overBubble && !menuVisible();
    if (dots != view_->dotsVisible()) {
        view_->setDotsVisible(dots);
        updateShape();
    }
}

void CameraBubble::showMenu() {
    if (!window_ || !makeMenu) {
        return;
    }
    if (!menuWindow_) {
        menuWindow_ = std::make_unique<FloatingWindow>(FocusPolicy::never);
        menuWindow_->setWindowTitle(QStringLiteral("Camera menu"));
    }
    delete menuView_;
    menuView_ = makeMenu();
    menuView_->setParent(menuWindow_.get());
    menuView_->onHoverChanged = [this] {
        syncHover();
    };
    menuView_->onShapeChanged = [this] {
        if (menuWindow_ && menuView_) {
            menuWindow_->setVisibleShape(menuView_->visibleRegion());
        }
    };
    menuView_->adjustSize();
    menuView_->move(0, 0);
    menuView_->show();
    placeMenu();
    menuWindow_->setVisibleShape(menuView_->visibleRegion());
    menuWindow_->show();
    menuWindow_->raise();
    view_->setDotsVisible(false);
    updateShape();
}

void CameraBubble::hideMenu() {
    if (menuWindow_) {
        menuWindow_->hide();
    }
}

void CameraBubble::placeMenu() {
    if (!menuWindow_ || !menuView_) {
        return;
    }
    const QSize size = menuView_->size();
    const Point origin = bubble::menuOrigin(
        Size{static_cast<double>(size.width()), static_cast<double>(size.height())}, frame_,
        visibleFrame(), fullScreen_);
    menuWindow_->setGeometry(placement_.toQt(
        Rect(origin, Size{static_cast<double>(size.width()), static_cast<double>(size.height())})));
}

void CameraBubble::drag(CameraBubbleView::DragPhase phase, QPoint position) {
    using Phase = CameraBubbleView::DragPhase;
    switch (phase) {
        case Phase::began:
            dragStart_ = std::make_pair(frame_.origin, position);
            return;
        case Phase::moved: {
            if (!dragStart_ || fullScreen_) {
                return;
            }
            const QPoint delta = position - dragStart_->second;
            // Window-system y grows downward; global points grow upward.
            const Point proposed{dragStart_->first.x + delta.x(), dragStart_->first.y - delta.y()};
            const Point origin =
                bubble::constrainedDragOrigin(proposed, frame_.size, visibleFrame());
            if (origin == frame_.origin) {
                return;
            }
            place(Rect(origin, frame_.size));
            placeMenu();
            updateAnchor();
            persistFrame();
            return;
        }
        case Phase::ended:
            dragStart_.reset();
            return;
    }
}

}  // namespace tessera
