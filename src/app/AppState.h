#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/CaptureOptions.h"
#include "app/RecorderPhase.h"
#include "app/SettingsStore.h"
#include "app/SettingsTypes.h"
#include "app/Url.h"
#include "camera/CameraEffectSettings.h"
#include "support/ObserverList.h"

namespace tessera {

class ScreenPermission;
class Relauncher;

// The application's single observable model: the user's persisted settings,
// the lists of capturable displays, windows and devices, and the state of the
// current recording session.
//
// Main thread only: every read, write and notification happens there, and the
// change hooks run synchronously on the thread of the assignment.
//
// Every setter, also one that stores an unchanged value, first notifies the
// subscribers (they still see the old value), then stores the new value, then
// writes persisted settings to the store (unvalidated; clamping and list checks
// apply only when reading at construction), and last runs the change hook that
// belongs to the property. The store writes to disk off the main thread.
class AppState {
  public:
    // The offered countdown lengths, in seconds.
    static constexpr std::array<int, 3> countdownDurations{3, 5, 10};
    // The offered capture frame rates, in frames per second.
    static constexpr std::array<int, 2> frameRates{30, 60};
    // The server used when none is configured.
    static constexpr std::string_view kDefaultServerBaseURL = "http://127.0.0.1:3123";

    // Reads every persisted setting from `store`, sets hasScreenPermission from
    // the permission's preflight, and asks for the permission once when it is
    // missing. The ports and the store must outlive this object.
    AppState(SettingsStore& store, ScreenPermission& screenPermission, Relauncher& relauncher,
             std::uint32_t mainDisplayID);
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    // Calls `observer` before any observable property is assigned.
    [[nodiscard]] Subscription subscribe(std::function<void()> observer);

