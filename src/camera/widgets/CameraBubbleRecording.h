#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "camera/widgets/CameraBubble.h"
#include "capture/ControllerPorts.h"
#include "media/CameraRecorder.h"
#include "overlays/widgets/FloatingWindow.h"
#include "support/ObserverList.h"

namespace tessera {

class AppState;
class CameraSource;
class DisplaySource;
class HostClock;

// The camera the capture controller drives: the camera recorder (capture and
// recording) joined with its bubble window and menu. Frames the recorder
// hands to the main thread are shown in the bubble; the bubble menu acts on
// `state` and on the controller's menu actions; mirroring follows the
// state's setting while the camera runs. Main thread.
class CameraBubbleRecording final : public CameraRecording {
  public:
    // Every reference must outlive this object; `effects` may be null.
    CameraBubbleRecording(CameraSource& cameras, std::shared_ptr<CameraFrameEffects> effects,
                          AppState& state, overlays::DisplayPlacement& placement,
                          Executor& executor, const HostClock& clock);
    ~CameraBubbleRecording() override;

    Task<void> startPreview(std::optional<std::string> deviceID, bool mirrored,
                            std::uint32_t displayID) override;
    void beginRecording(std::function<void(SegmentBytes)> onSegment) override;
    void setMenuActions(BubbleMenuActions actions) override;
    void setOnBubbleResized(std::function<void(double diameter)> hook) override;
    void pause() override;
    void resume() override;
    Task<void> finishRecording() override;
    Task<void> cancelRecording() override;
    Task<void> stopSession() override;
    void moveBubble(std::uint32_t displayID) override;
    void hideBubble() override;
    void orderBubbleFront() override;
    void orderBubbleOut() override;
    void setBubbleSize(double diameter) override;
    void setFullScreen(bool fullScreen) override;
    void setEffectSettings(const CameraEffectSettings& settings) override;

    CameraBubble& bubble() { return bubble_; }
    CameraRecorder& recorder() { return recorder_; }

  private:
    AppState& state_;
    Executor& executor_;
    BubbleMenuActions menuActions_;
    CameraBubble bubble_;
    CameraRecorder recorder_;
    Subscription mirroredSubscription_;
    // Guards the posts that re-read the mirroring setting.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// Makes the camera recorders of the application, each with an effects
// processor of its own on the models in `modelDirectory`.
class CameraBubbleFactory final : public CameraFactory {
  public:
    // Every reference must outlive the factory and the recorders it makes.
    CameraBubbleFactory(CameraSource& cameras, AppState& state, DisplaySource& displays,
                        Executor& executor, const HostClock& clock,
                        std::filesystem::path modelDirectory);

    std::shared_ptr<CameraRecording> makeCameraRecorder() override;

    // Effects for each new recorder; the default uses the OpenCV processor.
    std::function<std::shared_ptr<CameraFrameEffects>()> makeEffects;

  private:
    CameraSource& cameras_;
    AppState& state_;
    overlays::DisplayPlacement placement_;
    Executor& executor_;
    const HostClock& clock_;
};

}  // namespace tessera
