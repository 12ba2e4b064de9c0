#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace tessera {

// A protocol-level failure of the server API: an HTTP status outside 200-299, a
// reply that is not HTTP, or a request that cannot be formed. what() is the
// user-facing message.
class APIError : public std::runtime_error {
  public:
    APIError(std::optional<int> statusCode, const std::string& message)
        : std::runtime_error(message), statusCode_(statusCode) {}

    // The HTTP status when the server answered.
    std::optional<int> statusCode() const { return statusCode_; }
    std::string message() const { return what(); }

  private:
    std::optional<int> statusCode_;
};

// A reply body that does not decode into the expected record. what() is the
// user-facing description.
class DecodingError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tessera
