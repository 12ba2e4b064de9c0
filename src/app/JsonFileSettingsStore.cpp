#include "app/JsonFileSettingsStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <utility>
#include <vector>

#include "support/Log.h"
#include "support/UniqueFd.h"

namespace tessera {
namespace {

namespace fs = std::filesystem;

std::string errnoText(int error) {
    return std::strerror(error);
}

// Reads the whole file; sets `error` to errno on failure (ENOENT included).
std::optional<std::string> readFile(const fs::path& path, int& error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        error = errno;
        return std::nullopt;
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = errno;
            return std::nullopt;
        }
        if (n == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::string utcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return ".";
}

// Replaces the file at `path` with `values`, atomically and durably. Returns
// the user-facing description of a failure or of an encoding problem, none
// when all went well.
std::optional<std::string> writeSettingsFile(const fs::path& path, const nlohmann::json& values) {
    std::string text;
    std::optional<std::string> encodingProblem;
    try {
        text = values.dump(2);
    } catch (const nlohmann::json::type_error&) {
        // Text that is not valid UTF-8 (a file path can be any bytes). Save the
        // rest; the odd bytes become U+FFFD in the file but stay exact in memory.
        text = values.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        encodingProblem = "A setting holds text that is not valid UTF-8; it was saved to " +
                          path.string() + " with replacement characters.";
    }
    text.push_back('\n');

    const auto fail = [&](const std::string& what, int error, const std::string& tempPath) {
        if (!tempPath.empty()) {
            ::unlink(tempPath.c_str());
        }
        return "Settings could not be saved to " + path.string() + ": " + what + " (" +
               errnoText(error) + ").";
    };

    std::error_code ec;
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    fs::create_directories(folder, ec);
    if (ec) {
        return fail("the folder could not be created", ec.value(), {});
    }
    std::string temp = (folder / (path.filename().string() + ".tmp-XXXXXX")).string();
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return fail("a temporary file could not be created", errno, {});
    }
    if (!writeAll(fd.get(), text)) {
        return fail("writing failed", errno, temp);
    }
    if (::fsync(fd.get()) != 0) {
        return fail("flushing to disk failed", errno, temp);
    }
    if (!fd.close()) {
        return fail("closing the file failed", errno, temp);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        return fail("replacing the file failed", errno, temp);
    }
    // Make the rename itself durable; a failure here leaves a valid file either
    // way, so it is not reported.
    UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() >= 0) {
        ::fsync(folderFd.get());
    }
    return encodingProblem;
}

}  // namespace

JsonFileSettingsStore::JsonFileSettingsStore(std::filesystem::path path, WriteHook beforeWrite)
    : path_(std::move(path)),
      beforeWrite_(std::move(beforeWrite)),
      writer_("com.tessera.recorder.settings") {
    load();
}

JsonFileSettingsStore::~JsonFileSettingsStore() {
    flush();
}

fs::path JsonFileSettingsStore::defaultPath() {
    fs::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        base = config;
    } else {
        base = homeDirectory() / ".config";
    }
    return base / "tessera-recorder" / "settings.json";
}

void JsonFileSettingsStore::load() {
    int error = 0;
    const auto text = readFile(path_, error);
    if (!text) {
        // No file (or a path through a non-folder): nothing stored yet.
        if (error != ENOENT && error != ENOTDIR) {
            moveAside("it could not be read (" + errnoText(error) + ")");
        }
        return;
    }
    auto parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) {
        moveAside("it is not valid JSON");
        return;
    }
    if (!parsed.is_object()) {
        moveAside("it does not hold a JSON object");
        return;
    }
    values_ = std::move(parsed);
}

void JsonFileSettingsStore::moveAside(const std::string& reason) {
    const std::string base = path_.string() + ".corrupt-" + utcTimestamp();
    fs::path target = base;
    std::error_code ec;
    for (int n = 1; fs::exists(fs::symlink_status(target, ec)) && n < 1000; ++n) {
        target = base + "-" + std::to_string(n);
    }
    if (::rename(path_.c_str(), target.c_str()) == 0) {
        movedAside_ = target;
        loadError_ = "The settings file " + path_.string() + " was not used because " + reason +
                     "; it was moved to " + target.string() + " and the defaults apply.";
        return;
    }
    // Writing now would replace a file the user may still want back.
    writable_ = false;
    loadError_ = "The settings file " + path_.string() + " was not used because " + reason +
                 ", and it could not be moved aside (" + errnoText(errno) +
                 "); settings will not be saved until it is fixed.";
}

std::optional<nlohmann::json> JsonFileSettingsStore::get(std::string_view key) const {
    const auto it = values_.find(key);
    if (it == values_.end()) {
        return std::nullopt;
    }
    return *it;
}

void JsonFileSettingsStore::set(std::string_view key, nlohmann::json value) {
    values_[std::string(key)] = std::move(value);
    scheduleWrite();
}

void JsonFileSettingsStore::remove(std::string_view key) {
    values_.erase(std::string(key));
    scheduleWrite();
}

std::optional<std::string> JsonFileSettingsStore::lastWriteError() const {
    std::lock_guard lock(mutex_);
    return lastWriteError_;
}

void JsonFileSettingsStore::scheduleWrite() {
    std::lock_guard lock(mutex_);
    if (!writable_) {
        lastWriteError_ = loadError_;
        return;
    }
    // A write already queued picks up these values too.
    const bool writeQueued = pending_.has_value();
    pending_ = values_;
    if (!writeQueued) {
        writer_.async([this] { writeLatest(); });
    }
}

// Worker thread.
void JsonFileSettingsStore::writeLatest() {
    std::optional<nlohmann::json> values;
    {
        std::lock_guard lock(mutex_);
        values = std::exchange(pending_, std::nullopt);
    }
    if (!values) {
        return;
    }
    if (beforeWrite_) {
        beforeWrite_();
    }
    auto error = writeSettingsFile(path_, *values);
    if (error) {
        logging::warning("settings", *error);
    }
    std::lock_guard lock(mutex_);
    lastWriteError_ = std::move(error);
}

void JsonFileSettingsStore::flush() {
    std::promise<void> written;
    auto done = written.get_future();
    if (writer_.async([&written] { written.set_value(); })) {
        done.wait();
    }
}

}  // namespace tessera
