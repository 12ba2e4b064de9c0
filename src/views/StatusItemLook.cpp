#include "views/StatusItemLook.h"

#include "app/FormatElapsed.h"

namespace tessera::views {

StatusItemLook statusItemLook(const RecorderPhase& phase, double elapsedSeconds) {
    using Kind = RecorderPhase::Kind;
    StatusItemLook look;
    if (!phase.is(Kind::recording) && !phase.is(Kind::paused)) {
        look.icon = StatusIcon::idle;
        look.accessibleDescription = "Tessera Recorder";
        look.tooltip = look.accessibleDescription;
        return look;
    }
    const bool recording = phase.is(Kind::recording);
    look.icon = recording ? StatusIcon::recording : StatusIcon::paused;
    look.accessibleDescription = recording ? "Recording" : "Paused";
    look.title = " " + formatElapsed(elapsedSeconds);
    look.tooltip = look.accessibleDescription + " " + look.title;
    return look;
}

}  // namespace tessera::views
