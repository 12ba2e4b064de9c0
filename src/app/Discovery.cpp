#include "app/Discovery.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <locale>

#include "app/ScreenLookup.h"

namespace tessera {

namespace {

// Decodes UTF-8; a malformed byte stands for itself so that no text is lost.
std::wstring decodeUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = lead < 0x80           ? 1
                     : (lead >> 5) == 0x6  ? 2
                     : (lead >> 4) == 0xE  ? 3
                     : (lead >> 3) == 0x1E ? 4
                                           : 0;
        if (length == 0 || i + length > text.size()) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = true;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = valid && (next >> 6) == 0x2;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += length;
    }
    return out;
}

bool namesUtf8(std::string name) {
    std::ranges::transform(name, name.begin(), [](unsigned char c) { return std::tolower(c); });
    return name.find("utf-8") != std::string::npos || name.find("utf8") != std::string::npos;
}

// The user's locale when the environment names a UTF-8 one, else C.UTF-8, else
// the classic one. The texts compared are UTF-8 whatever the environment says,
// and only a UTF-8 locale folds the case of letters beyond ASCII (a plain "C"
// environment would leave "É" and "é" apart).
const std::locale& userLocale() {
    static const std::locale locale = [] {
        try {
            std::locale environment("");
            if (namesUtf8(environment.name())) {
                return environment;
            }
        } catch (const std::runtime_error&) {
            // The environment names a locale that is not installed.
        }
        try {
            return std::locale("C.UTF-8");
        } catch (const std::runtime_error&) {
            return std::locale::classic();  // no UTF-8 locale at all: ASCII folding only
        }
    }();
    return locale;
}

}  // namespace

DeviceDiscovery::DeviceDiscovery(AppState& state, Sources sources, Identity identity)
    : state_(state), sources_(sources), identity_(std::move(identity)) {}

void DeviceDiscovery::refreshDevices() {
    const auto monitors = sources_.displays.monitors();
    const auto mainID = sources_.displays.mainDisplayID();
    auto displays = displayOptions(monitors, mainID);
    const auto selectedDisplay =
        repairedDisplaySelection(state_.selectedDisplayID(), displays, mainID);
    state_.setDisplays(std::move(displays));
    if (selectedDisplay != state_.selectedDisplayID()) {
        state_.setSelectedDisplayID(selectedDisplay);
    }

    auto microphones = sources_.microphones.devices();
    const auto selectedMic = repairedDeviceSelection(state_.selectedMicID(), microphones);
    state_.setMicrophones(std::move(microphones));
    if (selectedMic != state_.selectedMicID()) {
        state_.setSelectedMicID(selectedMic);
    }

    auto cameras = sources_.cameras.devices();
    const auto selectedCamera = repairedDeviceSelection(state_.selectedCameraID(), cameras);
    state_.setCameras(std::move(cameras));
    if (selectedCamera != state_.selectedCameraID()) {
        state_.setSelectedCameraID(selectedCamera);
    }
}

Task<void> DeviceDiscovery::refreshWindows() {
    std::vector<ContentWindow> content;
    try {
        content = co_await sources_.windows.shareableWindows();
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception&) {
        // Listing failed (no display connection, no permission): the list and
        // the selection stay as they were, without a message.
        co_return;
    }
    auto windows = windowOptions(content, identity_);
    const auto selected = repairedWindowSelection(state_.selectedWindowID(), windows);
    state_.setWindows(std::move(windows));
    if (selected != state_.selectedWindowID()) {
        state_.setSelectedWindowID(selected);
    }
}

std::optional<std::uint32_t> DeviceDiscovery::displayID(const Rect& containing) {
    return displayContaining(containing, sources_.displays.monitors());
}

