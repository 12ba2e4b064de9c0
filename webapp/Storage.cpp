#include "Storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "FileDescriptor.h"

namespace tessera::webapp {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::array<std::string_view, 3> kKinds = {"screen", "camera", "mic"};
// Key of meta.json that holds the layout of each kind's joined file; kept out of the
// records the API returns.
constexpr const char* kLayoutsKey = "joinedLayout";

std::string newId() {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 rng{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
    std::string id(12, ' ');
    for (char& c : id) {
        c = kAlphabet[pick(rng)];
    }
    return id;
}

std::string nowIso8601() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string chunkName(int index) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06d.part", index);
    return buf;
}

bool writeAll(int fd, std::string_view bytes, int64_t offset) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
        offset += n;
    }
    return true;
}

// Makes a rename or a new name in `dir` survive a power loss.
bool syncDirectory(const fs::path& dir) {
    FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

enum class Durability {
    processCrash,  // whole or absent after a crash of this process
    powerLoss,     // also after a crash of the machine: synced, and so slower
};

// Writes through a temporary name and renames, so that a crash never leaves a torn
// file under the final name.
bool writeFileAtomically(const fs::path& path, std::string_view bytes, Durability durability) {
    fs::path tmp = path;
    tmp += ".tmp";
    {
        FileDescriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0 || !writeAll(fd.get(), bytes, 0) ||
            (durability == Durability::powerLoss && ::fdatasync(fd.get()) != 0)) {
            return false;
        }
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    return !ec && (durability == Durability::processCrash || syncDirectory(path.parent_path()));
}

// Writes `bytes` at `offset` of the joined file, first cutting off whatever lies
// beyond `offset` (the rest of an append that was never recorded as stored), syncs
// the data and brings `layout` up to the new end.
bool appendToJoined(const fs::path& path, int64_t offset, std::string_view bytes,
                    Mp4Layout& layout) {
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return false;
    }
    if (st.st_size != offset && ::ftruncate(fd.get(), offset) != 0) {
        return false;
    }
    const int64_t end = offset + static_cast<int64_t>(bytes.size());
    return writeAll(fd.get(), bytes, offset) && ::fdatasync(fd.get()) == 0 &&
           layout.advance(fd.get(), end) && (offset > 0 || syncDirectory(path.parent_path()));
}

// Gives the joined file a second name in the published folder, in one step: a link,
// not a copy, so that publishing costs the same for any length.
bool publish(const fs::path& joined, const fs::path& target) {
    fs::path tmp = target;
    tmp += ".linking";
    std::error_code ec;
    fs::remove(tmp, ec);
    fs::create_hard_link(joined, tmp, ec);
    if (!ec) {
        fs::rename(tmp, target, ec);
    }
    return !ec && syncDirectory(target.parent_path());
}

const char* extensionFor(std::string_view kind) {
    return kind == "mic" ? "m4a" : "mp4";
}

}  // namespace

bool Storage::isKnownKind(std::string_view kind) {
    return std::find(kKinds.begin(), kKinds.end(), kind) != kKinds.end();
}

Storage::Storage(fs::path dataDir)
    : recordingsDir_(dataDir / "recordings"), mediaDir_(dataDir / "media") {
    fs::create_directories(recordingsDir_);
    fs::create_directories(mediaDir_);
    loadExisting();
}

