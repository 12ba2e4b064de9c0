#pragma once

#include <string>

#include "app/RecorderPhase.h"

namespace tessera::views {

// The three pictures the tray icon can show.
enum class StatusIcon { idle, recording, paused };

// What the tray icon shows for a phase. A tray has no room for a text title,
// so the running clock goes into the tooltip instead.
struct StatusItemLook {
    StatusIcon icon = StatusIcon::idle;
    // The icon's accessible name: "Tessera Recorder", "Recording" or "Paused".
    std::string accessibleDescription;
    // The clock text with its leading space (" 01:15") while recording or
    // paused; empty otherwise.
    std::string title;
    // "Tessera Recorder", or "Recording  01:15" / "Paused  01:15".
    std::string tooltip;

    friend bool operator==(const StatusItemLook&, const StatusItemLook&) = default;
};

// The look for a phase and the session's elapsed seconds (frozen while paused
// because the controller stops advancing it).
StatusItemLook statusItemLook(const RecorderPhase& phase, double elapsedSeconds);

}  // namespace tessera::views
