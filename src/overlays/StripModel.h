#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/Executor.h"
#include "support/Geometry.h"

namespace tessera {
class AppState;
}

namespace tessera::overlays {

// What the control strip shows and does, without a window.

enum class StripAction { pauseResume, stop, restart, mic, camera, draw, discard, rotate };

// One button of the strip as it is drawn now. `icon` is the symbol's name
// (the window maps it to a glyph).
struct StripButton {
    StripAction action;
    std::string icon;
    std::string help;
    // Highlighted: a muted microphone, a hidden camera, draw mode, an armed
    // confirm button.
    bool active = false;
    bool enabled = true;
    // A confirm button waiting for its second click.
    bool armed = false;
};

inline constexpr std::string_view kNotLiveHelp = "Starts with the recording";

// The strip's buttons for the state, in order: pause/resume, stop, restart,
// microphone and camera (absent during a live recording without them), pen,
// discard, and last the rotate button. Before the recording is live every
// control but rotate is disabled with kNotLiveHelp.
std::vector<StripButton> stripButtons(const AppState& state, bool restartArmed, bool discardArmed);

// The recording is live: recording or paused.
bool isLive(const AppState& state);

// The time the strip shows.
std::string stripTime(const AppState& state);

// The restart and discard buttons, which act on their second click. A first
// click arms a button for 3 s (on the executor's clock); arming one disarms
// the other. Main thread only.
class ConfirmButtons {
  public:
    static constexpr double kDisarmSeconds = 3.0;
    enum class Which { restart, discard };

    explicit ConfirmButtons(Executor& executor);
    ~ConfirmButtons();
    ConfirmButtons(const ConfirmButtons&) = delete;
    ConfirmButtons& operator=(const ConfirmButtons&) = delete;

    // A click on an enabled button: true when the action is to run now (the
    // button was armed; it is disarmed again), false when this click armed it.
    bool click(Which which);
    bool isArmed(Which which) const { return armed_ == which; }
    void disarm();

    // After every change of the armed button.
    std::function<void()> onChange;

  private:
    Executor& executor_;
    std::optional<Which> armed_;
    TimerId timer_ = 0;
};

// Where the strip opens on a display whose visible frame is `visible`: the
// stored origin when there is one and the strip placed there meets the visible
// frame (moved inside it as far as it fits), else 16 from the left and top
// edges. Global points (y upward).
Point restoredOrigin(Size strip, const Rect& visible, std::optional<double> storedX,
                     std::optional<double> storedY);

// The frame of a window of size `size` whose top-left corner stays where that
// of `frame` is. Global points (y upward).
Rect keepingTopLeft(const Rect& frame, Size size);

}  // namespace tessera::overlays
