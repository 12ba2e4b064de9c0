#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "capture/ControllerPorts.h"
#include "support/AsyncQueue.h"
#include "support/Executor.h"
#include "support/RepeatingTimer.h"
#include "support/Task.h"

namespace tessera {

// The resources of one recording session: created by the start sequence,
// released by the stop path or the tear-down, and forgotten by resetSession().
struct CaptureSession {
    std::shared_ptr<SessionServer> api;
    std::optional<std::string> recordingID;
    std::shared_ptr<ScreenRecording> screenRecorder;
    std::shared_ptr<MicRecording> micWriter;
    std::optional<std::string> micWarning;
    // The queue the camera writer pushes into; made with the camera, before
    // the pipe that drains it exists.
    std::optional<AsyncQueue<SegmentBytes>> cameraContinuation;
    // The session's one upload pipe: the screen and camera queues and their
    // drains.
    std::shared_ptr<UploadPipe> pipe;
    // What the screen recorder captures, and how; chosen while preparing.
    std::optional<ContentFilter> filter;
    std::optional<StreamConfiguration> configuration;
};

// What the controller is built with. The references must outlive it.
struct CaptureControllerPorts {
    Executor& executor;
    GlobalHotKey& hotKey;
    WindowFactory& windows;
    MicMeter& micMeter;
    StartSequence& startSequence;
    ShareActions& share;
    ReadyNotifications& notifications;
    CameraFactory& cameras;
    DeviceAccess& access;
};

// Runs one recording session at a time from the start request to the share
// link: it owns the session's resources, is the only place where the phase
// changes, and keeps the elapsed-time clock. Views, the status item, the
// control strip, the countdown and the hot keys only call its operations.
//
// Main thread only. Every operation first checks the phase and silently does
// nothing in a phase it does not handle. Asynchronous operations return a Task
// bound to the main executor; they interleave only at suspension points.
// Closures handed to timers, hot keys and windows hold the controller weakly.
class CaptureController {
  public:
    static constexpr int kStartStopHotKeyID = 1;
    static constexpr int kPauseHotKeyID = 2;
    static constexpr int kExitFullScreenHotKeyID = 3;
    static constexpr HotKeyCombo kStartStopHotKey{HotKeyKey::digit2, kShift | kSuper};
    static constexpr HotKeyCombo kPauseHotKey{HotKeyKey::digit1, kShift | kSuper};
    static constexpr HotKeyCombo kExitFullScreenHotKey{HotKeyKey::escape, kNoModifier};

    // Registers the enabled hot keys and installs the state's change hooks.
    CaptureController(AppState& state, CaptureControllerPorts ports, std::uint32_t mainDisplayID);
    ~CaptureController();
    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;

    // Session operations.
    void start();
    void pause();
    void resume();
    Task<void> stop();
    Task<void> cancel();
    Task<void> restart();
    void acknowledgeDone();
    void dismissError();
    Task<void> retryFinalize();
    void setNotifyWhenReady(bool on);
    void copyLink();
    void openLibrary();
    void handleShortcut();
    void statusItemToggled();
    // The capture stream was stopped by the system (a window or display went
    // away).
    void streamStopped();

    // Recording-mode coordination: the camera bubble, control strip, meter,
    // pen overlay and hot keys kept in step with the state.
    void enterRecordingMode(bool showPanel);
    void exitRecordingMode();
    void showControlPanel();
    void syncMicMeter();
    void applyHotkeySetting();
    void applyPauseHotkeySetting();
    void setCameraEnabled(bool on);
    void cameraDeviceChanged();
    void captureTargetChanged();
    void setMicMuted(bool muted);
    void setCameraBubbleHidden(bool hidden);
    void setDrawModeEnabled(bool on);
    // Wires a new camera recorder to the controller: effect settings, the
    // bubble menu's actions and the resize hook.
    void attach(CameraRecording& camera);

    // Cancels every task the controller runs (the start, stops begun by a hot
    // key or by the stream, camera previews, notifications) and completes once
    // all have ended. The application awaits it before it destroys the
    // controller; afterwards nothing starts a task any more.
    Task<void> shutdown();
    // Runs a task as the controller's own, so shutdown() cancels and awaits
    // it: how windows, keys and the session bus start stop, cancel and
    // restart. Nothing runs once shutdown() has begun.
    void runOwned(Task<void> task);

