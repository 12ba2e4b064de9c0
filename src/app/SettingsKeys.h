#pragma once

#include <string_view>

// The keys under which settings are stored. They are part of the stored format:
// renaming one loses the user's value.
namespace tessera::settings_keys {

inline constexpr std::string_view kCaptureMode = "captureMode";
inline constexpr std::string_view kCameraEnabled = "cameraEnabled";
inline constexpr std::string_view kSystemAudioEnabled = "systemAudioEnabled";
inline constexpr std::string_view kHotkeyEnabled = "globalHotkeyEnabled";
inline constexpr std::string_view kCountdownEnabled = "countdownEnabled";
inline constexpr std::string_view kCountdownDuration = "countdownDurationSeconds";
inline constexpr std::string_view kVideoQuality = "videoQuality";
inline constexpr std::string_view kFrameRate = "captureFrameRate";
inline constexpr std::string_view kShowCursor = "showCursorInRecording";
inline constexpr std::string_view kHighlightClicks = "highlightMouseClicks";
inline constexpr std::string_view kCameraMirrored = "cameraMirrored";
inline constexpr std::string_view kCameraBackground = "cameraBackgroundMode";
inline constexpr std::string_view kCameraBlurStrength = "cameraBackgroundBlurStrength";
inline constexpr std::string_view kCameraBackgroundColor = "cameraBackgroundColor";
inline constexpr std::string_view kCameraBackgroundImagePath = "cameraBackgroundImagePath";
inline constexpr std::string_view kCameraFaceSmoothing = "cameraFaceSmoothing";
inline constexpr std::string_view kCameraKeepFaceCentered = "cameraKeepFaceCentered";
inline constexpr std::string_view kCameraAutoLighting = "cameraAutoLighting";
inline constexpr std::string_view kCameraBubbleSize = "cameraBubbleSize";
inline constexpr std::string_view kCameraProfileImagePath = "cameraProfileImagePath";
inline constexpr std::string_view kCameraShowProfile = "cameraShowProfilePicture";
inline constexpr std::string_view kStripVertical = "controlStripVertical";
inline constexpr std::string_view kStripVisibility = "controlStripVisibility";
inline constexpr std::string_view kPenColor = "penColorName";
inline constexpr std::string_view kAutoCopyLink = "autoCopyShareLink";
inline constexpr std::string_view kOpenShareInBrowser = "openSharePageInBrowser";
inline constexpr std::string_view kNotifyWhenReady = "notifyWhenReady";
inline constexpr std::string_view kPauseHotkeyEnabled = "pauseHotkeyEnabled";
inline constexpr std::string_view kServerBaseURL = "serverBaseURL";
inline constexpr std::string_view kKeepLocalCopy = "keepLocalCopy";

// Window origins remembered by the floating windows.
inline constexpr std::string_view kCameraBubbleX = "cameraBubbleX";
inline constexpr std::string_view kCameraBubbleY = "cameraBubbleY";
inline constexpr std::string_view kControlPanelX = "controlPanelX";
inline constexpr std::string_view kControlPanelY = "controlPanelY";

}  // namespace tessera::settings_keys
