#pragma once

#include <memory>

#include "capture/ControllerPorts.h"
#include "overlays/widgets/FloatingWindow.h"
#include "support/Executor.h"

namespace tessera::overlays {

// Makes the controller's floating windows: the countdown, the control strip
// and the pen overlay, all placed through one DisplayPlacement. Main thread.
class QtWindowFactory final : public WindowFactory {
  public:
    // `executor` is the main-thread executor whose clock drives the windows'
    // timers (fades, banner, disarming); `displays` gives the displays'
    // frames. Both must outlive the factory and every window it makes.
    QtWindowFactory(Executor& executor, DisplaySource& displays);

    std::unique_ptr<CountdownOverlay> makeCountdown() override;
    std::unique_ptr<ControlStrip> makeControlStrip(AppState& state,
                                                   WeakController controller) override;
    std::unique_ptr<DrawingOverlay> makeDrawingOverlay() override;

    const DisplayPlacement& placement() const { return placement_; }

  private:
    Executor& executor_;
    DisplayPlacement placement_;
};

}  // namespace tessera::overlays
