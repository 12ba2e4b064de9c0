#include "overlays/PenStrokes.h"

#include <algorithm>
#include <cmath>

namespace tessera::overlays {

std::vector<PathElement> smoothedPath(const std::vector<Point>& points) {
    using Kind = PathElement::Kind;
    std::vector<PathElement> path;
    if (points.empty()) {
        return path;
    }
    if (points.size() == 1) {
        path.push_back({Kind::ellipse, points[0], {1, 1}});
        return path;
    }
    path.push_back({Kind::moveTo, points[0], {}});
    for (std::size_t i = 1; i + 1 < points.size(); ++i) {
        const Point mid{(points[i].x + points[i + 1].x) / 2, (points[i].y + points[i + 1].y) / 2};
        path.push_back({Kind::quadTo, mid, points[i]});
    }
    path.push_back({Kind::lineTo, points.back(), {}});
    return path;
}

Rect bannerFrame(Size canvas) {
    const double width = std::min(canvas.width - 40, 560.0);
    return Rect((canvas.width - width) / 2, 34, width, 30);
}

PenStrokes::PenStrokes(Executor& executor) : executor_(executor) {}

PenStrokes::~PenStrokes() {
    onChange = nullptr;
    clear();
}

void PenStrokes::setColors(const RgbaColor& stroke, const RgbaColor& glow) {
    color_ = stroke;
    glow_ = glow;
}

void PenStrokes::press(Point p) {
    active_ = Stroke{nextID_++, {p}, color_, glow_, std::nullopt, 0};
    changed();
}

void PenStrokes::drag(Point p) {
    if (!active_) {
        return;
    }
    const Point& last = active_->points.back();
    if (std::hypot(p.x - last.x, p.y - last.y) < kMinStep) {
        return;
    }
    active_->points.push_back(p);
    if (active_->points.size() >= kMaxPoints) {
        // Long strokes go piece by piece: the part drawn so far starts its
        // fade now and the stroke goes on from this point.
        finishActive();
        active_ = Stroke{nextID_++, {p}, color_, glow_, std::nullopt, 0};
    }
    changed();
}

void PenStrokes::release() {
    if (!active_) {
        return;
    }
    finishActive();
    changed();
}

void PenStrokes::finishActive() {
    finished_.push_back(std::move(*active_));
    active_.reset();
    scheduleFade(finished_.back());
}

void PenStrokes::scheduleFade(Stroke& stroke) {
    stroke.timer = executor_.schedule(executor_.now() + seconds(kFadeDelaySeconds),
                                      [this, id = stroke.id] { startFade(id); });
}

void PenStrokes::startFade(std::uint64_t id) {
    auto it = std::ranges::find(finished_, id, &Stroke::id);
    if (it == finished_.end()) {
        return;
    }
    it->fadeStart = executor_.now();
    it->timer =
        executor_.schedule(executor_.now() + seconds(kFadeSeconds), [this, id] { remove(id); });
    changed();
}

void PenStrokes::remove(std::uint64_t id) {
    std::erase_if(finished_, [id](const Stroke& s) { return s.id == id; });
    changed();
}

void PenStrokes::showBanner(std::string text) {
    if (banner_) {
        executor_.cancelTimer(banner_->timer);
    }
    banner_ = Banner{std::move(text), std::nullopt, 0};
    banner_->timer = executor_.schedule(executor_.now() + seconds(kBannerSeconds), [this] {
        banner_->fadeStart = executor_.now();
        banner_->timer = executor_.schedule(executor_.now() + seconds(kBannerFadeSeconds),
                                            [this] { removeBanner(); });
        changed();
    });
    changed();
}

void PenStrokes::removeBanner() {
    banner_.reset();
    changed();
}

void PenStrokes::clear() {
    if (banner_) {
        executor_.cancelTimer(banner_->timer);
        banner_.reset();
    }
    active_.reset();
    for (const Stroke& stroke : finished_) {
        executor_.cancelTimer(stroke.timer);
    }
    finished_.clear();
    changed();
}

double PenStrokes::fadeOpacity(const std::optional<TimePoint>& fadeStart, double seconds) const {
    if (!fadeStart) {
        return 1.0;
    }
    return std::clamp(1.0 - toSeconds(executor_.now() - *fadeStart) / seconds, 0.0, 1.0);
}

double PenStrokes::opacity(const Stroke& stroke) const {
    return fadeOpacity(stroke.fadeStart, kFadeSeconds);
}

double PenStrokes::bannerOpacity() const {
    return banner_ ? fadeOpacity(banner_->fadeStart, kBannerFadeSeconds) : 0.0;
}

bool PenStrokes::isAnimating() const {
    if (banner_ && banner_->fadeStart) {
        return true;
    }
    return std::ranges::any_of(finished_, [](const Stroke& s) { return s.fadeStart.has_value(); });
}

void PenStrokes::changed() {
    if (onChange) {
        onChange();
    }
}

}  // namespace tessera::overlays
