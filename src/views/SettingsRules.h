#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/SettingsTypes.h"
#include "camera/CameraEffectSettings.h"
#include "platform/LaunchAtLogin.h"

namespace tessera::views {

// Tab titles: "Recording", "Camera", "Sharing", "Keys", "General".
std::string_view tabTitle(SettingsCategory category);

// Picker labels.
std::string_view qualityLabel(VideoQuality quality);
std::string_view toolbarLabel(StripVisibility visibility);
std::string_view backgroundStyleLabel(CameraBackgroundMode mode);
std::string frameRateLabel(int framesPerSecond);
std::string countdownLabel(int seconds);

// Which of the background's detail rows the camera tab shows: only the one
// that belongs to the chosen style.
struct BackgroundRows {
    bool blur = false;
    bool color = false;
    bool image = false;

    friend bool operator==(const BackgroundRows&, const BackgroundRows&) = default;
};
BackgroundRows backgroundRows(CameraBackgroundMode mode);

// What a file row shows: the chosen file's name without its folder, or "None".
std::string fileRowText(const std::optional<std::string>& path);

// The launch-at-login row for the login item's real status and the last
// failed change (none when the last change worked or none was made).
struct LaunchAtLoginRow {
    bool checked = false;
    // "Approval needed — …" with its "Open Login Items Settings…" button.
    std::optional<std::string> approvalLine;
    // "Couldn't update Launch at Login: <reason>".
    std::optional<std::string> errorLine;

    friend bool operator==(const LaunchAtLoginRow&, const LaunchAtLoginRow&) = default;
};
LaunchAtLoginRow launchAtLoginRow(LaunchAtLogin::Status status,
                                  const std::optional<std::string>& failure);

}  // namespace tessera::views