void Storage::loadExisting() {
    for (const auto& dir : fs::directory_iterator(recordingsDir_)) {
        std::ifstream in(dir.path() / "meta.json");
        json meta = json::parse(in, nullptr, /*allow_exceptions=*/false);
        if (!meta.is_object() || !meta.contains("id") || !meta["id"].is_string()) {
            continue;  // a folder without a readable record is left alone
        }
        auto entry = std::make_shared<Entry>();
        const std::string id = meta["id"].get<std::string>();
        if (meta.contains(kLayoutsKey)) {
            for (const auto& [kind, layout] : meta[kLayoutsKey].items()) {
                entry->layouts[kind] = Mp4Layout::fromJson(layout);
            }
            meta.erase(kLayoutsKey);
        }
        entry->meta = std::move(meta);
        // A recording that still takes chunks continues its joined files; one stored
        // by a server that kept only the chunk files has them joined once, now.
        for (std::string_view kindView : kKinds) {
            const std::string kind(kindView);
            try {
                if (!joinedFileIsCurrent(id, *entry, kind) &&
                    entry->meta["chunks"].value(kind, 0) > 0 &&
                    entry->meta["status"] == "recording") {
                    rejoinChunks(id, *entry, kind);
                }
            } catch (const std::exception& e) {
                // The recording stays listed; finalize tries again and reports the kind.
                std::cerr << "tessera-webapp: cannot join the " << kind << " chunks of " << id
                          << ": " << e.what() << std::endl;
            }
        }
        entries_[id] = std::move(entry);
    }
}

bool Storage::joinedFileIsCurrent(const std::string& id, const Entry& entry,
                                  const std::string& kind) const {
    const auto stored = entry.meta.value("bytes", json::object()).value(kind, int64_t{0});
    std::error_code ec;
    const auto size = static_cast<int64_t>(fs::file_size(joinedFile(id, kind), ec));
    if (entry.layouts.count(kind) == 0 || ec || size < stored) {
        return false;
    }
    if (size > stored) {
        fs::resize_file(joinedFile(id, kind), static_cast<uintmax_t>(stored));  // cut short
    }
    return true;
}

void Storage::rejoinChunks(const std::string& id, Entry& entry, const std::string& kind) {
    const int count = entry.meta["chunks"].value(kind, 0);
    Mp4Layout layout;
    int64_t offset = 0;
    for (int i = 0; i < count; ++i) {
        std::ifstream in(recordingDir(id) / "chunks" / kind / chunkName(i), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string chunk = bytes.str();
        if (!in || !appendToJoined(joinedFile(id, kind), offset, chunk, layout)) {
            throw std::runtime_error("chunk " + std::to_string(i) + " cannot be read or joined");
        }
        offset += static_cast<int64_t>(chunk.size());
    }
    entry.layouts[kind] = layout;
    entry.meta["bytes"][kind] = offset;
    saveMeta(id, entry.meta, entry.layouts);
}

fs::path Storage::recordingDir(const std::string& id) const {
    return recordingsDir_ / id;
}

fs::path Storage::joinedFile(const std::string& id, const std::string& kind) const {
    return recordingDir(id) / (kind + "." + extensionFor(kind));
}

void Storage::saveMeta(const std::string& id, const json& meta,
                       const std::map<std::string, Mp4Layout>& layouts) const {
    json record = meta;
    for (const auto& [kind, layout] : layouts) {
        record[kLayoutsKey][kind] = layout.toJson();
    }
    if (!writeFileAtomically(recordingDir(id) / "meta.json", record.dump(2),
                             Durability::powerLoss)) {
        throw std::runtime_error("cannot write the record of recording " + id);
    }
}

std::shared_ptr<Storage::Entry> Storage::find(const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second;
}

json Storage::create(const json& request) {
    auto entry = std::make_shared<Entry>();
    json& meta = entry->meta;
    std::string id = newId();
    meta = {{"id", id},
            {"status", "recording"},
            {"description", ""},
            {"createdAt", nowIso8601()},
            {"chunks", json::object()},
            {"bytes", json::object()}};
    for (const char* key : {"title", "hasCamera", "hasAudio", "screenMime", "cameraMime", "width",
                            "height", "source"}) {
        if (request.contains(key)) {
            meta[key] = request[key];
        }
    }
    fs::create_directories(recordingDir(id) / "chunks");
    saveMeta(id, meta, entry->layouts);
    std::lock_guard lock(mutex_);
    entries_[id] = entry;
    return meta;
}

json Storage::list() const {
    std::vector<std::shared_ptr<Entry>> all;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, entry] : entries_) {
            all.push_back(entry);
        }
    }
    json out = json::array();
    for (const auto& entry : all) {
        std::lock_guard lock(entry->mutex);
        if (!entry->meta.value("deleted", false)) {
            out.push_back(entry->meta);
        }
    }
    std::sort(out.begin(), out.end(), [](const json& a, const json& b) {
        return a.value("createdAt", "") > b.value("createdAt", "");
    });
    return out;
}

