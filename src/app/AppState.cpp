#include "app/AppState.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "app/SettingsKeys.h"
#include "platform/Relauncher.h"
#include "platform/ScreenPermission.h"

namespace tessera {
namespace {

// A stored JSON Boolean; anything else (absent, a number, a string) gives the
// fallback, so a stored false survives and a true default is not lost to a
// value of the wrong type.
bool readBool(const SettingsStore& store, std::string_view key, bool fallback) {
    const auto value = store.get(key);
    return value && value->is_boolean() ? value->get<bool>() : fallback;
}

// A stored JSON number; none when absent or of another type.
std::optional<double> readDouble(const SettingsStore& store, std::string_view key) {
    const auto value = store.get(key);
    if (!value || !value->is_number()) {
        return std::nullopt;
    }
    const double number = value->get<double>();
    return std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

std::optional<std::string> readString(const SettingsStore& store, std::string_view key) {
    const auto value = store.get(key);
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

template <typename E>
E readEnum(const SettingsStore& store, std::string_view key, E fallback) {
    const auto text = readString(store, key);
    if (!text) {
        return fallback;
    }
    return fromRawValue<E>(*text).value_or(fallback);
}

// A whole number that is one of `allowed`, else the fallback. A number written
// as 5.0 counts as the integer 5.
template <std::size_t N>
int readListedInt(const SettingsStore& store, std::string_view key,
                  const std::array<int, N>& allowed, int fallback) {
    const auto number = readDouble(store, key);
    if (!number || std::trunc(*number) != *number) {
        return fallback;
    }
    const auto found = std::find(allowed.begin(), allowed.end(), *number);
    return found == allowed.end() ? fallback : *found;
}

bool isTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

AppState::AppState(SettingsStore& store, ScreenPermission& screenPermission, Relauncher& relauncher,
                   std::uint32_t mainDisplayID)
    : store_(store), relauncher_(relauncher), selectedDisplayID_(mainDisplayID) {
    readSettings();
    hasScreenPermission_ = screenPermission.preflight();
    if (!hasScreenPermission_) {
        // The answer arrives only with a relaunch, so the property stays false.
        screenPermission.request();
    }
}

void AppState::readSettings() {
    namespace k = settings_keys;
    captureMode_ = readEnum(store_, k::kCaptureMode, CaptureMode::display);
    cameraEnabled_ = readBool(store_, k::kCameraEnabled, false);
    systemAudioEnabled_ = readBool(store_, k::kSystemAudioEnabled, true);
    hotkeyEnabled_ = readBool(store_, k::kHotkeyEnabled, true);
    countdownEnabled_ = readBool(store_, k::kCountdownEnabled, true);
    countdownDuration_ = readListedInt(store_, k::kCountdownDuration, countdownDurations, 3);
    videoQuality_ = readEnum(store_, k::kVideoQuality, VideoQuality::automatic);
    frameRate_ = readListedInt(store_, k::kFrameRate, frameRates, 30);
    showCursor_ = readBool(store_, k::kShowCursor, true);
    highlightClicks_ = readBool(store_, k::kHighlightClicks, false);
    cameraMirrored_ = readBool(store_, k::kCameraMirrored, false);
    cameraBackground_ = readEnum(store_, k::kCameraBackground, CameraBackgroundMode::none);
    cameraBlurStrength_ =
        std::clamp(readDouble(store_, k::kCameraBlurStrength).value_or(0.6), 0.0, 1.0);
    cameraBackgroundColor_ =
        readEnum(store_, k::kCameraBackgroundColor, CameraBackgroundColor::charcoal);
    cameraBackgroundImagePath_ = readString(store_, k::kCameraBackgroundImagePath);
    cameraFaceSmoothing_ =
        std::clamp(readDouble(store_, k::kCameraFaceSmoothing).value_or(0.0), 0.0, 1.0);
    cameraKeepFaceCentered_ = readBool(store_, k::kCameraKeepFaceCentered, false);
    cameraAutoLighting_ = readBool(store_, k::kCameraAutoLighting, false);
    cameraBubbleSize_ =
        std::clamp(readDouble(store_, k::kCameraBubbleSize).value_or(160.0), 120.0, 560.0);
    cameraProfileImagePath_ = readString(store_, k::kCameraProfileImagePath);
    cameraShowProfile_ = readBool(store_, k::kCameraShowProfile, false);
    stripVertical_ = readBool(store_, k::kStripVertical, true);
    stripVisibility_ = readEnum(store_, k::kStripVisibility, StripVisibility::ownScreen);
    penColor_ = readEnum(store_, k::kPenColor, PenColor::purple);
    autoCopyLink_ = readBool(store_, k::kAutoCopyLink, true);
    openShareInBrowser_ = readBool(store_, k::kOpenShareInBrowser, true);
    notifyWhenReady_ = readBool(store_, k::kNotifyWhenReady, false);
    pauseHotkeyEnabled_ = readBool(store_, k::kPauseHotkeyEnabled, false);
}

Subscription AppState::subscribe(std::function<void()> observer) {
    return willChange_.subscribe(std::move(observer));
}

CameraEffectSettings AppState::cameraEffectSettings() const {
    CameraEffectSettings settings;
    settings.background = cameraBackground_;
    settings.blurStrength = cameraBlurStrength_;
    settings.backgroundColor = cameraBackgroundColor_;
    settings.backgroundImagePath = cameraBackgroundImagePath_;
    settings.faceSmoothing = cameraFaceSmoothing_;
    settings.keepFaceCentered = cameraKeepFaceCentered_;
    settings.autoLighting = cameraAutoLighting_;
    settings.profileImagePath = cameraProfileImagePath_;
    settings.showProfile = cameraShowProfile_;
    return settings;
}

std::optional<Url> resolveServerBaseURL(const std::optional<std::string>& stored) {
    std::string_view text = stored ? std::string_view(*stored) : AppState::kDefaultServerBaseURL;
    while (!text.empty() && isTrimmed(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isTrimmed(text.back())) {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.back() == '/') {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    return Url::parse(text);
}

std::optional<Url> AppState::serverBaseURL() const {
    return resolveServerBaseURL(readString(store_, settings_keys::kServerBaseURL));
}

void AppState::relaunch() {
    relauncher_.relaunch();
}

void AppState::storeOptionalString(std::string_view key, const std::optional<std::string>& value) {
    if (value) {
        store_.set(key, *value);
    } else {
        store_.remove(key);
    }
}

void AppState::runHook(const std::function<void()>& hook) {
    // A copy, so that a hook that replaces itself finishes running.
    if (auto run = hook) {
        run();
    }
}

void AppState::setPhase(RecorderPhase value) {
    assign(phase_, std::move(value));
}

void AppState::setElapsed(double value) {
    assign(elapsed_, value);
}

void AppState::setShareURL(std::optional<Url> value) {
    assign(shareURL_, std::move(value));
}

void AppState::setStatusMessage(std::optional<std::string> value) {
    assign(statusMessage_, std::move(value));
}

void AppState::setCanRetryFinalize(bool value) {
    assign(canRetryFinalize_, value);
}

void AppState::setHasScreenPermission(bool value) {
    assign(hasScreenPermission_, value);
}

void AppState::setDisplays(std::vector<DisplayOption> value) {
    assign(displays_, std::move(value));
}

void AppState::setSelectedDisplayID(std::uint32_t value) {
    assign(selectedDisplayID_, value);
}

void AppState::setCaptureMode(CaptureMode value) {
    assign(captureMode_, value);
    store_.set(settings_keys::kCaptureMode, std::string(rawValue(captureMode_)));
}

void AppState::setWindows(std::vector<WindowOption> value) {
    assign(windows_, std::move(value));
}

void AppState::setSelectedWindowID(std::optional<std::uint32_t> value) {
    assign(selectedWindowID_, value);
}

void AppState::setDrawingUnavailable(bool value) {
    assign(drawingUnavailable_, value);
}

void AppState::setDrawingInvisibleInCapture(bool value) {
    assign(drawingInvisibleInCapture_, value);
}

void AppState::setMicEnabled(bool value) {
    assign(micEnabled_, value);
}

void AppState::setSelectedMicID(std::string value) {
    assign(selectedMicID_, std::move(value));
}

void AppState::setMicrophones(std::vector<CaptureDeviceOption> value) {
    assign(microphones_, std::move(value));
}

void AppState::setCameraEnabled(bool value) {
    assign(cameraEnabled_, value);
    store_.set(settings_keys::kCameraEnabled, cameraEnabled_);
}

void AppState::setSelectedCameraID(std::string value) {
    assign(selectedCameraID_, std::move(value));
}

void AppState::setCameras(std::vector<CaptureDeviceOption> value) {
    assign(cameras_, std::move(value));
}

void AppState::setMicMuted(bool value) {
    assign(micMuted_, value);
}

void AppState::setCameraBubbleHidden(bool value) {
    assign(cameraBubbleHidden_, value);
}

void AppState::setDrawModeEnabled(bool value) {
    assign(drawModeEnabled_, value);
}

void AppState::setSystemAudioEnabled(bool value) {
    assign(systemAudioEnabled_, value);
    store_.set(settings_keys::kSystemAudioEnabled, systemAudioEnabled_);
}

void AppState::setHotkeyEnabled(bool value) {
    assign(hotkeyEnabled_, value);
    store_.set(settings_keys::kHotkeyEnabled, hotkeyEnabled_);
}

void AppState::setCountdownEnabled(bool value) {
    assign(countdownEnabled_, value);
    store_.set(settings_keys::kCountdownEnabled, countdownEnabled_);
}

void AppState::setCountdownDuration(int value) {
    assign(countdownDuration_, value);
    store_.set(settings_keys::kCountdownDuration, countdownDuration_);
}

void AppState::setVideoQuality(VideoQuality value) {
    assign(videoQuality_, value);
    store_.set(settings_keys::kVideoQuality, std::string(rawValue(videoQuality_)));
}

void AppState::setFrameRate(int value) {
    assign(frameRate_, value);
    store_.set(settings_keys::kFrameRate, frameRate_);
}

void AppState::setShowCursor(bool value) {
    assign(showCursor_, value);
    store_.set(settings_keys::kShowCursor, showCursor_);
}

void AppState::setHighlightClicks(bool value) {
    assign(highlightClicks_, value);
    store_.set(settings_keys::kHighlightClicks, highlightClicks_);
}

void AppState::setCameraMirrored(bool value) {
    assign(cameraMirrored_, value);
    store_.set(settings_keys::kCameraMirrored, cameraMirrored_);
}

void AppState::setCameraBackground(CameraBackgroundMode value) {
    assign(cameraBackground_, value);
    store_.set(settings_keys::kCameraBackground, std::string(rawValue(cameraBackground_)));
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBlurStrength(double value) {
    assign(cameraBlurStrength_, value);
    store_.set(settings_keys::kCameraBlurStrength, cameraBlurStrength_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBackgroundColor(CameraBackgroundColor value) {
    assign(cameraBackgroundColor_, value);
    store_.set(settings_keys::kCameraBackgroundColor,
               std::string(rawValue(cameraBackgroundColor_)));
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBackgroundImagePath(std::optional<std::string> value) {
    assign(cameraBackgroundImagePath_, std::move(value));
    storeOptionalString(settings_keys::kCameraBackgroundImagePath, cameraBackgroundImagePath_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraFaceSmoothing(double value) {
    assign(cameraFaceSmoothing_, value);
    store_.set(settings_keys::kCameraFaceSmoothing, cameraFaceSmoothing_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraKeepFaceCentered(bool value) {
    assign(cameraKeepFaceCentered_, value);
    store_.set(settings_keys::kCameraKeepFaceCentered, cameraKeepFaceCentered_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraAutoLighting(bool value) {
    assign(cameraAutoLighting_, value);
    store_.set(settings_keys::kCameraAutoLighting, cameraAutoLighting_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBubbleSize(double value) {
    assign(cameraBubbleSize_, value);
    store_.set(settings_keys::kCameraBubbleSize, cameraBubbleSize_);
    runHook(cameraBubbleSizeChanged);
}

void AppState::setCameraProfileImagePath(std::optional<std::string> value) {
    assign(cameraProfileImagePath_, std::move(value));
    storeOptionalString(settings_keys::kCameraProfileImagePath, cameraProfileImagePath_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraShowProfile(bool value) {
    assign(cameraShowProfile_, value);
    store_.set(settings_keys::kCameraShowProfile, cameraShowProfile_);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraFullScreen(bool value) {
    assign(cameraFullScreen_, value);
    runHook(cameraFullScreenChanged);
}

void AppState::setStripVertical(bool value) {
    assign(stripVertical_, value);
    store_.set(settings_keys::kStripVertical, stripVertical_);
}

void AppState::setStripVisibility(StripVisibility value) {
    assign(stripVisibility_, value);
    store_.set(settings_keys::kStripVisibility, std::string(rawValue(stripVisibility_)));
}

void AppState::setRecordingNotes(std::string value) {
    assign(recordingNotes_, std::move(value));
}

void AppState::setRequestedSettingsCategory(std::optional<SettingsCategory> value) {
    assign(requestedSettingsCategory_, value);
}

void AppState::setPenColor(PenColor value) {
    assign(penColor_, value);
    store_.set(settings_keys::kPenColor, std::string(rawValue(penColor_)));
}

void AppState::setAutoCopyLink(bool value) {
    assign(autoCopyLink_, value);
    store_.set(settings_keys::kAutoCopyLink, autoCopyLink_);
}

void AppState::setOpenShareInBrowser(bool value) {
    assign(openShareInBrowser_, value);
    store_.set(settings_keys::kOpenShareInBrowser, openShareInBrowser_);
}

void AppState::setNotifyWhenReady(bool value) {
    assign(notifyWhenReady_, value);
    store_.set(settings_keys::kNotifyWhenReady, notifyWhenReady_);
}

void AppState::setPauseHotkeyEnabled(bool value) {
    assign(pauseHotkeyEnabled_, value);
    store_.set(settings_keys::kPauseHotkeyEnabled, pauseHotkeyEnabled_);
}

void AppState::setServerReachable(std::optional<bool> value) {
    assign(serverReachable_, value);
}

}  // namespace tessera
