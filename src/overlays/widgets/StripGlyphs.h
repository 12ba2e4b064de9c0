#pragma once

#include <QColor>
#include <QRectF>
#include <string_view>

class QPainter;

namespace tessera::overlays {

// Paints the strip's symbol of that name (the names StripModel gives, such as
// "pause.fill" or "mic.slash.fill") into `box`, in one colour. The strip is
// dark on every theme, so it draws its own white line glyphs rather than
// theme icons made for light and dark panels. An unknown name paints nothing.
void paintStripGlyph(QPainter& painter, std::string_view icon, const QRectF& box,
                     const QColor& color, bool bold);

}  // namespace tessera::overlays
