#pragma once

#include <stdexcept>
#include <string>

namespace tessera {

// The recorder's own failure. Its message is the user-facing text, shown as the
// error phase or the status line, and is also what() returns.
class RecorderError : public std::runtime_error {
  public:
    explicit RecorderError(const std::string& message) : std::runtime_error(message) {}
    std::string message() const { return what(); }
};

}  // namespace tessera
