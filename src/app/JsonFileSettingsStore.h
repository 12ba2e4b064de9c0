#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app/SettingsStore.h"

namespace tessera {

// Settings kept in one JSON object in a file, by default
// $XDG_CONFIG_HOME/tessera-recorder/settings.json.
//
// The file is read once, at construction. Every set/remove rewrites the whole
// file atomically: a temporary file in the same folder is written, flushed to
// disk and renamed over the old one, so a crash leaves either the old or the
// new settings, never a mix.
//
// A file that cannot be read, does not parse, or whose top level is not an
// object is moved aside to "settings.json.corrupt-<UTC timestamp>" (it is kept
// for the user, never deleted) and the store starts empty, so the defaults
// apply. If even moving it aside fails, the store stops writing for this run
// rather than overwrite a file it could not read.
//
// Main thread only. No member throws after construction; construction throws
// only std::bad_alloc.
class JsonFileSettingsStore : public SettingsStore {
  public:
    explicit JsonFileSettingsStore(std::filesystem::path path);

    // $XDG_CONFIG_HOME/tessera-recorder/settings.json when XDG_CONFIG_HOME is an
    // absolute path, else ~/.config/tessera-recorder/settings.json.
    static std::filesystem::path defaultPath();

    std::optional<nlohmann::json> get(std::string_view key) const override;
    void set(std::string_view key, nlohmann::json value) override;
    void remove(std::string_view key) override;
    std::optional<std::string> lastWriteError() const override { return lastWriteError_; }

    const std::filesystem::path& path() const { return path_; }
    // Where an unusable settings file was moved at construction, if it was.
    const std::optional<std::filesystem::path>& movedAsidePath() const { return movedAside_; }
    // Why the file found at construction was not used, if it was not.
    const std::optional<std::string>& loadError() const { return loadError_; }

  private:
    void load();
    void moveAside(const std::string& reason);
    void save();

    std::filesystem::path path_;
    nlohmann::json values_ = nlohmann::json::object();
    bool writable_ = true;
    std::optional<std::filesystem::path> movedAside_;
    std::optional<std::string> loadError_;
    std::optional<std::string> lastWriteError_;
};

}  // namespace tessera
