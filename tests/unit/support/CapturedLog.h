#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/Log.h"

namespace tessera::testing {

// Collects the log lines written while it lives, from any thread.
class CapturedLog {
  public:
    struct Line {
        logging::Level level;
        std::string component;
        std::string message;
    };

    // The lines of `component` at warning level or above.
    std::vector<Line> problems(std::string_view component) const {
        std::lock_guard lock(mutex_);
        std::vector<Line> found;
        for (const auto& line : lines_) {
            if (line.component == component && line.level >= logging::Level::warning) {
                found.push_back(line);
            }
        }
        return found;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    logging::LogCapture capture_{
        [this](logging::Level level, std::string_view component, std::string_view message) {
            std::lock_guard lock(mutex_);
            lines_.push_back({level, std::string(component), std::string(message)});
        }};
};

}  // namespace tessera::testing
