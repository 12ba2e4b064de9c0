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

#include "MediaCheck.h"
#include "Mp4Layout.h"

namespace tessera::webapp {

// Recordings on disk, one folder per recording under <dataDir>/recordings/<id>:
//   meta.json                  the recording's record, and what is known of each
//                              kind's joined file (its length and box layout)
//   chunks/<kind>/<n>.part     chunk n of a kind, numbered in order of arrival
//   <kind>.<ext>               the chunks of a kind joined in order of arrival,
//                              appended to as each chunk arrives
// Finalize links each joined file that passes its check to
// <dataDir>/media/<id>/<kind>.<ext>, which the server publishes as static files, so
// its cost does not grow with the length of the recording.
//
// A chunk counts as stored once meta.json says so; it is written there last, after
// the chunk's own file and the joined file have reached the disk. Bytes of the
// joined file beyond the stored length (an append cut short by a crash) are cut off
// before the next append and when the server starts.
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
    // Appends one chunk of a kind; chunks are kept in order of arrival, and a retried
    // chunk is stored again like any other.
    Outcome appendChunk(const std::string& id, const std::string& kind, const std::string& bytes);
    Outcome updateDescription(const std::string& id, const std::string& description);
    // Checks each kind's joined file and publishes those that pass; returns the
    // updated record: status "ready", or "error" with an "error" text. A kind whose
    // segments arrived with numbers missing, repeated or out of order is published
    // with a warning.
    std::optional<nlohmann::json> finalize(const std::string& id);
    Outcome remove(const std::string& id);

    const std::filesystem::path& mediaDir() const { return mediaDir_; }

  private:
    struct Entry {
        std::mutex mutex;  // guards meta, layouts and the recording's files
        nlohmann::json meta;
        std::map<std::string, Mp4Layout> layouts;  // per kind, of its joined file
    };

    std::shared_ptr<Entry> find(const std::string& id) const;
    std::filesystem::path recordingDir(const std::string& id) const;
    std::filesystem::path joinedFile(const std::string& id, const std::string& kind) const;
    void saveMeta(const std::string& id, const nlohmann::json& meta,
                  const std::map<std::string, Mp4Layout>& layouts) const;
    void loadExisting();
    // True when a kind's joined file holds what the record counts (cutting off the
    // rest of an append that a crash interrupted); false when it must be rejoined.
    bool joinedFileIsCurrent(const std::string& id, const Entry& entry,
                             const std::string& kind) const;
    // Joins a kind's chunk files anew into its joined file and records its layout.
    // Throws std::runtime_error (or a filesystem error) when a chunk cannot be read.
    void rejoinChunks(const std::string& id, Entry& entry, const std::string& kind);
    // Checks one kind's joined file at finalize; adds warnings for a usable one.
    MediaReport checkJoined(const std::string& id, const std::string& kind, int64_t bytes,
                            const Mp4Layout& layout, nlohmann::json& warnings) const;

    std::filesystem::path recordingsDir_;
    std::filesystem::path mediaDir_;
    mutable std::mutex mutex_;  // guards entries_
    std::map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace tessera::webapp
