#include "overlays/StripModel.h"

#include <algorithm>

#include "app/AppState.h"
#include "app/FormatElapsed.h"

namespace tessera::overlays {

namespace {
using Kind = RecorderPhase::Kind;
}

bool isLive(const AppState& state) {
    return state.phase().is(Kind::recording) || state.phase().is(Kind::paused);
}

std::string stripTime(const AppState& state) {
    return isLive(state) ? formatElapsed(state.elapsed()) : "00:00";
}

namespace {

std::string drawHelp(const AppState& state) {
    if (state.drawingUnavailable()) {
        return "Drawing isn't available when recording a single window";
    }
    if (state.drawingInvisibleInCapture()) {
        return "Pen strokes won't appear in this recording";
    }
    return state.drawModeEnabled() ? "Stop drawing (Esc)"
                                   : "Draw on screen — clicks pause while drawing";
}

}  // namespace

std::vector<StripButton> stripButtons(const AppState& state, bool restartArmed, bool discardArmed) {
    const bool live = isLive(state);
    const bool paused = state.phase().is(Kind::paused);
    std::vector<StripButton> buttons;
    buttons.push_back({StripAction::pauseResume, paused ? "play.fill" : "pause.fill",
                       paused ? "Resume" : "Pause"});
    buttons.push_back({StripAction::stop, "stop.fill", "Stop & get link"});
    buttons.push_back(
        {StripAction::restart, "arrow.counterclockwise",
         restartArmed ? "Click again to restart — this take is deleted" : "Restart recording",
         restartArmed, true, restartArmed});
    if (!live || state.micEnabled()) {
        const bool muted = state.micMuted();
        buttons.push_back({StripAction::mic, muted ? "mic.slash.fill" : "mic.fill",
                           muted ? "Unmute microphone" : "Mute microphone", muted});
    }
    if (!live || state.cameraEnabled()) {
        const bool hidden = state.cameraBubbleHidden();
        buttons.push_back({StripAction::camera, hidden ? "video.slash.fill" : "video.fill",
                           hidden ? "Show camera preview" : "Hide preview (keeps recording)",
                           hidden});
    }
    buttons.push_back(
        {StripAction::draw,
         state.drawingInvisibleInCapture() ? "exclamationmark.triangle" : "pencil.tip",
         drawHelp(state), state.drawModeEnabled(), !state.drawingUnavailable()});
    buttons.push_back(
        {StripAction::discard, "trash",
         discardArmed ? "Click again to discard — nothing is kept" : "Discard recording",
         discardArmed, true, discardArmed});
    if (!live) {
        for (StripButton& button : buttons) {
            button.enabled = false;
            button.help = std::string(kNotLiveHelp);
        }
    }
    buttons.push_back(
        {StripAction::rotate, "rotate.right",
         state.stripVertical() ? "Make the toolbar horizontal" : "Make the toolbar vertical"});
    return buttons;
}

ConfirmButtons::ConfirmButtons(Executor& executor) : executor_(executor) {}

ConfirmButtons::~ConfirmButtons() {
    executor_.cancelTimer(timer_);
}

bool ConfirmButtons::click(Which which) {
    executor_.cancelTimer(timer_);
    if (armed_ == which) {
        armed_.reset();
        if (onChange) {
            onChange();
        }
        return true;
    }
    armed_ = which;
    timer_ = executor_.schedule(executor_.now() + seconds(kDisarmSeconds), [this] {
        armed_.reset();
        if (onChange) {
            onChange();
        }
    });
    if (onChange) {
        onChange();
    }
    return false;
}

void ConfirmButtons::disarm() {
    executor_.cancelTimer(timer_);
    if (armed_) {
        armed_.reset();
        if (onChange) {
            onChange();
        }
    }
}

Point restoredOrigin(Size strip, const Rect& visible, std::optional<double> storedX,
                     std::optional<double> storedY) {
    if (storedX && storedY &&
        Rect(*storedX, *storedY, strip.width, strip.height).intersects(visible)) {
        const double x = std::min(std::max(visible.minX(), visible.maxX() - strip.width),
                                  std::max(*storedX, visible.minX()));
        const double y = std::min(std::max(visible.minY(), visible.maxY() - strip.height),
                                  std::max(*storedY, visible.minY()));
        return {x, y};
    }
    return {visible.minX() + 16, visible.maxY() - strip.height - 16};
}

Rect keepingTopLeft(const Rect& frame, Size size) {
    return Rect(frame.minX(), frame.maxY() - size.height, size.width, size.height);
}

}  // namespace tessera::overlays