std::optional<json> Storage::get(const std::string& id) const {
    auto entry = find(id);
    if (!entry) {
        return std::nullopt;
    }
    std::lock_guard lock(entry->mutex);
    return entry->meta;
}

Storage::Outcome Storage::appendChunk(const std::string& id, const std::string& kind,
                                      const std::string& bytes) {
    auto entry = find(id);
    if (!entry) {
        return Outcome::notFound;
    }
    std::lock_guard lock(entry->mutex);
    if (entry->meta.value("deleted", false)) {
        return Outcome::notFound;
    }
    if (entry->meta["status"] != "recording") {
        return Outcome::finalized;
    }
    // The chunk's own file, then the joined file, then the record that counts both: a
    // crash before the record is written leaves the chunk unstored (and unanswered,
    // so the client sends it again) and nothing else changed. The joined file and the
    // record are synced, so that what was answered as stored survives a power loss
    // too; the chunk's own file is a copy kept in order of arrival and is not.
    json meta = entry->meta;
    auto layouts = entry->layouts;
    const int index = meta["chunks"].value(kind, 0);
    const int64_t offset = meta["bytes"].value(kind, int64_t{0});
    const fs::path dir = recordingDir(id) / "chunks" / kind;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !writeFileAtomically(dir / chunkName(index), bytes, Durability::processCrash) ||
        !appendToJoined(joinedFile(id, kind), offset, bytes, layouts[kind])) {
        return Outcome::ioError;
    }
    meta["chunks"][kind] = index + 1;
    meta["bytes"][kind] = offset + static_cast<int64_t>(bytes.size());
    saveMeta(id, meta, layouts);
    entry->meta = std::move(meta);
    entry->layouts = std::move(layouts);
    return Outcome::ok;
}

Storage::Outcome Storage::updateDescription(const std::string& id, const std::string& description) {
    auto entry = find(id);
    if (!entry) {
        return Outcome::notFound;
    }
    std::lock_guard lock(entry->mutex);
    if (entry->meta.value("deleted", false)) {
        return Outcome::notFound;
    }
    entry->meta["description"] = description;
    saveMeta(id, entry->meta, entry->layouts);
    return Outcome::ok;
}

std::optional<json> Storage::finalize(const std::string& id) {
    auto entry = find(id);
    if (!entry) {
        return std::nullopt;
    }
    std::lock_guard lock(entry->mutex);
    json& meta = entry->meta;
    if (meta.value("deleted", false)) {
        return std::nullopt;
    }
    const fs::path outDir = mediaDir_ / id;
    fs::create_directories(outDir);
    json media = json::object();
    json warnings = json::array();
    std::string error;
    double duration = 0;
    for (std::string_view kindView : kKinds) {
        const std::string kind(kindView);
        if (meta["chunks"].value(kind, 0) == 0) {
            continue;
        }
        const std::string name = kind + "." + extensionFor(kind);
        MediaReport report;
        try {
            if (!joinedFileIsCurrent(id, *entry, kind)) {
                rejoinChunks(id, *entry, kind);  // stored before chunks were joined on arrival
            }
            const int64_t bytes = meta["bytes"].value(kind, int64_t{0});
            report = checkJoined(id, kind, bytes, entry->layouts[kind], warnings);
        } catch (const std::exception& e) {
            report.error = std::string("its chunks could not be joined: ") + e.what();
        }
        if (report.ok && !publish(joinedFile(id, kind), outDir / name)) {
            report = MediaReport{};
            report.error = "it could not be published";
        }
        if (report.ok) {
            media[kind] = name;
            if (kind == "screen") {
                duration = report.durationSeconds;
            }
        } else if (kind == "screen") {
            error = "The screen video could not be processed: " + report.error;
        } else {
            warnings.push_back("The " + kind + " track was left out: " + report.error);
        }
    }
    if (error.empty() && !media.contains("screen")) {
        error = "The recording has no screen video.";
    }
    meta["media"] = media;
    meta["warnings"] = warnings;
    meta["durationSeconds"] = duration;
    if (error.empty()) {
        meta["status"] = "ready";
        meta.erase("error");
    } else {
        meta["status"] = "error";
        meta["error"] = error;
    }
    saveMeta(id, meta, entry->layouts);
    return meta;
}

