#pragma once

#include <array>
#include <string_view>

#include "app/RawValue.h"
#include "app/RgbaColor.h"

namespace tessera {

// What a recording captures.
enum class CaptureMode { display, window };

// Encoder quality choice. `automatic` is stored as "auto" (a C++ keyword).
enum class VideoQuality { automatic, high, standard };

// Where the floating control strip goes: shown and recorded, shown to the user
// only (kept out of the video), or not shown.
enum class StripVisibility { always, ownScreen, hidden };

// Colour of the drawing pen.
enum class PenColor { purple, red, orange, green, blue, white };

// The tabs of the settings window.
enum class SettingsCategory { recording, camera, sharing, shortcuts, general };

std::string_view rawValue(CaptureMode value);
std::string_view rawValue(VideoQuality value);
std::string_view rawValue(StripVisibility value);
std::string_view rawValue(PenColor value);
std::string_view rawValue(SettingsCategory value);

// The colour of the pen's line: the desktop's standard accent colour of the same
// name (values of the common light appearance), plain white for the white pen.
RgbaColor strokeColor(PenColor pen);
// The glow around the line: black for the white pen, white for every other.
RgbaColor glowColor(PenColor pen);

template <>
struct EnumCases<CaptureMode> {
    static constexpr std::array values{CaptureMode::display, CaptureMode::window};
};
template <>
struct EnumCases<VideoQuality> {
    static constexpr std::array values{VideoQuality::automatic, VideoQuality::high,
                                       VideoQuality::standard};
};
template <>
struct EnumCases<StripVisibility> {
    static constexpr std::array values{StripVisibility::always, StripVisibility::ownScreen,
                                       StripVisibility::hidden};
};
template <>
struct EnumCases<PenColor> {
    static constexpr std::array values{PenColor::purple, PenColor::red,  PenColor::orange,
                                       PenColor::green,  PenColor::blue, PenColor::white};
};
template <>
struct EnumCases<SettingsCategory> {
    static constexpr std::array values{SettingsCategory::recording, SettingsCategory::camera,
                                       SettingsCategory::sharing, SettingsCategory::shortcuts,
                                       SettingsCategory::general};
};

}  // namespace tessera
