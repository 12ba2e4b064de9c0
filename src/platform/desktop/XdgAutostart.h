#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/LaunchAtLogin.h"

namespace tessera {

// Launch at login through an XDG autostart entry,
// <autostart folder>/com.tessera.recorder.desktop, whose Exec is the running
// executable. Main thread.
//
// status() reads the file back: enabled when it exists, its Exec names this
// executable, and neither Hidden=true nor X-GNOME-Autostart-enabled=false turns
// it off; otherwise not registered. Turning it on writes the whole entry
// atomically (mode 0644) unless it is already enabled; turning it off always
// removes the file. Failures throw std::runtime_error with a readable what().
class XdgAutostart final : public LaunchAtLogin {
  public:
    // `autostartFolder` defaults to $XDG_CONFIG_HOME/autostart (~/.config
    // when unset); `executable` to the running executable.
    explicit XdgAutostart(std::optional<std::filesystem::path> autostartFolder = std::nullopt,
                          std::optional<std::filesystem::path> executable = std::nullopt);

    Status status() const override;
    void setEnabled(bool on) override;
    // Starts the desktop's own autostart settings when the desktop is known
    // and its tool is installed; otherwise opens the autostart folder (made
    // first) in the file manager.
    void openLoginItemsSettings() override;

    const std::filesystem::path& entryPath() const { return entryPath_; }

  private:
    std::filesystem::path folder_;
    std::filesystem::path entryPath_;
    std::filesystem::path executable_;
};

// The autostart folder from the environment: $XDG_CONFIG_HOME/autostart, or
// ~/.config/autostart.
std::filesystem::path defaultAutostartFolder();

// The text of the autostart entry that starts `executable`.
std::string autostartEntryText(const std::filesystem::path& executable);

struct SettingsCommand {
    std::string program;
    std::vector<std::string> arguments;
    friend bool operator==(const SettingsCommand&, const SettingsCommand&) = default;
};

// The program that shows the autostart settings of the desktop named by
// `currentDesktop` ($XDG_CURRENT_DESKTOP, a ":"-separated list), the first
// candidate for which `installed(program)` holds; none for unknown desktops.
std::optional<SettingsCommand> autostartSettingsCommand(
    std::string_view currentDesktop, const std::function<bool(const std::string&)>& installed);

}  // namespace tessera
