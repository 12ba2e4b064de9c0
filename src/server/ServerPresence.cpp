#include "server/ServerPresence.h"

#include <nlohmann/json.hpp>

#include "app/SettingsKeys.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {
namespace {

constexpr const char* kComponent = "server";
constexpr Duration kProbeTimeout = seconds(3);
constexpr Duration kIdentityTimeout = seconds(5);
// The identity check reads the whole recordings list; a library of a few
// thousand recordings lists more than the usual reply cap.
constexpr std::size_t kMaxListBytes = 16 * kMaxReplyBytes;

HttpRequest listRequest(const Url& base, Duration timeout) {
    HttpRequest request;
    request.method = "GET";
    auto url = appendingPath(base, "api/recordings");
    request.url = url ? url->toString() : std::string();
    request.timeout = timeout;
    return request;
}

bool isDefaultBase(const AppState& state, const ServerEndpoints& endpoints) {
    const auto base = state.serverBaseURL();
    return base && base->toString() == endpoints.defaultBase;
}

// Failures that mean nothing answers at the configured address.
bool isUnreachable(TransportErrorCode code) {
    switch (code) {
        case TransportErrorCode::cannotConnectToHost:
        case TransportErrorCode::cannotFindHost:
        case TransportErrorCode::timedOut:
        case TransportErrorCode::networkConnectionLost:
            return true;
        default:
            return false;
    }
}

std::string storedBaseText(AppState& state) {
    const auto stored = state.settingsStore().get(settings_keys::kServerBaseURL);
    if (stored && stored->is_string()) {
        return stored->get<std::string>();
    }
    return std::string(AppState::kDefaultServerBaseURL);
}

}  // namespace

Task<bool> probe(std::shared_ptr<HttpTransport> probeSession, Url base) {
    HttpRequest request = listRequest(base, kProbeTimeout);
    request.replyBody = ReplyBody::discard;
    try {
        co_await probeSession->send(std::move(request));
        co_return true;
    } catch (const TransportError&) {
        // Runs every few seconds while the menu is open: an absent server is
        // an answer, not a problem worth more than a debug line.
        logging::handled(kComponent, "probing " + base.toString(), std::current_exception(),
                         logging::Level::debug);
        co_return false;
    }
}

Task<void> checkServerReachable(AppState& state, std::shared_ptr<HttpTransport> probeSession,
                                ServerEndpoints endpoints) {
    const auto base = state.serverBaseURL();
    if (!base) {
        state.setServerReachable(false);
        co_return;
    }
    if (co_await probe(probeSession, *base)) {
        state.setServerReachable(true);
        co_return;
    }
    auto fallback = Url::parse(endpoints.fallbackBase);
    if (!isDefaultBase(state, endpoints) || !fallback) {
        state.setServerReachable(false);
        co_return;
    }
    const bool reachable = co_await probe(probeSession, *fallback);
    state.setServerReachable(reachable);
}

Task<bool> isTesseraServer(std::shared_ptr<HttpTransport> session, Url base) {
    HttpRequest request = listRequest(base, kIdentityTimeout);
    request.maxReplyBytes = kMaxListBytes;
    HttpResponse response;
    try {
        response = co_await session->send(std::move(request));
    } catch (const TransportError&) {
        logging::handled(kComponent, "looking for a Tessera server at " + base.toString(),
                         std::current_exception(), logging::Level::info);
        co_return false;
    }
    const auto body = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
    if (response.status != 200 || !body.is_array()) {
        logging::info(kComponent, base.toString() + " is no Tessera server (HTTP " +
                                      std::to_string(response.status) + ")");
        co_return false;
    }
    co_return true;
}

Task<CreatedRecording> createRecording(AppState& state, std::shared_ptr<HttpTransport> session,
                                       CreateRecordingRequest request, ServerEndpoints endpoints) {
    const auto base = state.serverBaseURL();
    if (!base) {
        throw RecorderError("Invalid server URL: " + storedBaseText(state));
    }
    // Only an unreachable default server falls back; every other error, and
    // every error with another configured base, goes to the caller unchanged.
    auto fallback = Url::parse(endpoints.fallbackBase);
    try {
        APIClient api(*base, session);
        RecordingInfo info = co_await api.createRecording(request);
        co_return CreatedRecording{std::move(api), std::move(info)};
    } catch (const TransportError& e) {
        if (!isUnreachable(e.code()) || !isDefaultBase(state, endpoints) || !fallback) {
            throw;
        }
        logging::handled(kComponent, "creating the recording at " + base->toString(),
                         std::current_exception(), logging::Level::info);
    }
    if (!co_await isTesseraServer(session, *fallback)) {
        throw RecorderError("The Tessera server isn't running at " + base->toString() + ". " +
                            "Start it (npm start in the project, or the com.tessera.server " +
                            "service), then try again.");
    }
    APIClient fallbackApi(*fallback, session);
    RecordingInfo info = co_await fallbackApi.createRecording(std::move(request));
    co_return CreatedRecording{std::move(fallbackApi), std::move(info)};
}

}  // namespace tessera
