#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/Executor.h"
#include "support/Task.h"

namespace tessera {

using ByteBuffer = std::vector<std::uint8_t>;
// Bytes shared between the caller and the transport, so that a segment and its
// retry go out from the one buffer the writer produced.
using SharedBytes = std::shared_ptr<const ByteBuffer>;

struct HttpRequest {
    std::string method = "GET";  // GET, POST, PATCH or DELETE
    std::string url;             // absolute http or https URL
    std::vector<std::pair<std::string, std::string>> headers;
    SharedBytes body;  // none: no body (a POST then sends an empty one)
    // The longest wait for the next piece of data (connecting included), not a
    // limit on the whole exchange.
    Duration timeout = seconds(60);
    // The limit on the whole exchange.
    Duration resourceTimeout = seconds(900);
};

// A reply that arrived over HTTP, whatever its status.
struct HttpResponse {
    int status = 0;
    std::string body;
};

// The kinds of transport failure that callers tell apart.
enum class TransportErrorCode {
    cannotConnectToHost,    // nothing listens, or the host refused or is unreachable
    cannotFindHost,         // the host name does not resolve
    timedOut,               // no data within the request timeout, or the resource limit
    networkConnectionLost,  // the connection broke before a whole reply arrived
    badServerResponse,      // the peer answered with something that is not HTTP
    badURL,                 // the URL cannot be used
    cancelled,              // the transfer was abandoned by the transport itself
    other,
};

// A failure of the transport (no HTTP reply). what() is a readable description.
class TransportError : public std::runtime_error {
  public:
    TransportError(TransportErrorCode code, const std::string& description)
        : std::runtime_error(description), code_(code) {}
    TransportErrorCode code() const { return code_; }

  private:
    TransportErrorCode code_;
};

// Sends HTTP requests. Implementations must allow overlapping requests from one
// executor thread and must not keep cookies or a cache between requests.
class HttpTransport {
  public:
    virtual ~HttpTransport() = default;

    // co_await send(request): the reply, or TransportError. Resumes the awaiting
    // task on its executor. Cancellation-aware: cancelling the awaiting task
    // abandons the transfer and the task resumes with CancelledError.
    virtual Task<HttpResponse> send(HttpRequest request) = 0;
};

}  // namespace tessera
