#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "app/RawValue.h"
#include "app/RgbaColor.h"

namespace tessera {

// What replaces the background behind the person in the camera picture.
enum class CameraBackgroundMode { none, blur, color, image };

// The solid colours offered for the `color` background (and the fallback when a
// background image cannot be used).
enum class CameraBackgroundColor { charcoal, violet, teal, sand, white, green };

template <>
struct EnumCases<CameraBackgroundMode> {
    static constexpr std::array values{CameraBackgroundMode::none, CameraBackgroundMode::blur,
                                       CameraBackgroundMode::color, CameraBackgroundMode::image};
};
template <>
struct EnumCases<CameraBackgroundColor> {
    static constexpr std::array values{
        CameraBackgroundColor::charcoal, CameraBackgroundColor::violet,
        CameraBackgroundColor::teal,     CameraBackgroundColor::sand,
        CameraBackgroundColor::white,    CameraBackgroundColor::green};
};

constexpr std::string_view rawValue(CameraBackgroundMode value) {
    switch (value) {
        case CameraBackgroundMode::none:
            return "none";
        case CameraBackgroundMode::blur:
            return "blur";
        case CameraBackgroundMode::color:
            return "color";
        case CameraBackgroundMode::image:
            return "image";
    }
    return {};
}

constexpr std::string_view rawValue(CameraBackgroundColor value) {
    switch (value) {
        case CameraBackgroundColor::charcoal:
            return "charcoal";
        case CameraBackgroundColor::violet:
            return "violet";
        case CameraBackgroundColor::teal:
            return "teal";
        case CameraBackgroundColor::sand:
            return "sand";
        case CameraBackgroundColor::white:
            return "white";
        case CameraBackgroundColor::green:
            return "green";
    }
    return {};
}

// The opaque sRGB colour of a background choice.
constexpr RgbaColor color(CameraBackgroundColor value) {
    switch (value) {
        case CameraBackgroundColor::charcoal:
            return {0.11, 0.11, 0.13, 1.0};
        case CameraBackgroundColor::violet:
            return {0.42, 0.28, 0.85, 1.0};
        case CameraBackgroundColor::teal:
            return {0.10, 0.55, 0.55, 1.0};
        case CameraBackgroundColor::sand:
            return {0.85, 0.78, 0.66, 1.0};
        case CameraBackgroundColor::white:
            return {0.96, 0.96, 0.97, 1.0};
        case CameraBackgroundColor::green:
            return {0.00, 0.70, 0.25, 1.0};
    }
    return {0.11, 0.11, 0.13, 1.0};
}

// The camera-effect settings handed to the camera's frame path as one value.
// The defaults are what the camera uses before the first settings arrive.
struct CameraEffectSettings {
    CameraBackgroundMode background = CameraBackgroundMode::none;
    double blurStrength = 0.6;
    CameraBackgroundColor backgroundColor = CameraBackgroundColor::charcoal;
    std::optional<std::string> backgroundImagePath;
    double faceSmoothing = 0.0;  // off at or below 0.001
    bool keepFaceCentered = false;
    bool autoLighting = false;
    std::optional<std::string> profileImagePath;
    bool showProfile = false;

    // True when the settings ask for no processing at all.
    bool isIdentity() const {
        const bool profileShown = showProfile && profileImagePath && !profileImagePath->empty();
        return background == CameraBackgroundMode::none && faceSmoothing <= 0.001 &&
               !keepFaceCentered && !profileShown && !autoLighting;
    }

    friend bool operator==(const CameraEffectSettings&, const CameraEffectSettings&) = default;
};

}  // namespace tessera
