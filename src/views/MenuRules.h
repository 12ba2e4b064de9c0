#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/RecorderPhase.h"

namespace tessera::views {

// The views of the drop-down panel; one per group of phases.
enum class MenuView { idle, starting, recording, finishing, done, error };

MenuView menuViewFor(const RecorderPhase& phase);

// The texts and switches of the view for the session's current phase (every
// view but the idle one, whose rules follow below).
struct SessionViewContent {
    MenuView view = MenuView::idle;
    std::string title;
    // Countdown hint, or the error's message; empty when there is none.
    std::string subtitle;
    // The clock of the recording view.
    std::string elapsed;
    // The recording view's pause button: "Pause" while recording, "Resume"
    // while paused.
    std::string pauseLabel;
    bool pulsing = false;
    // The error view offers "Retry finalize" only while a finalize can be
    // repeated; "Dismiss" is always there.
    bool offersRetryFinalize = false;
};

SessionViewContent sessionViewContent(const AppState& state);

// The target row's title: the chosen display's name (or "Full screen" with a
// single display or none matching), or in window mode the chosen window's
// name, or "No window available".
std::string screenTitle(const AppState& state);

// Why the window list is empty, shown in place of the windows; none when
// there are windows.
std::optional<std::string> windowListNotice(const AppState& state);

// A device row's title: the listed device with the chosen id; the system's
// default device when none is chosen; the fallback when neither is known.
std::string deviceTitle(const std::string& selectedID,
                        const std::vector<CaptureDeviceOption>& devices,
                        const std::optional<std::string>& defaultDeviceName,
                        const std::string& fallback);
inline const std::string kDefaultCameraTitle = "Default Camera";
inline const std::string kDefaultMicrophoneTitle = "System Default";

// Whether "Start recording" is enabled: screen capture allowed, the server not
// known to be unreachable (an unanswered check still allows it), and in window
// mode a chosen window.
bool canStart(const AppState& state);

// The warning under the start button; only when the server is known to be
// unreachable.
std::optional<std::string> serverWarning(const AppState& state);

// "No recording limit", with the start/stop key when that key is on.
std::string startCaption(bool hotkeyEnabled);

// The help text of the server status dot.
std::string serverStatusHelp(std::optional<bool> reachable, const std::string& baseURL);

// How long a copy button shows "Copied", in milliseconds.
inline constexpr int kCopiedFeedbackMs = 1500;

}  // namespace tessera::views
