#include "camera/effects/FaceFraming.h"

#include "camera/effects/EffectGeometry.h"

namespace tessera::effects {

std::optional<Rect> FaceFraming::advance(const std::optional<Rect>& face, const Rect& extent) {
    Rect target;
    Rect current;
    if (face) {
        target = frameTarget(*face, extent);
        current = framedRect_.value_or(target);
    } else {
        if (!framedRect_) {
            return std::nullopt;
        }
        target = current = *framedRect_;
    }
    framedRect_ = easedFrame(current, target);
    return framedRect_;
}

}  // namespace tessera::effects
