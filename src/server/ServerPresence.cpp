#include "server/ServerPresence.h"

#include <nlohmann/json.hpp>

#include "app/SettingsKeys.h"
#include "support/RecorderError.h"

namespace tessera {
namespace {

constexpr Duration kProbeTimeout = seconds(3);
constexpr Duration kIdentityTimeout = seconds(5);

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
bool isUnreachable(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const TransportError& e) {
        switch (e.code()) {
            case TransportErrorCode::cannotConnectToHost:
            case TransportErrorCode::cannotFindHost:
            case TransportErrorCode::timedOut:
            case TransportErrorCode::networkConnectionLost:
                return true;
            default:
                return false;
        }
    } catch (...) {
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
    try {
        co_await probeSession->send(listRequest(base, kProbeTimeout));
        co_return true;
    } catch (const TransportError&) {
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
    HttpResponse response;
    try {
        response = co_await session->send(listRequest(base, kIdentityTimeout));
    } catch (const TransportError&) {
        co_return false;
    }
    if (response.status != 200) {
        co_return false;
    }
    const auto body = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
    co_return body.is_array();
}

Task<CreatedRecording> createRecording(AppState& state, std::shared_ptr<HttpTransport> session,
                                       CreateRecordingRequest request, ServerEndpoints endpoints) {
    const auto base = state.serverBaseURL();
    if (!base) {
        throw RecorderError("Invalid server URL: " + storedBaseText(state));
    }
    std::exception_ptr firstError;
    try {
        APIClient api(*base, session);
        RecordingInfo info = co_await api.createRecording(request);
        co_return CreatedRecording{std::move(api), std::move(info)};
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        firstError = std::current_exception();
    }
    auto fallback = Url::parse(endpoints.fallbackBase);
    if (!isUnreachable(firstError) || !isDefaultBase(state, endpoints) || !fallback) {
        std::rethrow_exception(firstError);
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
