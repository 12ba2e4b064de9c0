#pragma once

#include <QIcon>

#include "views/StatusItemLook.h"

namespace tessera::views {

// The tray's three pictures, drawn with QPainter at whatever size the tray
// asks for: a ring with a dot (idle), a red filled disc with a light dot
// (recording), a filled disc with two pause bars (paused). Idle and paused
// take the palette's text colour so they match the desktop theme; the
// recording picture keeps its red.
QIcon statusIcon(StatusIcon kind);

// The red of the recording picture.
inline constexpr QRgb kRecordingRed = 0xFFFF3B30;

}  // namespace tessera::views
