#include "server/APIClient.h"

#include <nlohmann/json.hpp>

namespace tessera {
namespace {

using nlohmann::json;

constexpr Duration kCreateTimeout = seconds(10);
constexpr Duration kDefaultTimeout = seconds(60);
constexpr Duration kFinalizeTimeout = seconds(600);
constexpr char kHex[] = "0123456789ABCDEF";

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// RFC 3986 pchar plus "/": unreserved, sub-delims, ":" and "@".
bool isPathCharacter(unsigned char c) {
    return isUnreserved(c) ||
           std::string_view("!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

void percentEncode(std::string& out, unsigned char c) {
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0f]);
}

std::string encodeQueryValue(std::string_view value) {
    std::string out;
    for (unsigned char c : value) {
        if (isUnreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            percentEncode(out, c);
        }
    }
    return out;
}

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string requiredString(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) {
        throw DecodingError("The data couldn't be read because it is missing.");
    }
    if (!value->is_string()) {
        throw DecodingError("The data couldn't be read because it isn't in the correct format.");
    }
    return value->get<std::string>();
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value || value->is_null()) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        throw DecodingError("The data couldn't be read because it isn't in the correct format.");
    }
    return value->get<std::string>();
}

SharedBytes bytesOf(const std::string& text) {
    return std::make_shared<const ByteBuffer>(text.begin(), text.end());
}

void requireSafeID(const std::string& id) {
    if (!isSafeRecordingID(id)) {
        throw APIError(std::nullopt, "Invalid recording id");
    }
}

Url requestUrl(const Url& base, const std::string& path) {
    auto url = appendingPath(base, path);
    if (!url) {
        throw APIError(std::nullopt, "Invalid request URL");
    }
    return *url;
}

Task<HttpResponse> exchange(std::shared_ptr<HttpTransport> session, HttpRequest request) {
    HttpResponse response = co_await session->send(std::move(request));
    validateReply(response);
    co_return response;
}

Task<RecordingInfo> createRecordingTask(APIClient api, CreateRecordingRequest body) {
    HttpRequest request;
    request.method = "POST";
    request.url = requestUrl(api.base(), "api/recordings").toString();
    request.headers = {{"Content-Type", "application/json"}};
    request.body = bytesOf(body.toJson());
    request.timeout = kCreateTimeout;
    HttpResponse response = co_await exchange(api.session(), std::move(request));
    co_return RecordingInfo::decode(response.body);
}

Task<void> uploadChunkTask(APIClient api, std::string id, std::string kind, SharedBytes data) {
    requireSafeID(id);
    // The chunk's own query replaces any query of the base.
    auto url = Url::parse(pathUnder(api.base(), "api/recordings/" + id + "/chunk") +
                          "?kind=" + encodeQueryValue(kind));
    if (!url) {
        throw APIError(std::nullopt, "Invalid chunk URL");
    }
    HttpRequest request;
    request.method = "POST";
    request.url = url->toString();
    request.headers = {{"Content-Type", "application/octet-stream"}};
    request.body = data ? std::move(data) : std::make_shared<const ByteBuffer>();
    request.timeout = kDefaultTimeout;
    request.replyBody = ReplyBody::discardOnSuccess;
    co_await exchange(api.session(), std::move(request));
}

Task<void> updateTask(APIClient api, std::string id, std::string description) {
    requireSafeID(id);
    HttpRequest request;
    request.method = "PATCH";
    request.url = requestUrl(api.base(), "api/recordings/" + id).toString();
    request.headers = {{"Content-Type", "application/json"}};
    request.body = bytesOf(json{{"description", description}}.dump());
    request.timeout = kDefaultTimeout;
    request.replyBody = ReplyBody::discardOnSuccess;
    co_await exchange(api.session(), std::move(request));
}

Task<RecordingInfo> finalizeTask(APIClient api, std::string id) {
    requireSafeID(id);
    HttpRequest request;
    request.method = "POST";
    request.url = requestUrl(api.base(), "api/recordings/" + id + "/finalize").toString();
    request.timeout = kFinalizeTimeout;
    HttpResponse response = co_await exchange(api.session(), std::move(request));
    co_return RecordingInfo::decode(response.body);
}

