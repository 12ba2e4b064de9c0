#pragma once

#include <cstdint>
#include <string>

#include "support/Geometry.h"

namespace tessera {

// One capturable display (a monitor of the X screen).
struct DisplayOption {
    std::uint32_t id = 0;
    std::string name;

    friend bool operator==(const DisplayOption&, const DisplayOption&) = default;
};

// One capturable top-level window.
struct WindowOption {
    std::uint32_t id = 0;
    std::string appName;
    std::string title;  // may be empty
    Rect frame;         // global screen coordinates

    // "App — Title", or the application name alone for an untitled window.
    std::string displayName() const;

    friend bool operator==(const WindowOption&, const WindowOption&) = default;
};

// One camera or microphone.
struct CaptureDeviceOption {
    std::string id;  // the device's stable identifier
    std::string name;

    friend bool operator==(const CaptureDeviceOption&, const CaptureDeviceOption&) = default;
};

}  // namespace tessera
