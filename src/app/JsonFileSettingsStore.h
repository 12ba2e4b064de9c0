#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/SettingsStore.h"
#include "support/SerialQueue.h"

namespace tessera {

// Settings kept in one JSON object in a file, by default
// $XDG_CONFIG_HOME/tessera-recorder/settings.json.
//
// The file is read once, at construction. Assignments change the values in
// memory at once and leave the writing to a worker thread, so that a slider
// dragged across its range does not wait for the disk: the worker always
// writes the latest values, so a burst of assignments becomes a few writes and
// the file never goes back to older values. Each write replaces the whole file
// atomically: a temporary file in the same folder is written, flushed to disk
// and renamed over the old one (and the folder is flushed), so a crash leaves
// either the old or the new settings, never a mix. flush() and the destructor
// wait for the last write.
//
// A file that cannot be read, does not parse, or whose top level is not an
// object is moved aside to "settings.json.corrupt-<UTC timestamp>" (it is kept
// for the user, never deleted) and the store starts empty, so the defaults
// apply. If even moving it aside fails, the store stops writing for this run
// rather than overwrite a file it could not read.
//
// Main thread only, apart from the worker it owns. No member throws after
// construction; construction throws only std::bad_alloc and what starting a
// thread throws.
class JsonFileSettingsStore : public SettingsStore {
  public:
    // Runs on the worker before each write of the file. For tests that count
    // or hold up writes.
    using WriteHook = std::function<void()>;

    explicit JsonFileSettingsStore(std::filesystem::path path, WriteHook beforeWrite = {});
    ~JsonFileSettingsStore() override;
    JsonFileSettingsStore(const JsonFileSettingsStore&) = delete;
    JsonFileSettingsStore& operator=(const JsonFileSettingsStore&) = delete;

    // $XDG_CONFIG_HOME/tessera-recorder/settings.json when XDG_CONFIG_HOME is an
    // absolute path, else ~/.config/tessera-recorder/settings.json.
    static std::filesystem::path defaultPath();

    std::optional<nlohmann::json> get(std::string_view key) const override;
    void set(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;
    // Known once the write has happened: after flush(), for example.
    std::optional<std::string> lastWriteError() const override;
    // Blocks until every assignment made so far is in the file (or has failed).
    void flush() override;

    const std::filesystem::path& path() const { return path_; }
    // Where an unusable settings file was moved at construction, if it was.
    const std::optional<std::filesystem::path>& movedAsidePath() const { return movedAside_; }
    // Why the file found at construction was not used, if it was not.
    const std::optional<std::string>& loadError() const { return loadError_; }

  private:
    void load();
    void moveAside(const std::string& reason);
    void scheduleWrite();
    void writeLatest();

    // Main thread.
    std::filesystem::path path_;
    nlohmann::json values_ = nlohmann::json::object();
    bool writable_ = true;
    std::optional<std::filesystem::path> movedAside_;
    std::optional<std::string> loadError_;
    WriteHook beforeWrite_;

    // Shared with the worker.
    mutable std::mutex mutex_;
    // The values the next write is to save; none when the file is up to date
    // or a write of the latest values is under way.
    std::optional<nlohmann::json> pending_;
    std::optional<std::string> lastWriteError_;

    // Last, so that it stops (after its remaining writes) before the members
    // those writes use go away.
    SerialQueue writer_;
};

}  // namespace tessera
