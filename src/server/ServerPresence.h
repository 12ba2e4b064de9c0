#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/AppState.h"
#include "server/APIClient.h"
#include "server/HttpTransport.h"
#include "support/Task.h"

namespace tessera {

// The server the product looks for when none is configured, and the second
// well-known port it falls back to on the same loopback host.
inline constexpr std::string_view kFallbackServerBaseURL = "http://127.0.0.1:3000";

// The two well-known bases; tests put servers on other ports.
struct ServerEndpoints {
    std::string defaultBase = std::string(AppState::kDefaultServerBaseURL);
    std::string fallbackBase = std::string(kFallbackServerBaseURL);
};

// These functions run on the main executor and suspend while the network answers.
// The transports and the AppState must outlive the returned tasks.

// GET <base>/api/recordings with a 3-second timeout: true when any HTTP reply
// arrives (404 and 500 included), false on every transport failure. Never throws
// (except CancelledError when the awaiting task is cancelled).
Task<bool> probe(std::shared_ptr<HttpTransport> probeSession, Url base);

// Sets AppState::serverReachable from a probe of the configured base, falling
// back to the second port when the configured base is the default one. Never sets
// it back to "not yet known".
Task<void> checkServerReachable(AppState& state, std::shared_ptr<HttpTransport> probeSession,
                                ServerEndpoints endpoints = {});

// GET <base>/api/recordings with a 5-second timeout: true exactly when the reply
// is 200 and its body is a JSON array. Never throws (except CancelledError).
Task<bool> isTesseraServer(std::shared_ptr<HttpTransport> session, Url base);

struct CreatedRecording {
    APIClient api;
    RecordingInfo info;
};

// Creates the recording on the configured server and returns the client the
// session uses from then on. When the configured base is the default one and it
// cannot be reached (refused, host not found, timed out, connection lost), a
// Tessera server on the fallback port is used instead, if there is one; otherwise
// throws RecorderError naming the configured base. Every other failure is
// rethrown unchanged. Throws RecorderError "Invalid server URL: <stored text>"
// when the configured base does not resolve.
Task<CreatedRecording> createRecording(AppState& state, std::shared_ptr<HttpTransport> session,
                                       CreateRecordingRequest request,
                                       ServerEndpoints endpoints = {});

}  // namespace tessera
