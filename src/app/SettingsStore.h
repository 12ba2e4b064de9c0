#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessera {

// A flat key/value store for the user's settings, typed as JSON values so that
// an absent key, a stored false and a value of the wrong type stay apart.
//
// Main thread only. Writes never throw: a store that cannot persist keeps the
// value in memory and reports the failure through lastWriteError().
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;

    // The stored value, or none when the key is absent.
    virtual std::optional<nlohmann::json> get(std::string_view key) const = 0;
    virtual void set(std::string_view key, nlohmann::json value) = 0;
    // Removes the key; removing an absent key is not an error.
    virtual void remove(std::string_view key) = 0;

    // The user-facing description of the last failed write, cleared by the next
    // successful one.
    virtual std::optional<std::string> lastWriteError() const { return std::nullopt; }

    // Waits until every assignment made so far has been persisted (or has
    // failed). The application calls it before it exits.
    virtual void flush() {}
};

// Keeps the settings in memory only; for tests and for sessions that must not
// touch the disk.
class InMemorySettingsStore : public SettingsStore {
  public:
    InMemorySettingsStore() = default;
    // Starts with the members of `values`; anything but a JSON object starts empty.
    explicit InMemorySettingsStore(nlohmann::json values) {
        if (values.is_object()) {
            values_ = std::move(values);
        }
    }

    std::optional<nlohmann::json> get(std::string_view key) const override {
        const auto it = values_.find(key);
        if (it == values_.end()) {
            return std::nullopt;
        }
        return *it;
    }
    void set(std::string_view key, nlohmann::json value) override {
        values_[std::string(key)] = std::move(value);
    }
    void remove(std::string_view key) override { values_.erase(std::string(key)); }

    // Every stored value as one JSON object.
    const nlohmann::json& values() const { return values_; }

  private:
    nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace tessera
