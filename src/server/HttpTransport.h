#pragma once

#include <cstddef>
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

// What a caller needs of a reply's body.
enum class ReplyBody {
    keep,              // the body, up to the request's maxReplyBytes
    discardOnSuccess,  // nothing of a 2xx body; other bodies are kept (they carry errors)
    discard,           // nothing, whatever the status
};

// Reply bodies are read into memory; a server that sends more than this is cut
// off, so a broken or hostile one cannot fill the memory.
inline constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

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
    ReplyBody replyBody = ReplyBody::keep;
    // The most reply body bytes read, kept or not. A longer body cuts the
    // transfer there: a 2xx reply whose body is kept then fails with
    // TransportError badServerResponse naming the limit; any other reply
    // completes with its status and the bytes kept up to the limit.
    std::size_t maxReplyBytes = kMaxReplyBytes;
};

// A reply that arrived over HTTP, whatever its status. The body is empty when
// the request discarded it.
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