MediaReport Storage::checkJoined(const std::string& id, const std::string& kind, int64_t bytes,
                                 const Mp4Layout& layout, json& warnings) const {
    // The layout was learned from every byte as it arrived; with it, a bounded check
    // is sound. The walk proves the file is an unbroken chain of whole boxes to its
    // last byte (no torn or missing tail, no stray bytes); the counters prove that the
    // initialization segment comes first and every fragment has its media data. What
    // only decoding can show (a codec configuration or bitstream that does not decode,
    // sample tables that do not match their data) is checked where a problem would
    // surface: the initialization segment with the first fragment, and the last
    // fragment, which also give the duration since fragment decode times are
    // absolute. The fragments in between are the same encoder's output, carried
    // byte-exact by HTTP, so decoding them would only repeat the work.
    MediaReport report;
    if (!layout.problem.empty()) {
        report.error = layout.problem;
    } else if (layout.walkedBytes != bytes) {
        report.error = "its last chunk ends inside an MP4 box";
    } else if (!layout.isFragmented()) {
        return checkMediaEnds(joinedFile(id, kind));
    } else if (!layout.startsWithFtyp || layout.moovEnd == 0 ||
               layout.moovEnd > layout.firstFragmentStart) {
        report.error = "its initialization segment does not come first";
    } else if (layout.awaitingMdat || layout.fragmentsWithoutData > 0 ||
               layout.mdatsOutsideFragments > 0) {
        report.error = "a fragment lacks its media data";
    }
    if (!report.error.empty()) {
        return report;
    }
    std::vector<ByteRange> ranges{{0, layout.firstFragmentEnd}};
    if (layout.lastFragmentStart > layout.firstFragmentStart) {
        ranges.push_back({layout.lastFragmentStart, bytes});
    }
    report = checkMediaRanges(joinedFile(id, kind), ranges);
    if (report.ok && layout.missingFragments > 0) {
        warnings.push_back("The " + kind + " video misses " +
                           std::to_string(layout.missingFragments) +
                           " segment(s); playback skips over them.");
    }
    if (report.ok && layout.misplacedFragments > 0) {
        warnings.push_back(std::to_string(layout.misplacedFragments) + " " + kind +
                           " segment(s) arrived twice or out of order; playback may jump there.");
    }
    return report;
}

Storage::Outcome Storage::remove(const std::string& id) {
    auto entry = find(id);
    if (!entry) {
        return Outcome::notFound;
    }
    {
        std::lock_guard lock(mutex_);
        entries_.erase(id);
    }
    // A request that found the entry before the erase sees the flag once it gets the
    // lock, and answers "not found" instead of writing into a removed folder.
    std::lock_guard lock(entry->mutex);
    entry->meta["deleted"] = true;
    std::error_code ec;
    fs::remove_all(recordingDir(id), ec);
    fs::remove_all(mediaDir_ / id, ec);
    return ec ? Outcome::ioError : Outcome::ok;
}

}  // namespace tessera::webapp