Task<void> deleteTask(APIClient api, std::string id) {
    requireSafeID(id);
    HttpRequest request;
    request.method = "DELETE";
    request.url = requestUrl(api.base(), "api/recordings/" + id).toString();
    request.timeout = kDefaultTimeout;
    request.replyBody = ReplyBody::discardOnSuccess;
    co_await exchange(api.session(), std::move(request));
}

}  // namespace

std::string CreateRecordingRequest::toJson() const {
    nlohmann::ordered_json out;
    if (title) {
        out["title"] = *title;
    }
    out["hasCamera"] = hasCamera;
    out["hasAudio"] = hasAudio;
    out["screenMime"] = screenMime;
    if (cameraMime) {
        out["cameraMime"] = *cameraMime;
    }
    out["width"] = width;
    out["height"] = height;
    out["source"] = source;
    return out.dump();
}

RecordingInfo RecordingInfo::decode(std::string_view body) {
    const json reply = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (reply.is_discarded()) {
        throw DecodingError("The data couldn't be read because it isn't in the correct format.");
    }
    if (!reply.is_object()) {
        throw DecodingError("The data couldn't be read because it isn't in the correct format.");
    }
    RecordingInfo info;
    info.id = requiredString(reply, "id");
    info.status = requiredString(reply, "status");
    info.error = optionalString(reply, "error");
    info.shareUrl = optionalString(reply, "shareUrl");
    return info;
}

void validateReply(const HttpResponse& response) {
    if (response.status < 100 || response.status > 999) {
        throw APIError(std::nullopt, "Invalid server response");
    }
    if (response.status >= 200 && response.status <= 299) {
        return;
    }
    std::string message = "Server returned HTTP " + std::to_string(response.status);
    const json body = json::parse(response.body, nullptr, /*allow_exceptions=*/false);
    if (body.is_object()) {
        const json* error = member(body, "error");
        if (error && error->is_string() && !error->get<std::string>().empty()) {
            message = error->get<std::string>();
        }
    }
    throw APIError(response.status, message);
}

bool isSafeRecordingID(std::string_view id) {
    if (id.empty() || id.find("..") != std::string_view::npos) {
        return false;
    }
    for (unsigned char c : id) {
        if (c <= 0x20 || c == 0x7f || c == '/' || c == '?' || c == '#' || c == '%') {
            return false;
        }
    }
    return true;
}

std::optional<Url> appendingPath(const Url& base, std::string_view path) {
    std::string text = pathUnder(base, path);
    if (base.query()) {
        text += "?" + *base.query();
    }
    return Url::parse(text);
}

std::string pathUnder(const Url& base, std::string_view path) {
    std::string text = base.scheme() + ":";
    if (base.hasAuthority()) {
        text += "//" + base.host();
        if (base.port()) {
            text += ":" + std::to_string(*base.port());
        }
    }
    text += base.path();
    if (text.empty() || text.back() != '/') {
        text.push_back('/');
    }
    for (unsigned char c : path) {
        if (isPathCharacter(c)) {
            text.push_back(static_cast<char>(c));
        } else {
            percentEncode(text, c);
        }
    }
    return text;
}

bool isWebLink(const Url& link) {
    return (link.scheme() == "http" || link.scheme() == "https") && !link.host().empty();
}

APIClient::APIClient(Url base, std::shared_ptr<HttpTransport> session)
    : base_(std::move(base)), session_(std::move(session)) {}

Task<RecordingInfo> APIClient::createRecording(CreateRecordingRequest request) const {
    return createRecordingTask(*this, std::move(request));
}

Task<void> APIClient::uploadChunk(std::string id, std::string kind, SharedBytes data) const {
    return uploadChunkTask(*this, std::move(id), std::move(kind), std::move(data));
}

Task<void> APIClient::update(std::string id, std::string description) const {
    return updateTask(*this, std::move(id), std::move(description));
}

Task<RecordingInfo> APIClient::finalize(std::string id) const {
    return finalizeTask(*this, std::move(id));
}

Task<void> APIClient::deleteRecording(std::string id) const {
    return deleteTask(*this, std::move(id));
}

}  // namespace tessera
