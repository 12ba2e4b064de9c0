#pragma once

#include <optional>

#include "support/Geometry.h"

namespace tessera::effects {

// Keeps the largest face framed: the crop window eases toward frameTarget of the
// face on every frame, starts at the target when there was no crop yet, and holds
// still while no face is seen. The window survives the effect being switched off.
class FaceFraming {
  public:
    // The crop window for this frame (bottom-left origin), or nothing when no face
    // has ever been framed.
    std::optional<Rect> advance(const std::optional<Rect>& face, const Rect& extent);

    const std::optional<Rect>& framedRect() const { return framedRect_; }

  private:
    std::optional<Rect> framedRect_;
};

}  // namespace tessera::effects
