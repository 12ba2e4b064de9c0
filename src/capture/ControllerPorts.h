#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/RgbaColor.h"
#include "app/Url.h"
#include "camera/CameraEffectSettings.h"
#include "media/CaptureStream.h"
#include "media/ScreenRecorder.h"
#include "media/SegmentWriter.h"
#include "server/SegmentUploader.h"
#include "support/Task.h"

namespace tessera {

class AppState;
class CaptureController;

// One fragmented-MP4 segment on its way from a writer to the uploader.
using SegmentBytes = std::vector<std::uint8_t>;

// A reference to the controller for windows and hooks that must not keep it
// alive: get() gives the controller while it exists and null afterwards.
class WeakController {
  public:
    WeakController() = default;
    WeakController(std::weak_ptr<const void> alive, CaptureController* controller)
        : alive_(std::move(alive)), controller_(controller) {}
    CaptureController* get() const { return alive_.expired() ? nullptr : controller_; }

  private:
    std::weak_ptr<const void> alive_;
    CaptureController* controller_ = nullptr;
};

// What the capture controller drives, each behind a small interface. All
// methods are called on the main thread; the asynchronous ones resume their
// caller there. The application passes the real recorders, windows and
// server; tests pass doubles.

// The screen recording of one session.
class ScreenRecording {
  public:
    virtual ~ScreenRecording() = default;
    // Called, on the capture source's thread, when the stream stops by itself
    // with an error. Set before start().
    virtual void setOnStreamStopped(std::function<void(std::exception_ptr)> handler) = 0;
    // Starts the writers and then capture. Throws the recorder's error.
    virtual Task<void> start(ContentFilter filter, StreamConfiguration configuration) = 0;
    // Enqueued on the recorder's queue; return at once.
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void setMicMuted(bool muted) = 0;
    // Ends capture and writing; true when at least one frame was written.
    virtual Task<bool> stop() = 0;
    // Ends capture and abandons the writing.
    virtual Task<void> cancel() = 0;
    // The segment writer's error, when it failed.
    virtual std::optional<std::string> writerError() const = 0;
    // What happened to the frames so far, for the recording's summary.
    virtual ScreenRecorderStats stats() const = 0;
};

// What the bubble's menu offers besides the camera settings themselves.
struct BubbleMenuActions {
    std::function<void()> close;
    std::function<void()> advancedSettings;
};

// The camera recorder with its bubble; it outlives sessions while the preview
// is shown.
class CameraRecording {
  public:
    virtual ~CameraRecording() = default;
    // Opens the camera (the system default when deviceID is none) and shows the
    // bubble with its live preview on a display. Throws the camera's error.
    virtual Task<void> startPreview(std::optional<std::string> deviceID, bool mirrored,
                                    std::uint32_t displayID) = 0;
    // Starts writing camera segments; onSegment receives each segment's bytes
    // on the camera writer's thread.
    virtual void beginRecording(std::function<void(SegmentBytes)> onSegment) = 0;
    // The actions the bubble's menu calls; they hold the controller weakly.
    virtual void setMenuActions(BubbleMenuActions actions) = 0;
    // Called with the new diameter, in points, after the user resized the bubble.
    virtual void setOnBubbleResized(std::function<void(double diameter)> hook) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    // Returns when the camera writer has delivered its last segment.
    virtual Task<void> finishRecording() = 0;
    virtual Task<void> cancelRecording() = 0;
    virtual Task<void> stopSession() = 0;
    virtual void moveBubble(std::uint32_t displayID) = 0;
    virtual void hideBubble() = 0;
    // Order the bubble window to the front / out, without stopping anything.
    virtual void orderBubbleFront() = 0;
    virtual void orderBubbleOut() = 0;
    virtual void setBubbleSize(double diameter) = 0;
    virtual void setFullScreen(bool fullScreen) = 0;
    // Replaces the effect settings under the recorder's effects lock.
    virtual void setEffectSettings(const CameraEffectSettings& settings) = 0;
};

// Creates camera recorders; a new one opens no device until startPreview.
class CameraFactory {
  public:
    virtual ~CameraFactory() = default;
    virtual std::shared_ptr<CameraRecording> makeCameraRecorder() = 0;
};

// Access to the camera and the microphone: granted when the device can be
// opened.
enum class MediaDevice { microphone, camera };
class DeviceAccess {
  public:
    virtual ~DeviceAccess() = default;
    virtual Task<bool> requestAccess(MediaDevice device) = 0;
};

// The separately recorded microphone file of one session.
class MicRecording {
  public:
    virtual ~MicRecording() = default;
    // Completes the file; false when it holds nothing usable.
    virtual Task<bool> finish() = 0;
    virtual bool isWriting() const = 0;
    virtual void cancelWriting() = 0;
    virtual void deleteFile() = 0;
    virtual std::string path() const = 0;
};

// The recorders of one session.
struct SessionRecorders {
    std::shared_ptr<ScreenRecording> screen;
    // None without the microphone.
    std::shared_ptr<MicRecording> mic;
};

// Makes the recorders of one session.
class SessionMediaFactory {
  public:
    virtual ~SessionMediaFactory() = default;
    // The screen recorder writing segments of `writer`'s configuration, each
    // segment's bytes handed to onSegment on the writer's thread; with the
    // microphone, also the separate microphone file the recorder writes. Throws
    // the microphone writer's error.
    virtual SessionRecorders makeRecorders(const SegmentWriter::Configuration& writer,
                                           std::function<void(SegmentBytes)> onSegment,
                                           bool withMicrophone) = 0;
};

// The server's answer to a finalize request.
struct FinalizeResult {
    std::string status;
    std::optional<std::string> shareUrl;
    std::optional<std::string> error;
};

// The server side of one recording session. Failures throw errors whose
// what() is the user-facing description.
class SessionServer {
  public:
    virtual ~SessionServer() = default;
    // The base every link of this session is derived from.
    virtual Url baseURL() const = 0;
    virtual Task<void> uploadChunk(const std::string& recordingID, const std::string& kind,
                                   std::shared_ptr<const std::vector<std::uint8_t>> data) = 0;
    virtual Task<FinalizeResult> finalize(const std::string& recordingID) = 0;
    virtual Task<void> update(const std::string& recordingID, const std::string& description) = 0;
    virtual Task<void> deleteRecording(const std::string& recordingID) = 0;
};

// The upload pipe of one session: the per-kind segment queues and the tasks
// that drain them into the server.
class UploadPipe {
  public:
    virtual ~UploadPipe() = default;
    // At stop: finishes the queues and returns once every segment queued
    // before has been sent, retried or dropped.
    virtual Task<void> closeAtStop() = 0;
    // At cancel: finishes the queues and abandons the drains without waiting.
    virtual void closeAtCancel() = 0;
    // A summary of the segments that were lost, camera before screen; none
    // when every segment arrived.
    virtual std::optional<std::string> failureSummary() const = 0;
    // What each kind ("screen", "camera") uploaded so far.
    virtual std::map<std::string, UploadCounters> counters() const = 0;

