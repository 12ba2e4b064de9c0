#include "camera/widgets/CameraBubbleRecording.h"

#include "app/AppState.h"
#include "camera/CameraEffectsAdapter.h"
#include "camera/widgets/BubbleMenuView.h"

namespace tessera {

CameraBubbleRecording::CameraBubbleRecording(CameraSource& cameras,
                                             std::shared_ptr<CameraFrameEffects> effects,
                                             AppState& state, overlays::DisplayPlacement& placement,
                                             Executor& executor, const HostClock& clock)
    : state_(state),
      executor_(executor),
      bubble_(placement, state.settingsStore(), executor, state.selectedDisplayID()),
      recorder_(cameras, std::move(effects), executor, clock) {
    recorder_.onPreviewFrame = [this](const VideoSample& frame) {
        bubble_.showFrame(frame);
    };
    bubble_.makeMenu = [this] {
        return new BubbleMenuView(state_, menuActions_);
    };
    // Told before each change: the setting is read once the assignment is over.
    mirroredSubscription_ = state_.subscribe([this] {
        executor_.post([this, alive = std::weak_ptr<int>(alive_)] {
            if (!alive.expired()) {
                recorder_.setMirrored(state_.cameraMirrored());
            }
        });
    });
}

CameraBubbleRecording::~CameraBubbleRecording() = default;

Task<void> CameraBubbleRecording::startPreview(std::optional<std::string> deviceID, bool mirrored,
                                               std::uint32_t displayID) {
    bubble_.moveBubble(displayID);
    bubble_.showBubble();
    try {
        recorder_.startPreview(deviceID.value_or(""), mirrored);
    } catch (...) {
        bubble_.hideBubble();
        throw;
    }
    co_return;
}

void CameraBubbleRecording::beginRecording(std::function<void(SegmentBytes)> onSegment) {
    recorder_.beginRecording(std::move(onSegment));
}

void CameraBubbleRecording::setMenuActions(BubbleMenuActions actions) {
    menuActions_ = std::move(actions);
}

void CameraBubbleRecording::setOnBubbleResized(std::function<void(double diameter)> hook) {
    bubble_.onBubbleResized = std::move(hook);
}

void CameraBubbleRecording::pause() {
    recorder_.pause();
}

void CameraBubbleRecording::resume() {
    recorder_.resume();
}

Task<void> CameraBubbleRecording::finishRecording() {
    co_await recorder_.finishRecording();
}

Task<void> CameraBubbleRecording::cancelRecording() {
    co_await recorder_.cancelRecording();
}

Task<void> CameraBubbleRecording::stopSession() {
    co_await recorder_.stopSession();
}

void CameraBubbleRecording::moveBubble(std::uint32_t displayID) {
    bubble_.moveBubble(displayID);
}

void CameraBubbleRecording::hideBubble() {
    bubble_.hideBubble();
}

void CameraBubbleRecording::orderBubbleFront() {
    bubble_.orderFront();
}

void CameraBubbleRecording::orderBubbleOut() {
    bubble_.orderOut();
}

void CameraBubbleRecording::setBubbleSize(double diameter) {
    bubble_.setBubbleSize(diameter);
}

void CameraBubbleRecording::setFullScreen(bool fullScreen) {
    bubble_.setFullScreen(fullScreen);
}

void CameraBubbleRecording::setEffectSettings(const CameraEffectSettings& settings) {
    recorder_.setEffectSettings(settings);
}

CameraBubbleFactory::CameraBubbleFactory(CameraSource& cameras, AppState& state,
                                         DisplaySource& displays, Executor& executor,
                                         const HostClock& clock,
                                         std::filesystem::path modelDirectory)
    : makeEffects([modelDirectory = std::move(modelDirectory)] {
          return std::make_shared<CameraEffectsAdapter>(modelDirectory);
      }),
      cameras_(cameras),
      state_(state),
      placement_(displays),
      executor_(executor),
      clock_(clock) {}

std::shared_ptr<CameraRecording> CameraBubbleFactory::makeCameraRecorder() {
    return std::make_shared<CameraBubbleRecording>(cameras_, makeEffects ? makeEffects() : nullptr,
                                                   state_, placement_, executor_, clock_);
}

}  // namespace tessera
