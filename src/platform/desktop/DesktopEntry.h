#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessera::desktop_entry {

// The file name of the application's desktop entry, in share/applications of
// an installation and in the autostart folder.
inline constexpr std::string_view kFileName = "com.tessera.recorder.desktop";

// The running executable (/proc/self/exe); empty when it cannot be read.
std::filesystem::path currentExecutable();

// One argument of an Exec line, as written into the file: quoted in double
// quotes when it holds a reserved character (then ", `, $ and \ get a
// backslash), "%" doubled, and the value escape applied on top (so one literal
// backslash becomes four).
std::string execArgument(std::string_view argument);

// The arguments of an Exec value read from a file (value escapes undone,
// quotes removed, "%%" made "%"); field codes such as %u stay as they are.
std::vector<std::string> execArguments(std::string_view value);

// The keys of the [Desktop Entry] group with their raw values (comments, other
// groups and localised keys skipped); nullopt when the file cannot be read.
std::optional<std::map<std::string, std::string>> readMainGroup(const std::filesystem::path& file);

// Whether the program an Exec line names is `executable`: an absolute or
// relative path is compared after resolving links, a bare name is looked up in
// `searchPath` (a PATH-style list).
bool namesExecutable(std::string_view program, const std::filesystem::path& executable,
                     std::string_view searchPath);

// Whether `executable` runs from an installation of the application: its
// <prefix>/bin has <prefix>/share/applications/<entry> beside it, or one of
// `dataDirs` (XDG data folders, user's first) holds applications/<entry> whose
// Exec names it.
bool isInstalledExecutable(const std::filesystem::path& executable,
                           const std::vector<std::filesystem::path>& dataDirs,
                           std::string_view searchPath);

// $XDG_DATA_HOME (default ~/.local/share) followed by $XDG_DATA_DIRS (default
// /usr/local/share:/usr/share).
std::vector<std::filesystem::path> dataDirectories();

}  // namespace tessera::desktop_entry
