#include "Storage.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "MediaCheck.h"

namespace tessera::webapp {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::array<std::string_view, 3> kKinds = {"screen", "camera", "mic"};

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

// Writes through a temporary name and renames, so a crash never leaves a torn file
// under the final name.
bool writeFileAtomically(const fs::path& path, const std::string& bytes) {
    fs::path tmp = path;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    return !ec;
}

// Concatenates the chunk files of one kind, in order, into `target`.
bool joinChunks(const fs::path& chunkDir, int count, const fs::path& target) {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < count && out; ++i) {
        std::ifstream in(chunkDir / chunkName(i), std::ios::binary);
        if (!in) {
            return false;
        }
        out << in.rdbuf();
    }
    return static_cast<bool>(out.flush());
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
        entry->meta = std::move(meta);
        entries_[entry->meta["id"].get<std::string>()] = std::move(entry);
    }
}

fs::path Storage::recordingDir(const std::string& id) const {
    return recordingsDir_ / id;
}

void Storage::saveMeta(const std::string& id, const json& meta) const {
    if (!writeFileAtomically(recordingDir(id) / "meta.json", meta.dump(2))) {
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
    saveMeta(id, meta);
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
    json& meta = entry->meta;
    if (meta.value("deleted", false)) {
        return Outcome::notFound;
    }
    if (meta["status"] != "recording") {
        return Outcome::finalized;
    }
    const int index = meta["chunks"].value(kind, 0);
    const fs::path dir = recordingDir(id) / "chunks" / kind;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !writeFileAtomically(dir / chunkName(index), bytes)) {
        return Outcome::ioError;
    }
    meta["chunks"][kind] = index + 1;
    meta["bytes"][kind] =
        meta["bytes"].value(kind, int64_t{0}) + static_cast<int64_t>(bytes.size());
    saveMeta(id, meta);
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
    saveMeta(id, entry->meta);
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
        const int count = meta["chunks"].value(kind, 0);
        if (count == 0) {
            continue;
        }
        const std::string name = kind + "." + extensionFor(kind);
        const fs::path joined = outDir / (name + ".joining");
        MediaReport report;
        if (!joinChunks(recordingDir(id) / "chunks" / kind, count, joined)) {
            report.error = "its chunks could not be joined";
        } else {
            report = checkMedia(joined);
        }
        if (report.ok) {
            fs::rename(joined, outDir / name);
            media[kind] = name;
            if (kind == "screen") {
                duration = report.durationSeconds;
            }
        } else {
            fs::remove(joined);
            if (kind == "screen") {
                error = "The screen video could not be processed: " + report.error;
            } else {
                warnings.push_back("The " + kind + " track was left out: " + report.error);
            }
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
    saveMeta(id, meta);
    return meta;
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
