#include "platform/desktop/DesktopEntry.h"

#include <cstdlib>
#include <fstream>
#include <utility>

namespace tessera::desktop_entry {

namespace {

std::string envOr(const char* name, std::string fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::move(fallback);
}

std::filesystem::path homeDirectory() {
    return envOr("HOME", "/");
}

std::vector<std::string> splitList(std::string_view list) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= list.size()) {
        auto end = list.find(':', start);
        if (end == std::string_view::npos) {
            end = list.size();
        }
        if (end > start) {
            parts.emplace_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// Undoes the escapes of a string value: \s \n \t \r \\.
std::string unescapeValue(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                out += '\\';
                out += value[i];
        }
    }
    return out;
}

std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path.lexically_normal() : canonical;
}

}  // namespace

std::filesystem::path currentExecutable() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable;
}

std::string execArgument(std::string_view argument) {
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = argument.empty() || argument.find_first_of(kReserved) != std::string_view::npos;
    std::string quoted;
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            quoted += '\\';
        }
        quoted += c;
        if (c == '%') {
            quoted += '%';
        }
    }
    if (quote) {
        quoted = '"' + quoted + '"';
    }
    // The value escape comes on top of the quoting: every backslash doubles.
    std::string escaped;
    for (char c : quoted) {
        escaped += c;
        if (c == '\\') {
            escaped += '\\';
        }
    }
    return escaped;
}

std::vector<std::string> execArguments(std::string_view value) {
    const std::string line = unescapeValue(value);
    std::vector<std::string> arguments;
    std::string current;
    bool inArgument = false;
    bool inQuotes = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '%' && i + 1 < line.size() && line[i + 1] == '%') {
            current += '%';
            ++i;
        } else if (inQuotes) {
            if (c == '"') {
                inQuotes = false;
            } else if (c == '\\' && i + 1 < line.size()) {
                current += line[++i];
            } else {
                current += c;
            }
        } else if (c == ' ' || c == '\t') {
            if (inArgument) {
                arguments.push_back(std::exchange(current, {}));
                inArgument = false;
            }
            continue;
        } else if (c == '"') {
            inQuotes = true;
        } else {
            current += c;
        }
        inArgument = true;
    }
    if (inArgument) {
        arguments.push_back(current);
    }
    return arguments;
}

std::optional<std::map<std::string, std::string>> readMainGroup(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        return std::nullopt;
    }
    std::map<std::string, std::string> keys;
    bool inMainGroup = false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            inMainGroup = line.rfind("[Desktop Entry]", 0) == 0;
            continue;
        }
        auto equals = line.find('=');
        if (!inMainGroup || equals == std::string::npos) {
            continue;
        }
        auto key = line.substr(0, line.find_last_not_of(" \t", equals - 1) + 1);
        if (key.find('[') != std::string::npos) {
            continue;  // a localised variant
        }
        auto valueStart = line.find_first_not_of(" \t", equals + 1);
        keys.emplace(key, valueStart == std::string::npos ? "" : line.substr(valueStart));
    }
    return in.bad() ? std::nullopt : std::optional(std::move(keys));
}

bool namesExecutable(std::string_view program, const std::filesystem::path& executable,
                     std::string_view searchPath) {
    if (program.empty() || executable.empty()) {
        return false;
    }
    const auto target = resolved(executable);
    if (program.find('/') != std::string_view::npos) {
        return resolved(std::filesystem::path(program)) == target;
    }
    for (const auto& dir : splitList(searchPath)) {
        auto candidate = std::filesystem::path(dir) / program;
        std::error_code error;
        if (std::filesystem::exists(candidate, error)) {
            return resolved(candidate) == target;
        }
    }
    return false;
}

bool isInstalledExecutable(const std::filesystem::path& executable,
                           const std::vector<std::filesystem::path>& dataDirs,
                           std::string_view searchPath) {
    if (executable.empty()) {
        return false;
    }
    std::error_code error;
    const auto bin = resolved(executable).parent_path();
    if (bin.filename() == "bin" &&
        std::filesystem::exists(bin.parent_path() / "share/applications" / kFileName, error)) {
        return true;
    }
    for (const auto& dir : dataDirs) {
        auto entry = readMainGroup(dir / "applications" / kFileName);
        if (!entry) {
            continue;
        }
        auto exec = entry->find("Exec");
        if (exec == entry->end()) {
            continue;
        }
        auto arguments = execArguments(exec->second);
        if (!arguments.empty() && namesExecutable(arguments.front(), executable, searchPath)) {
            return true;
        }
    }
    return false;
}

std::vector<std::filesystem::path> dataDirectories() {
    std::vector<std::filesystem::path> dirs;
    dirs.emplace_back(envOr("XDG_DATA_HOME", (homeDirectory() / ".local/share").string()));
    for (const auto& dir : splitList(envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))) {
        dirs.emplace_back(dir);
    }
    return dirs;
}

}  // namespace tessera::desktop_entry
