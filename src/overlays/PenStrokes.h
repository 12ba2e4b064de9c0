#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "app/RgbaColor.h"
#include "support/Executor.h"
#include "support/Geometry.h"

namespace tessera::overlays {

// One piece of the path drawn through a stroke's points.
struct PathElement {
    enum class Kind { moveTo, lineTo, quadTo, ellipse };
    Kind kind;
    // moveTo/lineTo: the point; quadTo: the end point; ellipse: the centre.
    Point to;
    // quadTo: the control point; ellipse: width and height in x and y.
    Point control;
    friend bool operator==(const PathElement&, const PathElement&) = default;
};

// The smoothed path through `points`: nothing for none, a dot of diameter 1
// for one, a line for two, and for more a chain of quadratic curves through
// the midpoints of neighbouring points (each point is the control point of
// the curve that ends halfway to the next), closed by a line to the last
// point.
std::vector<PathElement> smoothedPath(const std::vector<Point>& points);

// Where the banner goes on a canvas of that size: at most 560 wide and 20
// free on each side, centred, 30 high, its top 34 below the canvas's top edge.
// Canvas coordinates with y downward.
Rect bannerFrame(Size canvas);

// The pen strokes and the banner of the drawing overlay, without a window.
// Every finished stroke fades 3 s after it was finished (or cut from a long
// stroke) over 0.45 s and then goes; the banner fades 4 s after it appeared
// over 0.4 s. All timers run on the executor's clock. Points are canvas
// coordinates; the smoothing does not care which way y points.
//
// Main thread (the executor's) only. onChange runs after every change that
// alters what is drawn, also when a fade starts and ends.
class PenStrokes {
  public:
    static constexpr double kFadeDelaySeconds = 3.0;
    static constexpr double kFadeSeconds = 0.45;
    static constexpr double kBannerSeconds = 4.0;
    static constexpr double kBannerFadeSeconds = 0.4;
    // A stroke is cut into a finished piece when it has this many points.
    static constexpr std::size_t kMaxPoints = 300;
    // Motion closer than this to the last point adds nothing.
    static constexpr double kMinStep = 1.0;

    struct Stroke {
        std::uint64_t id = 0;
        std::vector<Point> points;
        RgbaColor color;
        RgbaColor glow;
        // Set once the fade has begun.
        std::optional<TimePoint> fadeStart;
        // The fade's start timer, then its removal timer; 0 for the active stroke.
        TimerId timer = 0;
    };
    struct Banner {
        std::string text;
        std::optional<TimePoint> fadeStart;
        TimerId timer = 0;
    };

    explicit PenStrokes(Executor& executor);
    ~PenStrokes();
    PenStrokes(const PenStrokes&) = delete;
    PenStrokes& operator=(const PenStrokes&) = delete;

    // For strokes started from now on.
    void setColors(const RgbaColor& stroke, const RgbaColor& glow);

    void press(Point p);
    void drag(Point p);
    void release();

    // Replaces a banner that is shown, and restarts the timer.
    void showBanner(std::string text);
    // Removes every stroke (also fading ones) and the banner at once and
    // cancels their timers.
    void clear();

    // Finished strokes, oldest first.
    const std::list<Stroke>& finished() const { return finished_; }
    const std::optional<Stroke>& active() const { return active_; }
    const std::optional<Banner>& banner() const { return banner_; }
    // 1 until the fade starts, then down to 0 over the fade.
    double opacity(const Stroke& stroke) const;
    double bannerOpacity() const;
    // Whether something is fading now (the window repaints while it is).
    bool isAnimating() const;

    std::function<void()> onChange;

  private:
    void finishActive();
    void scheduleFade(Stroke& stroke);
    void startFade(std::uint64_t id);
    void remove(std::uint64_t id);
    void removeBanner();
    void changed();
    double fadeOpacity(const std::optional<TimePoint>& fadeStart, double seconds) const;

    Executor& executor_;
    RgbaColor color_{0.686, 0.322, 0.871, 1.0};
    RgbaColor glow_{1, 1, 1, 1};
    std::list<Stroke> finished_;
    std::optional<Stroke> active_;
    std::optional<Banner> banner_;
    std::uint64_t nextID_ = 1;
    // Timers may fire after this object is gone only if the executor outlives
    // it without the timers being cancelled; the destructor cancels them all.
};

}  // namespace tessera::overlays