    // For windows and hooks that must not keep the controller alive.
    WeakController weakHandle() { return WeakController(alive_, this); }

    // Set by the application: the drop-down panel, and which display shows the
    // status item.
    void setMainPanel(std::weak_ptr<MainPanel> panel) { mainPanel_ = std::move(panel); }
    std::function<std::optional<std::uint32_t>()> statusItemDisplayID;

    bool recordingModeActive() const { return recordingModeActive_; }
    std::uint32_t sessionDisplayID() const { return sessionDisplayID_; }
    AppState& state() { return state_; }
    Executor& executor() { return executor_; }
    const std::shared_ptr<CameraRecording>& cameraRecorder() const { return cameraRecorder_; }
    bool isStarting() const { return startTask_.has_value(); }

    // In window mode with a selected, listed window, the display under the
    // window's midpoint; otherwise the selected display.
    std::uint32_t resolveSessionDisplayID() const;
    // Looks up the display containing a rectangle; set by the application.
    std::function<std::optional<std::uint32_t>(const Rect&)> displayContaining;
    // Rebuilds the display and device lists; set by the application.
    std::function<void()> refreshDevices;

  private:
    Task<void> performStart(std::shared_ptr<CountdownOverlay> countdown);
    StartContext startContext();
    Task<void> runCountdown(std::shared_ptr<CountdownOverlay> countdown, int seconds);
    Task<void> handleStartFailure(std::exception_ptr failure,
                                  std::shared_ptr<CountdownOverlay> countdown);
    Task<void> teardownSession(bool deleteRemote);
    void resetSession();
    Task<void> uploadMicFile(std::shared_ptr<SessionServer> api, std::string recordingID);
    Task<FinalizeResult> finalizeWithRetries(std::shared_ptr<SessionServer> api,
                                             std::string recordingID);
    Task<void> finalizeAndFinish(std::shared_ptr<SessionServer> api, std::string recordingID);
    // Saves the session's local copy among the user's videos when something
    // did not reach the server (or the user keeps every copy), otherwise
    // deletes it; the saved path goes to localCopyPath.
    Task<void> settleLocalCopy(bool somethingLost);
    void postReadyNotificationIfEnabled();
    // One line in the log with the figures of the recording.
    void logSummary(const std::string& recordingID, const std::string& outcome);
    Task<void> deliverReadyNotification(bool copied);
    Task<void> requestNotificationAuthorization();

    void startTimer();
    void stopTimer();
    void tick();

    void showMainPanel();
    void hideMainPanel();
    void reshowAfterSession();
    void closeDrawingOverlay();
    void resetCameraBubbleVisibility();
    void stopCameraPreviewIfUnattended();
    Task<void> syncCameraPreview();
    // Cancels the camera's recording, hides its bubble and stops its session,
    // logging what fails.
    static Task<void> shutDownCamera(std::shared_ptr<CameraRecording> camera);
    Task<void> replaceCameraPreview();
    void adoptStatusItemDisplay();
    void installStateHooks();
    // A closure that runs `action` only while this controller exists.
    std::function<void()> weakAction(std::function<void(CaptureController&)> action);

    AppState& state_;
    Executor& executor_;
    GlobalHotKey& hotKey_;
    WindowFactory& windows_;
    MicMeter& micMeter_;
    StartSequence& startSequence_;
    ShareActions& share_;
    ReadyNotifications& notifications_;
    CameraFactory& cameras_;
    DeviceAccess& access_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    CaptureSession session_;
    std::optional<TaskHandle<void>> startTask_;
    std::vector<TaskHandle<void>> ownedTasks_;
    bool shutDown_ = false;
    std::shared_ptr<CameraRecording> cameraRecorder_;
    std::unique_ptr<DrawingOverlay> drawingOverlay_;
    std::unique_ptr<ControlStrip> controlPanel_;
    std::weak_ptr<MainPanel> mainPanel_;
    bool recordingModeActive_ = false;
    bool restarting_ = false;
    // A camera preview is being opened; it is stored once it runs.
    bool cameraStarting_ = false;
    // When the current stop (or finalize retry) began, for the summary.
    std::optional<TimePoint> stopStartedAt_;
    std::unique_ptr<RepeatingTimer> timer_;
    double accumulatedActive_ = 0;
    std::optional<TimePoint> activeSegmentStart_;
    std::uint32_t sessionDisplayID_;
};

}  // namespace tessera