    // Session phase; owned by the capture controller.
    const RecorderPhase& phase() const { return phase_; }
    void setPhase(RecorderPhase value);
    // Seconds of active recording.
    double elapsed() const { return elapsed_; }
    void setElapsed(double value);
    const std::optional<Url>& shareURL() const { return shareURL_; }
    void setShareURL(std::optional<Url> value);
    // A one-line notice shown in the panel.
    const std::optional<std::string>& statusMessage() const { return statusMessage_; }
    void setStatusMessage(std::optional<std::string> value);
    bool canRetryFinalize() const { return canRetryFinalize_; }
    void setCanRetryFinalize(bool value);
    // Where the session's local copy was saved when something did not reach the
    // server (or the user keeps every copy); set by the controller, none until then.
    const std::optional<std::string>& localCopyPath() const { return localCopyPath_; }
    void setLocalCopyPath(std::optional<std::string> value);
    // Set from the permission port at construction.
    bool hasScreenPermission() const { return hasScreenPermission_; }
    void setHasScreenPermission(bool value);
    const std::vector<DisplayOption>& displays() const { return displays_; }
    void setDisplays(std::vector<DisplayOption> value);
    // Starts at the main display.
    std::uint32_t selectedDisplayID() const { return selectedDisplayID_; }
    void setSelectedDisplayID(std::uint32_t value);
    CaptureMode captureMode() const { return captureMode_; }
    void setCaptureMode(CaptureMode value);
    const std::vector<WindowOption>& windows() const { return windows_; }
    void setWindows(std::vector<WindowOption> value);
    std::optional<std::uint32_t> selectedWindowID() const { return selectedWindowID_; }
    void setSelectedWindowID(std::optional<std::uint32_t> value);
    // The pen cannot be offered this session.
    bool drawingUnavailable() const { return drawingUnavailable_; }
    void setDrawingUnavailable(bool value);
    // Pen strokes will not appear in the video.
    bool drawingInvisibleInCapture() const { return drawingInvisibleInCapture_; }
    void setDrawingInvisibleInCapture(bool value);
    bool micEnabled() const { return micEnabled_; }
    void setMicEnabled(bool value);
    // Device id; empty means the default device.
    const std::string& selectedMicID() const { return selectedMicID_; }
    void setSelectedMicID(std::string value);
    const std::vector<CaptureDeviceOption>& microphones() const { return microphones_; }
    void setMicrophones(std::vector<CaptureDeviceOption> value);
    bool cameraEnabled() const { return cameraEnabled_; }
    void setCameraEnabled(bool value);
    // Device id; empty means the default device.
    const std::string& selectedCameraID() const { return selectedCameraID_; }
    void setSelectedCameraID(std::string value);
    const std::vector<CaptureDeviceOption>& cameras() const { return cameras_; }
    void setCameras(std::vector<CaptureDeviceOption> value);
    bool micMuted() const { return micMuted_; }
    void setMicMuted(bool value);
    bool cameraBubbleHidden() const { return cameraBubbleHidden_; }
    void setCameraBubbleHidden(bool value);
    bool drawModeEnabled() const { return drawModeEnabled_; }
    void setDrawModeEnabled(bool value);
    bool systemAudioEnabled() const { return systemAudioEnabled_; }
    void setSystemAudioEnabled(bool value);
    // The start/stop hot key.
    bool hotkeyEnabled() const { return hotkeyEnabled_; }
    void setHotkeyEnabled(bool value);
    bool countdownEnabled() const { return countdownEnabled_; }
    void setCountdownEnabled(bool value);
    // Seconds.
    int countdownDuration() const { return countdownDuration_; }
    void setCountdownDuration(int value);
    VideoQuality videoQuality() const { return videoQuality_; }
    void setVideoQuality(VideoQuality value);
    // Frames per second.
    int frameRate() const { return frameRate_; }
    void setFrameRate(int value);
    bool showCursor() const { return showCursor_; }
    void setShowCursor(bool value);
    bool highlightClicks() const { return highlightClicks_; }
    void setHighlightClicks(bool value);
    bool cameraMirrored() const { return cameraMirrored_; }
    void setCameraMirrored(bool value);
    CameraBackgroundMode cameraBackground() const { return cameraBackground_; }
    void setCameraBackground(CameraBackgroundMode value);
    // In [0, 1] when read at launch.
    double cameraBlurStrength() const { return cameraBlurStrength_; }
    void setCameraBlurStrength(double value);
    CameraBackgroundColor cameraBackgroundColor() const { return cameraBackgroundColor_; }
    void setCameraBackgroundColor(CameraBackgroundColor value);
    const std::optional<std::string>& cameraBackgroundImagePath() const {
        return cameraBackgroundImagePath_;
    }
    void setCameraBackgroundImagePath(std::optional<std::string> value);
    // In [0, 1] when read at launch.
    double cameraFaceSmoothing() const { return cameraFaceSmoothing_; }
    void setCameraFaceSmoothing(double value);
    bool cameraKeepFaceCentered() const { return cameraKeepFaceCentered_; }
    void setCameraKeepFaceCentered(bool value);
    bool cameraAutoLighting() const { return cameraAutoLighting_; }
    void setCameraAutoLighting(bool value);
    // Bubble diameter in points; in [120, 560] when read at launch.
    double cameraBubbleSize() const { return cameraBubbleSize_; }
    void setCameraBubbleSize(double value);
    const std::optional<std::string>& cameraProfileImagePath() const {
        return cameraProfileImagePath_;
    }
    void setCameraProfileImagePath(std::optional<std::string> value);
    bool cameraShowProfile() const { return cameraShowProfile_; }
    void setCameraShowProfile(bool value);
    bool cameraFullScreen() const { return cameraFullScreen_; }
    void setCameraFullScreen(bool value);
    // The control strip is laid out vertically.
    bool stripVertical() const { return stripVertical_; }
    void setStripVertical(bool value);
    StripVisibility stripVisibility() const { return stripVisibility_; }
    void setStripVisibility(StripVisibility value);
    // Notes attached to the next recording.
    const std::string& recordingNotes() const { return recordingNotes_; }
    void setRecordingNotes(std::string value);
    // A request to open the settings window on that tab.
    std::optional<SettingsCategory> requestedSettingsCategory() const {
        return requestedSettingsCategory_;
    }
    void setRequestedSettingsCategory(std::optional<SettingsCategory> value);
    PenColor penColor() const { return penColor_; }
    void setPenColor(PenColor value);
    bool autoCopyLink() const { return autoCopyLink_; }
    void setAutoCopyLink(bool value);
    bool openShareInBrowser() const { return openShareInBrowser_; }
    void setOpenShareInBrowser(bool value);
    bool notifyWhenReady() const { return notifyWhenReady_; }
    void setNotifyWhenReady(bool value);
    // Keep a local copy of every recording, also when the upload succeeded.
    bool keepLocalCopy() const { return keepLocalCopy_; }
    void setKeepLocalCopy(bool value);
    // The pause/resume hot key.
    bool pauseHotkeyEnabled() const { return pauseHotkeyEnabled_; }
    void setPauseHotkeyEnabled(bool value);
    // None until a reachability check has finished.
    std::optional<bool> serverReachable() const { return serverReachable_; }
    void setServerReachable(std::optional<bool> value);