std::optional<MonitorInfo> DeviceDiscovery::screen(std::uint32_t displayID) {
    for (auto& monitor : sources_.displays.monitors()) {
        if (monitor.id == displayID) {
            return monitor;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> DeviceDiscovery::displayID(const std::string& screenName) {
    for (const auto& monitor : sources_.displays.monitors()) {
        if (monitor.name == screenName) {
            return monitor.id;
        }
    }
    return std::nullopt;
}

double DeviceDiscovery::chromeScale(std::uint32_t displayID) {
    auto target = screen(displayID);
    if (!target) {
        target = screen(sources_.displays.mainDisplayID());
    }
    return ScreenLookup::chromeScale(target ? std::optional(target->frame.height()) : std::nullopt);
}

std::string DeviceDiscovery::displayName(std::size_t index, const Rect& bounds, bool isMain) {
    const auto width = static_cast<long long>(std::llround(bounds.width()));
    const auto height = static_cast<long long>(std::llround(bounds.height()));
    std::string name = "Display " + std::to_string(index + 1) + " — " + std::to_string(width) +
                       "×" + std::to_string(height);
    if (isMain) {
        name += "  (Main)";
    }
    return name;
}

std::vector<DisplayOption> DeviceDiscovery::displayOptions(const std::vector<MonitorInfo>& monitors,
                                                           std::uint32_t mainDisplayID) {
    std::vector<DisplayOption> options;
    options.reserve(monitors.size());
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        options.push_back(
            {monitors[i].id, displayName(i, monitors[i].frame, monitors[i].id == mainDisplayID)});
    }
    return options;
}

std::uint32_t DeviceDiscovery::repairedDisplaySelection(std::uint32_t selected,
                                                        const std::vector<DisplayOption>& displays,
                                                        std::uint32_t mainDisplayID) {
    if (std::ranges::any_of(displays, [&](const auto& d) { return d.id == selected; })) {
        return selected;
    }
    return displays.empty() ? mainDisplayID : displays.front().id;
}

std::string DeviceDiscovery::repairedDeviceSelection(
    const std::string& selected, const std::vector<CaptureDeviceOption>& devices) {
    if (selected.empty() ||
        std::ranges::any_of(devices, [&](const auto& d) { return d.id == selected; })) {
        return selected;
    }
    return {};
}

std::vector<WindowOption> DeviceDiscovery::windowOptions(const std::vector<ContentWindow>& windows,
                                                         const Identity& own) {
    std::vector<WindowOption> options;
    for (const auto& window : windows) {
        if (!window.owner) {
            continue;
        }
        const auto& owner = *window.owner;
        if (owner.processID != 0 && owner.processID == own.processID) {
            continue;
        }
        if (!own.bundleIdentifier.empty() && owner.bundleIdentifier == own.bundleIdentifier) {
            continue;
        }
        if (window.frame.width() < 100 || window.frame.height() < 100) {
            continue;
        }
        if (owner.applicationName.empty()) {
            continue;
        }
        options.push_back({window.windowID, owner.applicationName, window.title, window.frame});
    }
    std::ranges::stable_sort(options, [](const WindowOption& a, const WindowOption& b) {
        const int byApp = compareLocalizedCaseInsensitive(a.appName, b.appName);
        if (byApp != 0) {
            return byApp < 0;
        }
        return compareLocalizedCaseInsensitive(a.title, b.title) < 0;
    });
    return options;
}

std::optional<std::uint32_t> DeviceDiscovery::repairedWindowSelection(
    std::optional<std::uint32_t> selected, const std::vector<WindowOption>& windows) {
    if (selected &&
        std::ranges::any_of(windows, [&](const auto& w) { return w.id == *selected; })) {
        return selected;
    }
    if (windows.empty()) {
        return std::nullopt;
    }
    return windows.front().id;
}

std::optional<std::uint32_t> DeviceDiscovery::displayContaining(
    const Rect& rect, const std::vector<MonitorInfo>& monitors) {
    const Point mid{rect.midX(), rect.midY()};
    for (const auto& monitor : monitors) {
        if (monitor.frame.contains(mid)) {
            return monitor.id;
        }
    }
    return std::nullopt;
}

int DeviceDiscovery::compareLocalizedCaseInsensitive(const std::string& a, const std::string& b) {
    const auto& locale = userLocale();
    auto fold = [&](const std::string& text) {
        auto wide = decodeUtf8(text);
        for (auto& c : wide) {
            c = std::tolower(c, locale);
        }
        return wide;
    };
    const auto lhs = fold(a);
    const auto rhs = fold(b);
    return std::use_facet<std::collate<wchar_t>>(locale).compare(
        lhs.data(), lhs.data() + lhs.size(), rhs.data(), rhs.data() + rhs.size());
}

}  // namespace tessera
