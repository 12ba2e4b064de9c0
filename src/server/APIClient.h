#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/Url.h"
#include "server/APIError.h"
#include "server/HttpTransport.h"
#include "support/Task.h"

namespace tessera {

// The record sent once per recording to create it on the server.
struct CreateRecordingRequest {
    std::optional<std::string> title;
    bool hasCamera = false;
    bool hasAudio = false;
    std::string screenMime;
    std::optional<std::string> cameraMime;
    int width = 0;
    int height = 0;
    std::string source;

    // Compact JSON with the keys in declaration order; absent optionals are left
    // out, never written as null.
    std::string toJson() const;
};

// The server's record of a recording, decoded from the create and finalize replies.
struct RecordingInfo {
    std::string id;
    std::string status;
    std::optional<std::string> error;
    std::optional<std::string> shareUrl;

    // Requires "id" and "status" strings; "error" and "shareUrl" may be missing or
    // null; other keys are ignored. Throws DecodingError otherwise.
    static RecordingInfo decode(std::string_view body);
};

// The reply check run on every reply: accepts 200-299, otherwise throws APIError
// with the server's non-empty JSON "error" string or "Server returned HTTP <status>".
void validateReply(const HttpResponse& response);

// Whether a recording id can be put into a request path as it is: not empty, and
// free of "/", "?", "#", "%", "..", white space and control characters. An id that
// fails could point a request (a DELETE, say) at another resource.
bool isSafeRecordingID(std::string_view id);

// `base` with `path` appended after a "/": slashes in `path` stay separators,
// characters a path may not hold are percent-encoded; the base's query is kept
// and its fragment dropped. None when the result is not a valid URL.
std::optional<Url> appendingPath(const Url& base, std::string_view path);

// The text of appendingPath() without any query: scheme, authority and path.
std::string pathUnder(const Url& base, std::string_view path);

// Whether a link may be handed to a browser or the clipboard: http or https only.
bool isWebLink(const Url& link);

// The client of the server API. Reply bodies that are read are capped at
// kMaxReplyBytes. A value: copies share the transport ("session"),
// which lives as long as the last copy. Operations may overlap; none is retried
// here (callers own their retries). Each operation resumes on the awaiting task's
// executor and throws APIError, DecodingError, TransportError or CancelledError.
class APIClient {
  public:
    APIClient(Url base, std::shared_ptr<HttpTransport> session);

    const Url& base() const { return base_; }
    const std::shared_ptr<HttpTransport>& session() const { return session_; }

    // POST api/recordings, 10-second timeout.
    Task<RecordingInfo> createRecording(CreateRecordingRequest request) const;
    // POST api/recordings/<id>/chunk?kind=<kind> with the bytes as they are; the
    // kind replaces any query of the base. The bodies of the chunk, update and
    // delete replies are read only when they carry an error.
    Task<void> uploadChunk(std::string id, std::string kind, SharedBytes data) const;
    // PATCH api/recordings/<id> with {"description": ...}.
    Task<void> update(std::string id, std::string description) const;
    // POST api/recordings/<id>/finalize, waiting up to ten minutes for the answer.
    Task<RecordingInfo> finalize(std::string id) const;
    // DELETE api/recordings/<id>.
    Task<void> deleteRecording(std::string id) const;

    friend bool operator==(const APIClient&, const APIClient&) = default;

  private:
    Url base_;
    std::shared_ptr<HttpTransport> session_;
};

}  // namespace tessera