    // The camera-effect settings of the current values, as one record.
    CameraEffectSettings cameraEffectSettings() const;

    // The configured server base: the stored "serverBaseURL" text (or the
    // default when none is stored), trimmed of white space, without trailing
    // slashes; none when that is empty or is not an absolute URL.
    std::optional<Url> serverBaseURL() const;

    // Starts a new instance of the application and ends this one.
    void relaunch();

    // The store the settings live in; for the few settings kept outside this
    // model (the floating windows' remembered origins, the server base URL).
    SettingsStore& settingsStore() { return store_; }

    // Run after the property changes, after its write; absent by default.
    // cameraEffectsChanged follows any of the settings in cameraEffectSettings().
    std::function<void()> cameraEffectsChanged;
    std::function<void()> cameraBubbleSizeChanged;
    std::function<void()> cameraFullScreenChanged;

  private:
    friend struct AppStateSettings;

    // Reading at launch and writing on assignment both follow the one table of
    // persisted properties in AppState.cpp.
    void readSettings();
    template <typename T>
    void storeSetting(T AppState::*field);
    template <typename T>
    void assignSetting(T AppState::*field, T value);
    static void runHook(const std::function<void()>& hook);

    template <typename T>
    void assign(T& field, T value) {
        willChange_.notify();
        field = std::move(value);
    }

    SettingsStore& store_;
    Relauncher& relauncher_;
    ObserverList<> willChange_;

    // The persisted properties start from the settings table, which holds their
    // defaults; the initial values here are only placeholders until it is read.

    RecorderPhase phase_;
    double elapsed_{0};
    std::optional<Url> shareURL_;
    std::optional<std::string> statusMessage_;
    bool canRetryFinalize_{false};
    std::optional<std::string> localCopyPath_;
    bool hasScreenPermission_{false};
    std::vector<DisplayOption> displays_;
    std::uint32_t selectedDisplayID_{0};
    CaptureMode captureMode_{};
    std::vector<WindowOption> windows_;
    std::optional<std::uint32_t> selectedWindowID_;
    bool drawingUnavailable_{false};
    bool drawingInvisibleInCapture_{false};
    bool micEnabled_{true};
    std::string selectedMicID_;
    std::vector<CaptureDeviceOption> microphones_;
    bool cameraEnabled_{};
    std::string selectedCameraID_;
    std::vector<CaptureDeviceOption> cameras_;
    bool micMuted_{false};
    bool cameraBubbleHidden_{false};
    bool drawModeEnabled_{false};
    bool systemAudioEnabled_{};
    bool hotkeyEnabled_{};
    bool countdownEnabled_{};
    int countdownDuration_{};
    VideoQuality videoQuality_{};
    int frameRate_{};
    bool showCursor_{};
    bool highlightClicks_{};
    bool cameraMirrored_{};
    CameraBackgroundMode cameraBackground_{};
    double cameraBlurStrength_{};
    CameraBackgroundColor cameraBackgroundColor_{};
    std::optional<std::string> cameraBackgroundImagePath_;
    double cameraFaceSmoothing_{};
    bool cameraKeepFaceCentered_{};
    bool cameraAutoLighting_{};
    double cameraBubbleSize_{};
    std::optional<std::string> cameraProfileImagePath_;
    bool cameraShowProfile_{};
    bool cameraFullScreen_{false};
    bool stripVertical_{};
    StripVisibility stripVisibility_{};
    std::string recordingNotes_;
    std::optional<SettingsCategory> requestedSettingsCategory_;
    PenColor penColor_{};
    bool autoCopyLink_{};
    bool openShareInBrowser_{};
    bool notifyWhenReady_{};
    bool pauseHotkeyEnabled_{};
    bool keepLocalCopy_{};
    std::optional<bool> serverReachable_;
};

// The server base URL resolved from a stored text (none = nothing stored).
std::optional<Url> resolveServerBaseURL(const std::optional<std::string>& stored);

}  // namespace tessera
