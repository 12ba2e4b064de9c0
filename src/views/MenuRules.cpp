#include "views/MenuRules.h"

#include <algorithm>

#include "app/FormatElapsed.h"

namespace tessera::views {

using Kind = RecorderPhase::Kind;

MenuView menuViewFor(const RecorderPhase& phase) {
    switch (phase.kind()) {
        case Kind::idle:
            return MenuView::idle;
        case Kind::countingDown:
        case Kind::preparing:
            return MenuView::starting;
        case Kind::recording:
        case Kind::paused:
            return MenuView::recording;
        case Kind::finishing:
            return MenuView::finishing;
        case Kind::done:
            return MenuView::done;
        case Kind::error:
            return MenuView::error;
    }
    return MenuView::idle;
}

SessionViewContent sessionViewContent(const AppState& state) {
    const RecorderPhase& phase = state.phase();
    SessionViewContent content;
    content.view = menuViewFor(phase);
    switch (phase.kind()) {
        case Kind::idle:
            break;
        case Kind::countingDown:
            content.title = "Starting…";
            content.subtitle = "Counting down — click it to start now, Esc to cancel";
            break;
        case Kind::preparing:
            content.title = "Starting recording…";
            break;
        case Kind::recording:
        case Kind::paused: {
            const bool recording = phase.is(Kind::recording);
            content.title = recording ? "Recording" : "Paused";
            content.elapsed = formatElapsed(state.elapsed());
            content.pauseLabel = recording ? "Pause" : "Resume";
            content.pulsing = recording;
            break;
        }
        case Kind::finishing:
            content.title = "Finishing — uploading & processing…";
            break;
        case Kind::done:
            content.title = state.autoCopyLink() ? "Link copied to clipboard" : "Recording ready";
            break;
        case Kind::error:
            content.title = "Recording failed";
            content.subtitle = phase.message();
            content.offersRetryFinalize = state.canRetryFinalize();
            break;
    }
    return content;
}

std::string screenTitle(const AppState& state) {
    if (state.captureMode() == CaptureMode::window) {
        const auto selected = state.selectedWindowID();
        const auto& windows = state.windows();
        const auto found = std::find_if(windows.begin(), windows.end(), [&](const auto& window) {
            return selected && window.id == *selected;
        });
        return found == windows.end() ? "No window available" : found->displayName();
    }
    const auto& displays = state.displays();
    if (displays.size() < 2) {
        return "Full screen";
    }
    const auto found = std::find_if(displays.begin(), displays.end(), [&](const auto& display) {
        return display.id == state.selectedDisplayID();
    });
    return found == displays.end() ? "Full screen" : found->name;
}

std::optional<std::string> windowListNotice(const AppState& state) {
    if (!state.hasScreenPermission()) {
        return "Grant Screen Recording permission to list windows.";
    }
    if (state.windows().empty()) {
        return "No capturable windows found — open a window, then reopen this menu.";
    }
    return std::nullopt;
}

std::string deviceTitle(const std::string& selectedID,
                        const std::vector<CaptureDeviceOption>& devices,
                        const std::optional<std::string>& defaultDeviceName,
                        const std::string& fallback) {
    if (selectedID.empty()) {
        return defaultDeviceName.value_or(fallback);
    }
    const auto found = std::find_if(devices.begin(), devices.end(),
                                    [&](const auto& device) { return device.id == selectedID; });
    return found == devices.end() ? fallback : found->name;
}

bool canStart(const AppState& state) {
    if (!state.hasScreenPermission() || state.serverReachable() == false) {
        return false;
    }
    return state.captureMode() != CaptureMode::window || state.selectedWindowID().has_value();
}

std::optional<std::string> serverWarning(const AppState& state) {
    if (state.serverReachable() == false) {
        return "Server unreachable — start the Tessera web app first";
    }
    return std::nullopt;
}

std::string startCaption(bool hotkeyEnabled) {
    return hotkeyEnabled ? "No recording limit  ·  Shift+Super+2" : "No recording limit";
}

std::string serverStatusHelp(std::optional<bool> reachable, const std::string& baseURL) {
    if (!reachable) {
        return "Checking server…";
    }
    if (*reachable) {
        return "Server reachable at " + baseURL;
    }
    return "Can't reach " + baseURL + " — is the web app running?";
}

}  // namespace tessera::views
