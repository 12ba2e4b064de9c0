#include "platform/desktop/XdgAutostart.h"

#include <QDesktopServices>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "platform/desktop/DesktopEntry.h"
#include "support/Log.h"

namespace tessera {

namespace {

constexpr const char* kComponent = "autostart";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string errorText(const std::error_code& error) {
    return error.message();
}

}  // namespace

std::filesystem::path defaultAutostartFolder() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && *configHome == '/') {
        return std::filesystem::path(configHome) / "autostart";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".config/autostart";
}

std::string autostartEntryText(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tessera Recorder\n"
           "Comment=Record the screen and share a link\n"
           "Exec=" +
           desktop_entry::execArgument(executable.string()) +
           "\n"
           "Icon=com.tessera.recorder\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

XdgAutostart::XdgAutostart(std::optional<std::filesystem::path> autostartFolder,
                           std::optional<std::filesystem::path> executable)
    : folder_(autostartFolder.value_or(defaultAutostartFolder())),
      entryPath_(folder_ / desktop_entry::kFileName),
      executable_(executable.value_or(desktop_entry::currentExecutable())) {}

LaunchAtLogin::Status XdgAutostart::status() const {
    auto keys = desktop_entry::readMainGroup(entryPath_);
    if (!keys) {
        return Status::notRegistered;
    }
    auto value = [&](const std::string& key) {
        auto found = keys->find(key);
        return found == keys->end() ? std::string() : found->second;
    };
    if (lowered(value("Hidden")) == "true" ||
        lowered(value("X-GNOME-Autostart-enabled")) == "false") {
        return Status::notRegistered;
    }
    auto arguments = desktop_entry::execArguments(value("Exec"));
    const char* path = std::getenv("PATH");
    if (arguments.empty() ||
        !desktop_entry::namesExecutable(arguments.front(), executable_, path ? path : "")) {
        return Status::notRegistered;
    }
    return Status::enabled;
}

void XdgAutostart::setEnabled(bool on) {
    if (!on) {
        std::error_code error;
        std::filesystem::remove(entryPath_, error);
        if (error) {
            throw std::runtime_error("Couldn't remove " + entryPath_.string() + ": " +
                                     errorText(error));
        }
        return;
    }
    if (status() == Status::enabled) {
        return;
    }
    if (executable_.empty()) {
        throw std::runtime_error("The path of the running program is unknown.");
    }
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        throw std::runtime_error("Couldn't create " + folder_.string() + ": " + errorText(error));
    }
    // QSaveFile writes a temporary file beside the entry and renames it over
    // the entry on commit, so the desktop never reads a half-written entry.
    QSaveFile file(QString::fromStdString(entryPath_.string()));
    const std::string text = autostartEntryText(executable_);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        throw std::runtime_error("Couldn't write " + entryPath_.string() + ": " +
                                 file.errorString().toStdString());
    }
    using std::filesystem::perms;
    std::filesystem::permissions(
        entryPath_, perms::owner_read | perms::owner_write | perms::group_read | perms::others_read,
        error);
    if (error) {
        throw std::runtime_error("Couldn't set the permissions of " + entryPath_.string() + ": " +
                                 errorText(error));
    }
}

void XdgAutostart::openLoginItemsSettings() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    auto command = autostartSettingsCommand(desktop ? desktop : "", [](const std::string& program) {
        return !QStandardPaths::findExecutable(QString::fromStdString(program)).isEmpty();
    });
    if (command) {
        QStringList arguments;
        for (const auto& argument : command->arguments) {
            arguments << QString::fromStdString(argument);
        }
        if (QProcess::startDetached(QString::fromStdString(command->program), arguments)) {
            return;
        }
        logging::warning(kComponent, "couldn't start " + command->program +
                                         "; opening the autostart folder instead");
    }
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        logging::warning(kComponent,
                         "couldn't create " + folder_.string() + ": " + errorText(error));
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder_.string())))) {
        logging::warning(kComponent, "the desktop could not open " + folder_.string());
    }
}

std::optional<SettingsCommand> autostartSettingsCommand(
    std::string_view currentDesktop, const std::function<bool(const std::string&)>& installed) {
    struct Candidate {
        std::string_view desktop;
        SettingsCommand command;
    };
    static const std::vector<Candidate> kCandidates = {
        {"gnome", {"gnome-session-properties", {}}},    {"gnome", {"gnome-tweaks", {}}},
        {"kde", {"systemsettings", {"kcm_autostart"}}}, {"xfce", {"xfce4-session-settings", {}}},
        {"lxqt", {"lxqt-config-session", {}}},
    };
    // XDG_CURRENT_DESKTOP lists names from the most specific ("ubuntu:GNOME").
    std::string_view rest = currentDesktop;
    while (!rest.empty()) {
        auto colon = rest.find(':');
        const std::string name = lowered(std::string(rest.substr(0, colon)));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        for (const auto& candidate : kCandidates) {
            if (name == candidate.desktop && installed(candidate.command.program)) {
                return candidate.command;
            }
        }
    }
    return std::nullopt;
}

}  // namespace tessera
