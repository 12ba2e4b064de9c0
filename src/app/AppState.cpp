#include "app/AppState.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "app/SettingsKeys.h"
#include "platform/Relauncher.h"
#include "platform/ScreenPermission.h"

namespace tessera {
namespace {

using nlohmann::json;

// How a persisted property is read at launch; each also says how it is
// written. Values are never validated on write: the rules apply when reading.

// A JSON Boolean; anything else (absent, a number, a string) gives the
// fallback, so a stored false survives and a true default is not lost to a
// value of the wrong type.
struct Flag {
    bool fallback;
};
// A string that is exactly one of the raw values, else the fallback.
template <typename E>
struct Choice {
    E fallback;
};
// A whole number that is one of `allowed`, else the fallback. A number written
// as 5.0 counts as the integer 5.
struct ListedInt {
    std::span<const int> allowed;
    int fallback;
};
// A finite number clamped to [min, max]; the fallback when absent or not a
// number.
struct ClampedDouble {
    double fallback;
    double min;
    double max;
};
// A string, or none; none is written by removing the key.
struct OptionalText {};

std::optional<double> finiteNumber(const std::optional<json>& stored) {
    if (!stored || !stored->is_number()) {
        return std::nullopt;
    }
    const double number = stored->get<double>();
    return std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

std::optional<std::string> text(const std::optional<json>& stored) {
    if (!stored || !stored->is_string()) {
        return std::nullopt;
    }
    return stored->get<std::string>();
}

bool decode(const std::optional<json>& stored, Flag rule) {
    return stored && stored->is_boolean() ? stored->get<bool>() : rule.fallback;
}
template <typename E>
E decode(const std::optional<json>& stored, Choice<E> rule) {
    const auto raw = text(stored);
    return raw ? fromRawValue<E>(*raw).value_or(rule.fallback) : rule.fallback;
}
int decode(const std::optional<json>& stored, ListedInt rule) {
    const auto number = finiteNumber(stored);
    if (!number || std::trunc(*number) != *number) {
        return rule.fallback;
    }
    const auto found = std::ranges::find(rule.allowed, *number);
    return found == rule.allowed.end() ? rule.fallback : *found;
}
double decode(const std::optional<json>& stored, ClampedDouble rule) {
    return std::clamp(finiteNumber(stored).value_or(rule.fallback), rule.min, rule.max);
}
std::optional<std::string> decode(const std::optional<json>& stored, OptionalText) {
    return text(stored);
}

void encode(SettingsStore& store, std::string_view key, bool value, Flag) {
    store.set(key, value);
}
template <typename E>
void encode(SettingsStore& store, std::string_view key, E value, Choice<E>) {
    store.set(key, std::string(rawValue(value)));
}
void encode(SettingsStore& store, std::string_view key, int value, ListedInt) {
    store.set(key, value);
}
void encode(SettingsStore& store, std::string_view key, double value, ClampedDouble) {
    store.set(key, value);
}
void encode(SettingsStore& store, std::string_view key, const std::optional<std::string>& value,
            OptionalText) {
    if (value) {
        store.set(key, *value);
    } else {
        store.remove(key);
    }
}

template <typename T, typename Rule>
struct PersistedField {
    std::string_view key;
    T AppState::*field;
    Rule rule;
};

bool isTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

// Every persisted property: its key, its field, and the rule that gives its
// default and bounds. Both reading at launch and writing on assignment go
// through this table.
struct AppStateSettings {
    static constexpr auto table() {
        namespace k = settings_keys;
        using S = AppState;
        return std::make_tuple(
            PersistedField{k::kCaptureMode, &S::captureMode_, Choice{CaptureMode::display}},
            PersistedField{k::kCameraEnabled, &S::cameraEnabled_, Flag{false}},
            PersistedField{k::kSystemAudioEnabled, &S::systemAudioEnabled_, Flag{true}},
            PersistedField{k::kHotkeyEnabled, &S::hotkeyEnabled_, Flag{true}},
            PersistedField{k::kCountdownEnabled, &S::countdownEnabled_, Flag{true}},
            PersistedField{k::kCountdownDuration, &S::countdownDuration_,
                           ListedInt{S::countdownDurations, 3}},
            PersistedField{k::kVideoQuality, &S::videoQuality_, Choice{VideoQuality::automatic}},
            PersistedField{k::kFrameRate, &S::frameRate_, ListedInt{S::frameRates, 30}},
            PersistedField{k::kShowCursor, &S::showCursor_, Flag{true}},
            PersistedField{k::kHighlightClicks, &S::highlightClicks_, Flag{false}},
            PersistedField{k::kCameraMirrored, &S::cameraMirrored_, Flag{false}},
            PersistedField{k::kCameraBackground, &S::cameraBackground_,
                           Choice{CameraBackgroundMode::none}},
            PersistedField{k::kCameraBlurStrength, &S::cameraBlurStrength_,
                           ClampedDouble{0.6, 0.0, 1.0}},
            PersistedField{k::kCameraBackgroundColor, &S::cameraBackgroundColor_,
                           Choice{CameraBackgroundColor::charcoal}},
            PersistedField{k::kCameraBackgroundImagePath, &S::cameraBackgroundImagePath_,
                           OptionalText{}},
            PersistedField{k::kCameraFaceSmoothing, &S::cameraFaceSmoothing_,
                           ClampedDouble{0.0, 0.0, 1.0}},
            PersistedField{k::kCameraKeepFaceCentered, &S::cameraKeepFaceCentered_, Flag{false}},
            PersistedField{k::kCameraAutoLighting, &S::cameraAutoLighting_, Flag{false}},
            PersistedField{k::kCameraBubbleSize, &S::cameraBubbleSize_,
                           ClampedDouble{160.0, 120.0, 560.0}},
            PersistedField{k::kCameraProfileImagePath, &S::cameraProfileImagePath_, OptionalText{}},
            PersistedField{k::kCameraShowProfile, &S::cameraShowProfile_, Flag{false}},
            PersistedField{k::kStripVertical, &S::stripVertical_, Flag{true}},
            PersistedField{k::kStripVisibility, &S::stripVisibility_,
                           Choice{StripVisibility::ownScreen}},
            PersistedField{k::kPenColor, &S::penColor_, Choice{PenColor::purple}},
            PersistedField{k::kAutoCopyLink, &S::autoCopyLink_, Flag{true}},
            PersistedField{k::kOpenShareInBrowser, &S::openShareInBrowser_, Flag{true}},
            PersistedField{k::kNotifyWhenReady, &S::notifyWhenReady_, Flag{false}},
            PersistedField{k::kPauseHotkeyEnabled, &S::pauseHotkeyEnabled_, Flag{false}},
            PersistedField{k::kKeepLocalCopy, &S::keepLocalCopy_, Flag{false}});
    }
};

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
    std::apply(
        [this](const auto&... setting) {
            ((this->*setting.field = decode(store_.get(setting.key), setting.rule)), ...);
        },
        AppStateSettings::table());
}

template <typename T>
void AppState::storeSetting(T AppState::*field) {
    std::apply(
        [&](const auto&... setting) {
            const auto writeIfThis = [&](const auto& entry) {
                if constexpr (std::is_same_v<decltype(entry.field), T AppState::*>) {
                    if (entry.field == field) {
                        encode(store_, entry.key, this->*field, entry.rule);
                    }
                }
            };
            (writeIfThis(setting), ...);
        },
        AppStateSettings::table());
}

template <typename T>
void AppState::assignSetting(T AppState::*field, T value) {
    assign(this->*field, std::move(value));
    storeSetting(field);
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
    return resolveServerBaseURL(text(store_.get(settings_keys::kServerBaseURL)));
}

void AppState::relaunch() {
    relauncher_.relaunch();
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

void AppState::setLocalCopyPath(std::optional<std::string> value) {
    assign(localCopyPath_, std::move(value));
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
    assignSetting(&AppState::captureMode_, value);
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
    assignSetting(&AppState::cameraEnabled_, value);
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
    assignSetting(&AppState::systemAudioEnabled_, value);
}

void AppState::setHotkeyEnabled(bool value) {
    assignSetting(&AppState::hotkeyEnabled_, value);
}

void AppState::setCountdownEnabled(bool value) {
    assignSetting(&AppState::countdownEnabled_, value);
}

void AppState::setCountdownDuration(int value) {
    assignSetting(&AppState::countdownDuration_, value);
}

void AppState::setVideoQuality(VideoQuality value) {
    assignSetting(&AppState::videoQuality_, value);
}

void AppState::setFrameRate(int value) {
    assignSetting(&AppState::frameRate_, value);
}

void AppState::setShowCursor(bool value) {
    assignSetting(&AppState::showCursor_, value);
}

void AppState::setHighlightClicks(bool value) {
    assignSetting(&AppState::highlightClicks_, value);
}

void AppState::setCameraMirrored(bool value) {
    assignSetting(&AppState::cameraMirrored_, value);
}

void AppState::setCameraBackground(CameraBackgroundMode value) {
    assignSetting(&AppState::cameraBackground_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBlurStrength(double value) {
    assignSetting(&AppState::cameraBlurStrength_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBackgroundColor(CameraBackgroundColor value) {
    assignSetting(&AppState::cameraBackgroundColor_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBackgroundImagePath(std::optional<std::string> value) {
    assignSetting(&AppState::cameraBackgroundImagePath_, std::move(value));
    runHook(cameraEffectsChanged);
}

void AppState::setCameraFaceSmoothing(double value) {
    assignSetting(&AppState::cameraFaceSmoothing_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraKeepFaceCentered(bool value) {
    assignSetting(&AppState::cameraKeepFaceCentered_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraAutoLighting(bool value) {
    assignSetting(&AppState::cameraAutoLighting_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraBubbleSize(double value) {
    assignSetting(&AppState::cameraBubbleSize_, value);
    runHook(cameraBubbleSizeChanged);
}

void AppState::setCameraProfileImagePath(std::optional<std::string> value) {
    assignSetting(&AppState::cameraProfileImagePath_, std::move(value));
    runHook(cameraEffectsChanged);
}

void AppState::setCameraShowProfile(bool value) {
    assignSetting(&AppState::cameraShowProfile_, value);
    runHook(cameraEffectsChanged);
}

void AppState::setCameraFullScreen(bool value) {
    assign(cameraFullScreen_, value);
    runHook(cameraFullScreenChanged);
}

void AppState::setStripVertical(bool value) {
    assignSetting(&AppState::stripVertical_, value);
}

void AppState::setStripVisibility(StripVisibility value) {
    assignSetting(&AppState::stripVisibility_, value);
}

void AppState::setRecordingNotes(std::string value) {
    assign(recordingNotes_, std::move(value));
}

void AppState::setRequestedSettingsCategory(std::optional<SettingsCategory> value) {
    assign(requestedSettingsCategory_, value);
}

void AppState::setPenColor(PenColor value) {
    assignSetting(&AppState::penColor_, value);
}

void AppState::setAutoCopyLink(bool value) {
    assignSetting(&AppState::autoCopyLink_, value);
}

void AppState::setOpenShareInBrowser(bool value) {
    assignSetting(&AppState::openShareInBrowser_, value);
}

void AppState::setNotifyWhenReady(bool value) {
    assignSetting(&AppState::notifyWhenReady_, value);
}

void AppState::setKeepLocalCopy(bool value) {
    assignSetting(&AppState::keepLocalCopy_, value);
}

void AppState::setPauseHotkeyEnabled(bool value) {
    assignSetting(&AppState::pauseHotkeyEnabled_, value);
}

void AppState::setServerReachable(std::optional<bool> value) {
    assign(serverReachable_, value);
}

}  // namespace tessera
