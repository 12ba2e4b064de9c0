#include "overlays/widgets/QtWindowFactory.h"

#include "overlays/Countdown.h"
#include "overlays/widgets/ControlStripWindow.h"
#include "overlays/widgets/CountdownWindow.h"
#include "overlays/widgets/PenOverlay.h"

namespace tessera::overlays {

QtWindowFactory::QtWindowFactory(Executor& executor, DisplaySource& displays)
    : executor_(executor), placement_(displays) {}

std::unique_ptr<CountdownOverlay> QtWindowFactory::makeCountdown() {
    return std::make_unique<Countdown>([this](Countdown& countdown) {
        return std::make_unique<CountdownWindow>(countdown, placement_);
    });
}

std::unique_ptr<ControlStrip> QtWindowFactory::makeControlStrip(AppState& state,
                                                                WeakController controller) {
    return std::make_unique<ControlStripPanel>(state, std::move(controller), executor_, placement_);
}

std::unique_ptr<DrawingOverlay> QtWindowFactory::makeDrawingOverlay() {
    return std::make_unique<PenOverlay>(executor_, placement_);
}

}  // namespace tessera::overlays
