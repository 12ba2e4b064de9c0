#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessera::webapp {

// Recordings on disk, one folder per recording under <dataDir>/recordings/<id>:
//   meta.json                  the recording's record (see toJson)
//   chunks/<kind>/<n>.part     chunk n of a kind, numbered in order of arrival
// Finalized media goes to <dataDir>/media/<id>/<kind>.<ext>, which the server
// publishes as static files.
//
// Thread-safe: the HTTP server calls it from its worker threads. One mutex guards
// the map of recordings; each recording has its own mutex, so chunks of different
// recordings are stored in parallel and finalize of one does not stall the others.
class Storage {
  public:
    // The kinds of chunk a recording accepts.
    static bool isKnownKind(std::string_view kind);

    // Loads the recordings found under dataDir (creating the folders if needed).
    // Throws std::runtime_error when the folder cannot be created.
    explicit Storage(std::filesystem::path dataDir);

    enum class Outcome { ok, notFound, finalized, ioError };

    // Creates a recording from a validated create request; returns its record.
    nlohmann::json create(const nlohmann::json& request);
    // Records of every recording, newest first.
    nlohmann::json list() const;
    std::optional<nlohmann::json> get(const std::string& id) const;
    // Appends one chunk of a kind; chunks are kept in order of arrival.
    Outcome appendChunk(const std::string& id, const std::string& kind, const std::string& bytes);
    Outcome updateDescription(const std::string& id, const std::string& description);
    // Joins each kind's chunks into one file, checks that it decodes and returns the
    // updated record: status "ready", or "error" with an "error" text.
    std::optional<nlohmann::json> finalize(const std::string& id);
    Outcome remove(const std::string& id);

    const std::filesystem::path& mediaDir() const { return mediaDir_; }

  private:
    struct Entry {
        std::mutex mutex;  // guards meta and the recording's files
        nlohmann::json meta;
    };

    std::shared_ptr<Entry> find(const std::string& id) const;
    std::filesystem::path recordingDir(const std::string& id) const;
    void saveMeta(const std::string& id, const nlohmann::json& meta) const;
    void loadExisting();

    std::filesystem::path recordingsDir_;
    std::filesystem::path mediaDir_;
    mutable std::mutex mutex_;  // guards entries_
    std::map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace tessera::webapp
