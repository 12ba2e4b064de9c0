#include "app/SettingsTypes.h"

namespace tessera {

std::string_view rawValue(CaptureMode value) {
    switch (value) {
        case CaptureMode::display:
            return "display";
        case CaptureMode::window:
            return "window";
    }
    return {};
}

std::string_view rawValue(VideoQuality value) {
    switch (value) {
        case VideoQuality::automatic:
            return "auto";
        case VideoQuality::high:
            return "high";
        case VideoQuality::standard:
            return "standard";
    }
    return {};
}

std::string_view rawValue(StripVisibility value) {
    switch (value) {
        case StripVisibility::always:
            return "always";
        case StripVisibility::ownScreen:
            return "ownScreen";
        case StripVisibility::hidden:
            return "hidden";
    }
    return {};
}

std::string_view rawValue(PenColor value) {
    switch (value) {
        case PenColor::purple:
            return "purple";
        case PenColor::red:
            return "red";
        case PenColor::orange:
            return "orange";
        case PenColor::green:
            return "green";
        case PenColor::blue:
            return "blue";
        case PenColor::white:
            return "white";
    }
    return {};
}

std::string_view rawValue(SettingsCategory value) {
    switch (value) {
        case SettingsCategory::recording:
            return "recording";
        case SettingsCategory::camera:
            return "camera";
        case SettingsCategory::sharing:
            return "sharing";
        case SettingsCategory::shortcuts:
            return "shortcuts";
        case SettingsCategory::general:
            return "general";
    }
    return {};
}

namespace {

constexpr RgbaColor rgb255(int red, int green, int blue) {
    return {red / 255.0, green / 255.0, blue / 255.0, 1.0};
}

}  // namespace

RgbaColor strokeColor(PenColor pen) {
    switch (pen) {
        case PenColor::purple:
            return rgb255(175, 82, 222);
        case PenColor::red:
            return rgb255(255, 59, 48);
        case PenColor::orange:
            return rgb255(255, 149, 0);
        case PenColor::green:
            return rgb255(40, 205, 65);
        case PenColor::blue:
            return rgb255(0, 122, 255);
        case PenColor::white:
            return rgb255(255, 255, 255);
    }
    return rgb255(175, 82, 222);
}

RgbaColor glowColor(PenColor pen) {
    return pen == PenColor::white ? RgbaColor{0, 0, 0, 1} : RgbaColor{1, 1, 1, 1};
}

}  // namespace tessera
