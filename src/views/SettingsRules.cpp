#include "views/SettingsRules.h"

#include <filesystem>

namespace tessera::views {

std::string_view tabTitle(SettingsCategory category) {
    switch (category) {
        case SettingsCategory::recording:
            return "Recording";
        case SettingsCategory::camera:
            return "Camera";
        case SettingsCategory::sharing:
            return "Sharing";
        case SettingsCategory::shortcuts:
            return "Keys";
        case SettingsCategory::general:
            return "General";
    }
    return {};
}

std::string_view qualityLabel(VideoQuality quality) {
    switch (quality) {
        case VideoQuality::automatic:
            return "Auto";
        case VideoQuality::high:
            return "High";
        case VideoQuality::standard:
            return "Standard";
    }
    return {};
}

std::string_view toolbarLabel(StripVisibility visibility) {
    switch (visibility) {
        case StripVisibility::always:
            return "In video";
        case StripVisibility::ownScreen:
            return "Only you";
        case StripVisibility::hidden:
            return "Off";
    }
    return {};
}

std::string_view backgroundStyleLabel(CameraBackgroundMode mode) {
    switch (mode) {
        case CameraBackgroundMode::none:
            return "None";
        case CameraBackgroundMode::blur:
            return "Blur";
        case CameraBackgroundMode::color:
            return "Color";
        case CameraBackgroundMode::image:
            return "Image";
    }
    return {};
}

std::string frameRateLabel(int framesPerSecond) {
    return std::to_string(framesPerSecond) + " fps";
}

std::string countdownLabel(int seconds) {
    return std::to_string(seconds) + " s";
}

BackgroundRows backgroundRows(CameraBackgroundMode mode) {
    return {mode == CameraBackgroundMode::blur, mode == CameraBackgroundMode::color,
            mode == CameraBackgroundMode::image};
}

std::string fileRowText(const std::optional<std::string>& path) {
    if (!path || path->empty()) {
        return "None";
    }
    const std::filesystem::path file(*path);
    const std::string name = file.filename().string();
    // A path ending in a separator names its last folder.
    return name.empty() ? file.parent_path().filename().string() : name;
}

LaunchAtLoginRow launchAtLoginRow(LaunchAtLogin::Status status,
                                  const std::optional<std::string>& failure) {
    using Status = LaunchAtLogin::Status;
    LaunchAtLoginRow row;
    // A registration waiting for approval is on as far as the user's choice goes.
    row.checked = status == Status::enabled || status == Status::requiresApproval;
    if (status == Status::requiresApproval) {
        row.approvalLine = "Approval needed — enable Tessera Recorder under Login Items.";
    }
    if (failure) {
        row.errorLine = "Couldn't update Launch at Login: " + *failure;
    }
    return row;
}

}  // namespace tessera::views