    // The session's local copy, for a pipe that keeps one (the others do
    // nothing). Adds a finished file of the session, such as the microphone's,
    // under `name`.
    virtual Task<void> addToLocalCopy(std::string /*path*/, std::string /*name*/) { co_return; }
    // The server has everything: the local copy is deleted.
    virtual Task<void> discardLocalCopy() { co_return; }
    // Saves the local copy as playable files among the user's videos and
    // deletes the spool; returns the main file saved, none when nothing could
    // be. Saving twice returns the first answer. Throws only CancelledError.
    virtual Task<std::optional<std::string>> keepLocalCopy() { co_return std::nullopt; }
};

// Hands a share link to the user.
class ShareActions {
  public:
    virtual ~ShareActions() = default;
    // Replaces the clipboard's content with the link as plain text.
    virtual void copyToClipboard(const Url& link) = 0;
    virtual void openInBrowser(const Url& link) = 0;
};

// Desktop notifications for a finished recording.
class ReadyNotifications {
  public:
    enum class Authorization { notDetermined, denied, authorized, provisional };
    virtual ~ReadyNotifications() = default;
    // Whether this process runs as the installed application (notifications
    // need its desktop entry).
    virtual bool isBundled() const = 0;
    virtual Task<Authorization> authorization() = 0;
    // Asks the user; false (or an exception) when refused.
    virtual Task<bool> requestAuthorization() = 0;
    // Delivers now; errors are the caller's to ignore.
    virtual Task<void> post(const std::string& title, const std::string& body) = 0;
};

// The drop-down menu panel.
class MainPanel {
  public:
    virtual ~MainPanel() = default;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual bool isVisible() const = 0;
};

// The floating control strip.
class ControlStrip {
  public:
    virtual ~ControlStrip() = default;
    virtual void show(std::uint32_t displayID) = 0;
    virtual void hide() = 0;
    virtual void move(std::uint32_t displayID) = 0;
    // The X window of the strip once it has been shown.
    virtual std::optional<std::uint32_t> windowID() const = 0;
};

// The countdown shown before recording.
class CountdownOverlay {
  public:
    virtual ~CountdownOverlay() = default;
    // The user's cancel action (Escape, the cancel button).
    virtual void setOnCancel(std::function<void()> action) = 0;
    virtual void show(std::uint32_t displayID, int seconds) = 0;
    // Returns when the countdown has run out or was skipped; throws
    // CancelledError when the awaiting task is cancelled.
    virtual Task<void> run(int seconds) = 0;
    virtual void close() = 0;
};

// The pen overlay of a display recording.
class DrawingOverlay {
  public:
    virtual ~DrawingOverlay() = default;
    // The action the overlay runs when the user leaves draw mode (Escape).
    virtual void setOnExitDrawMode(std::function<void()> action) = 0;
    virtual void setPenColor(const RgbaColor& stroke, const RgbaColor& glow) = 0;
    virtual void show(std::uint32_t displayID) = 0;
    virtual void setDrawMode(bool on) = 0;
    virtual void showBanner(const std::string& text) = 0;
    // The X window of the overlay once it has been shown.
    virtual std::optional<std::uint32_t> windowID() const = 0;
    virtual void orderFront() = 0;
    virtual void close() = 0;
};

// Creates the controller's windows.
class WindowFactory {
  public:
    virtual ~WindowFactory() = default;
    virtual std::unique_ptr<CountdownOverlay> makeCountdown() = 0;
    // The strip reads the state and calls the controller's operations.
    virtual std::unique_ptr<ControlStrip> makeControlStrip(AppState& state,
                                                           WeakController controller) = 0;
    virtual std::unique_ptr<DrawingOverlay> makeDrawingOverlay() = 0;
};

// The keys the controller registers system-wide.
enum class HotKeyKey { digit2, digit1, escape };
enum HotKeyModifier : unsigned { kNoModifier = 0, kShift = 1, kSuper = 2 };

struct HotKeyCombo {
    HotKeyKey key;
    unsigned modifiers;
    friend bool operator==(const HotKeyCombo&, const HotKeyCombo&) = default;
};

// System-wide hot keys by id. Actions run on the main thread.
class GlobalHotKey {
  public:
    virtual ~GlobalHotKey() = default;
    // Registering an id again replaces its registration.
    virtual void registerHotKey(int id, HotKeyCombo combo, std::function<void()> action) = 0;
    virtual void unregisterHotKey(int id) = 0;
};

// The live microphone level preview.
class MicMeter {
  public:
    virtual ~MicMeter() = default;
    virtual void start() = 0;
    // Stops the input and sets the level to 0.
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

struct CaptureSession;

// What the start sequence may read of the controller, and the places where it
// puts what it creates. The session and the two window fields belong to the
// controller for the whole start, so whatever a failing step has left there is
// released by the controller's tear-down.
struct StartContext {
    AppState& state;
    std::uint32_t sessionDisplayID;
    // For the hooks that call back later (stream stopped, pen exit, camera).
    WeakController controller;
    // The control strip's window, kept in the video when the strip is "always".
    std::optional<std::uint32_t> controlStripWindowID;
    // The running camera preview (reused), or where a new camera goes.
    std::shared_ptr<CameraRecording>& cameraRecorder;
    std::unique_ptr<DrawingOverlay>& drawingOverlay;
    CaptureSession& session;
};

// The preparation and start of a recording, as the start task runs it: first
// everything that can happen while the countdown runs (permissions, camera,
// pen overlay, capture target, server recording, share link, upload pipe,
// writers), then, once the countdown is over, the start of capture.
class StartSequence {
  public:
    virtual ~StartSequence() = default;
    virtual Task<void> prepare(StartContext context) = 0;
    virtual Task<void> startCapture(StartContext context) = 0;
};

}  // namespace tessera
