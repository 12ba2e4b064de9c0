#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Url.h"
#include "camera/CameraEffectSettings.h"
#include "support/Task.h"

namespace tessera {

class CaptureController;

// What the capture controller drives, each behind a small interface. All
// methods are called on the main thread; the asynchronous ones resume their
// caller there. The application passes the real recorders, windows and
// server; tests pass doubles.

// The screen recording of one session.
class ScreenRecording {
  public:
    virtual ~ScreenRecording() = default;
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
};

// The camera recorder with its bubble; it outlives sessions while the preview
// is shown.
class CameraRecording {
  public:
    virtual ~CameraRecording() = default;
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

// What the segment uploader of a session reports at its end.
class SegmentUploads {
  public:
    virtual ~SegmentUploads() = default;
    // A summary of the segments that were lost, camera before screen; none
    // when every segment arrived.
    virtual Task<std::optional<std::string>> failureSummary() = 0;
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
    virtual void setDrawMode(bool on) = 0;
    virtual void showBanner(const std::string& text) = 0;
    virtual void close() = 0;
};

// Creates the controller's windows.
class WindowFactory {
  public:
    virtual ~WindowFactory() = default;
    virtual std::unique_ptr<CountdownOverlay> makeCountdown() = 0;
    virtual std::unique_ptr<ControlStrip> makeControlStrip() = 0;
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

// The preparation and start of a recording, as the start task runs it: first
// everything that can happen while the countdown runs (permissions, camera,
// pen overlay, capture target, server recording, share link, upload pipe,
// writers), then, once the countdown is over, the start of capture. Each step
// stores what it creates in the controller's session, so a failure anywhere
// is cleaned up by the controller's tear-down.
class StartSequence {
  public:
    virtual ~StartSequence() = default;
    virtual Task<void> prepare(CaptureController& controller) = 0;
    virtual Task<void> startCapture(CaptureController& controller) = 0;
};

}  // namespace tessera
