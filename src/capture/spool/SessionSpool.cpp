#include "capture/spool/SessionSpool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/Log.h"
#include "support/RecorderError.h"
#include "support/UniqueFd.h"

namespace tessera {
namespace {

constexpr const char* kComponent = "spool";
constexpr const char* kManifestName = "session.json";

std::string systemError(const std::string& what) {
    return what + " (" + std::strerror(errno) + ")";
}

// Writes all of `size` bytes at the descriptor's position; false with errno set
// on failure.
bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Opens (creating it) a private folder that is not a symbolic link, relative to
// `parentFd` (or AT_FDCWD). Returns its descriptor; throws RecorderError.
int openPrivateFolder(int parentFd, const std::filesystem::path& path) {
    if (::mkdirat(parentFd, path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw RecorderError(systemError("Couldn't create the local copy folder " + path.string()));
    }
    const int fd =
        ::openat(parentFd, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        throw RecorderError(
            systemError("Couldn't open the local copy folder " + path.string() +
                        (errno == ELOOP || errno == ENOTDIR ? " (it is a link)" : "")));
    }
    if (::fchmod(fd, 0700) != 0) {
        const std::string error = systemError("Couldn't make " + path.string() + " private");
        ::close(fd);
        throw RecorderError(error);
    }
    return fd;
}

std::filesystem::path environmentFolder(const char* variable, const char* homeRelative) {
    if (const char* value = std::getenv(variable); value && *value == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / homeRelative;
}

}  // namespace

struct SessionSpool::KindFile {
    explicit KindFile(int descriptor) : fd(descriptor) {}
    UniqueFd fd;
    std::uint64_t completeSize = 0;  // bytes of whole, fsynced segments
};

// The videos folder the desktop names in user-dirs.dirs (`XDG_VIDEOS_DIR="$HOME/..."`),
// unless the variable is set in the environment.
std::filesystem::path videosFolder() {
    if (const char* value = std::getenv("XDG_VIDEOS_DIR"); value && *value == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    const std::string homeText = home && *home ? home : "/tmp";
    std::ifstream dirs(environmentFolder("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs");
    std::string line;
    while (std::getline(dirs, line)) {
        constexpr std::string_view kKey = "XDG_VIDEOS_DIR=\"";
        if (!line.starts_with(kKey) || !line.ends_with('"')) {
            continue;
        }
        std::string path = line.substr(kKey.size(), line.size() - kKey.size() - 1);
        if (path.starts_with("$HOME")) {
            path = homeText + path.substr(5);
        }
        if (path.starts_with('/')) {
            return path;
        }
    }
    return std::filesystem::path(homeText) / "Videos";
}

LocalCopyFolders LocalCopyFolders::fromEnvironment() {
    return {environmentFolder("XDG_STATE_HOME", ".local/state") / "tessera-recorder" / "sessions",
            videosFolder() / "Tessera Recorder"};
}

std::string spoolFileName(const std::string& kind) {
    return kind + ".mp4";
}

std::string spoolEndsName(const std::string& kind) {
    return kind + ".ends";
}

std::optional<std::uint64_t> lastWholeSegmentEnd(const std::filesystem::path& folder,
                                                 const std::string& kind) {
    std::ifstream in(folder / spoolEndsName(kind));
    std::optional<std::uint64_t> last;
    std::uint64_t value = 0;
    while (in >> value) {
        last = value;
    }
    return last;
}

std::shared_ptr<SessionSpool> SessionSpool::create(const std::filesystem::path& sessionsFolder,
                                                   const SpoolManifest& manifest) {
    const std::string& id = manifest.recordingID;
    if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos) {
        throw RecorderError("The recording id \"" + id + "\" cannot name a local copy folder.");
    }
    std::error_code error;
    std::filesystem::create_directories(sessionsFolder.parent_path(), error);
    const UniqueFd sessions(openPrivateFolder(AT_FDCWD, sessionsFolder));
    const int folderFd = openPrivateFolder(sessions.get(), id);
    auto spool =
        std::shared_ptr<SessionSpool>(new SessionSpool(sessionsFolder / id, folderFd, manifest));

    const std::string text =
        nlohmann::json{{"recordingID", id}, {"startedAt", manifest.startedAtSeconds}}.dump();
    const UniqueFd file(::openat(folderFd, kManifestName,
                                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.get() < 0 ||
        !writeAll(file.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) ||
        ::fsync(file.get()) != 0) {
        throw RecorderError(systemError("Couldn't write the local copy's description"));
    }
    ::fsync(folderFd);
    return spool;
}

SessionSpool::SessionSpool(std::filesystem::path folder, int folderFd, SpoolManifest manifest)
    : folder_(std::move(folder)),
      folderFd_(folderFd),
      manifest_(std::move(manifest)),
      queue_("com.tessera.recorder.spool") {}

SessionSpool::~SessionSpool() {
    queue_.shutdown();  // every accepted write is made first
    files_.clear();
    ::close(folderFd_);
}

std::optional<SpooledRange> SessionSpool::append(const std::string& kind, SharedBytes bytes,
                                                 bool keepOnFailure) {
    if (stopped_.load() || !bytes) {
        return std::nullopt;
    }
    SpooledRange range;
    {
        auto ends = ends_.lock();
        std::uint64_t& end = (*ends)[kind];
        range = {end, bytes->size()};
        end += bytes->size();
    }
    queue_.async([this, kind, bytes = std::move(bytes), range, keepOnFailure] {
        write(kind, bytes, range, keepOnFailure);
    });
    return range;
}

void SessionSpool::write(const std::string& kind, const SharedBytes& bytes, SpooledRange range,
                         bool keepOnFailure) {
    if (stopped_.load()) {
        if (keepOnFailure) {
            unwritten_.lock()->emplace(std::pair{kind, range.offset}, bytes);
        }
        return;
    }
    auto& file = files_[kind];
    if (!file) {
        const int fd = ::openat(folderFd_, spoolFileName(kind).c_str(),
                                O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            files_.erase(kind);
            if (keepOnFailure) {
                unwritten_.lock()->emplace(std::pair{kind, range.offset}, bytes);
            }
            stop(systemError("couldn't open the " + kind + " file"));
            return;
        }
        file = std::make_unique<KindFile>(fd);
    }
    if (!writeAll(file->fd.get(), bytes->data(), bytes->size()) ||
        ::fdatasync(file->fd.get()) != 0) {
        const std::string why = systemError("writing " + kind + " failed");
        // Leave the file ending at its last whole segment, so it still plays.
        if (::ftruncate(file->fd.get(), static_cast<off_t>(file->completeSize)) != 0) {
            logging::warning(kComponent, systemError("couldn't cut back the " + kind + " file"));
        }
        if (keepOnFailure) {
            unwritten_.lock()->emplace(std::pair{kind, range.offset}, bytes);
        }
        stop(why);
        return;
    }
    file->completeSize += bytes->size();
    bytesWritten_ += bytes->size();
    recordCompleteSize(kind, file->completeSize);
}

void SessionSpool::recordCompleteSize(const std::string& kind, std::uint64_t size) {
    // One line per whole segment: after a crash the media file may end in a
    // segment cut short, and this says where the last whole one ended.
    const UniqueFd ends(::openat(folderFd_, spoolEndsName(kind).c_str(),
                                 O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    const std::string line = std::to_string(size) + "\n";
    if (ends.get() < 0 ||
        !writeAll(ends.get(), reinterpret_cast<const std::uint8_t*>(line.data()), line.size()) ||
        ::fdatasync(ends.get()) != 0) {
        stop(systemError("recording where the " + kind + " file ends failed"));
    }
}

void SessionSpool::stop(const std::string& why) {
    if (!stopped_.exchange(true)) {
        logging::warning(kComponent, "the local copy of recording " + manifest_.recordingID +
                                         " stopped: " + why + "; the recording goes on");
    }
}

Task<void> SessionSpool::adoptFile(std::filesystem::path source, std::string name) {
    // The awaiter is named first: GCC 12 destroys temporaries of a co_await
    // operand twice, and this work owns strings.
    auto copying = queue_.onQueue([this, source, name] {
        const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
        const UniqueFd out(::openat(folderFd_, name.c_str(),
                                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (in.get() < 0 || out.get() < 0) {
            logging::warning(kComponent, systemError("couldn't copy " + source.string()));
            return;
        }
        std::vector<std::uint8_t> buffer(1 << 16);
        while (true) {
            const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
            if (n == 0) {
                break;
            }
            if (n < 0 || !writeAll(out.get(), buffer.data(), static_cast<std::size_t>(n))) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                logging::warning(kComponent, systemError("couldn't copy " + source.string()));
                return;
            }
        }
        if (::fsync(out.get()) != 0) {
            logging::warning(kComponent, systemError("couldn't sync " + name));
        }
    });
    co_await copying;
}

Task<SharedBytes> SessionSpool::read(std::string kind, SpooledRange range) {
    auto reading = queue_.onQueue([this, kind, range]() -> SharedBytes {
        if (auto kept = unwritten_.with([&](auto& map) -> SharedBytes {
                auto found = map.find(std::pair{kind, range.offset});
                if (found == map.end()) {
                    return nullptr;
                }
                SharedBytes bytes = std::move(found->second);
                map.erase(found);
                return bytes;
            })) {
            return kept;
        }
        auto file = files_.find(kind);
        if (file == files_.end() || range.offset + range.size > file->second->completeSize) {
            throw RecorderError("The spooled " + kind + " segment is not on disk.");
        }
        auto bytes = std::make_shared<ByteBuffer>(range.size);
        std::size_t done = 0;
        while (done < range.size) {
            const ssize_t n = ::pread(file->second->fd.get(), bytes->data() + done,
                                      range.size - done, static_cast<off_t>(range.offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw RecorderError(
                    systemError("Couldn't read back a spooled " + kind + " segment"));
            }
            done += static_cast<std::size_t>(n);
        }
        return bytes;
    });
    co_return co_await reading;
}

Task<void> SessionSpool::flush() {
    co_await queue_.onQueue([] {});
}

Task<void> SessionSpool::onDisk(std::function<void()> work) {
    auto running = queue_.onQueue(std::move(work));
    co_await running;
}

Task<void> SessionSpool::discard() {
    stopped_.store(true);
    try {
        co_await queue_.onQueue([this] {
            files_.clear();
            unwritten_.lock()->clear();
            std::error_code error;
            std::filesystem::remove_all(folder_, error);
            if (error) {
                logging::warning(kComponent,
                                 "couldn't delete " + folder_.string() + ": " + error.message());
            }
        });
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        logging::handled(kComponent, "deleting " + folder_.string(), std::current_exception());
    }
}

}  // namespace tessera
