// Reachability, identity and recording creation with the port fallback, against
// real loopback servers.
#include <atomic>

#include "LoopbackServer.h"
#include "app/AppState.h"
#include "app/SettingsKeys.h"
#include "server/CurlTransport.h"
#include "server/ServerPresence.h"
#include "support/AppStateDoubles.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {

std::string unusedBase() {
    return "http://127.0.0.1:" + std::to_string(unusedLoopbackPort());
}

// A server on the fallback port that answers GET api/recordings with `status` and
// `body`, and counts every request.
class ListServer {
  public:
    ListServer(int status, std::string body) {
        server_.server().Get(".*", [this, status, body](const auto&, auto& res) {
            ++requests;
            res.status = status;
            res.set_content(body, "application/json");
        });
        server_.server().Post(".*", [this](const auto&, auto& res) {
            ++requests;
            res.status = 500;
        });
        server_.start();
    }
    std::string baseUrl() const { return server_.baseUrl(); }
    std::atomic<int> requests = 0;

  private:
    LoopbackServer server_;
};

class ServerPresenceTest : public ::testing::Test {
  protected:
    AppState& stateWithBase(const std::string& stored) {
        app.store.set(settings_keys::kServerBaseURL, stored);
        return app.launch();
    }
    // The well-known bases moved to free ports: nothing listens on the default one.
    ServerEndpoints endpointsFallingBackTo(const std::string& fallback) {
        return ServerEndpoints{defaultBase, fallback};
    }
    std::string createFailure(AppState& s, const ServerEndpoints& endpoints) {
        try {
            runTask(loop, createRecording(s, transport, request, endpoints));
        } catch (const std::exception& e) {
            return e.what();
        }
        return "created";
    }

    EventLoop loop;
    std::shared_ptr<CurlTransport> transport = std::make_shared<CurlTransport>();
    TestAppState app;
    const std::string defaultBase = unusedBase();
    CreateRecordingRequest request{std::nullopt, false, false, "video/mp4;codecs=avc1",
                                   std::nullopt, 640,   480,   "native"};
};

// Reachability is any HTTP reply, even a 404; the fallback port is tried only for the
// default base.
TEST_F(ServerPresenceTest, ReachabilityFallsBackOnlyFromTheDefaultBase) {
    ListServer up(404, "");
    struct Case {
        const char* name;
        std::string stored, fallback;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"configured server answers", up.baseUrl(), unusedBase(), true},
        {"default down, fallback answers", defaultBase + "/", up.baseUrl(), true},
        {"other base down, no fallback", unusedBase(), up.baseUrl(), false},
    };
    for (const auto& c : cases) {
        AppState& s = stateWithBase(c.stored);
        EXPECT_EQ(s.serverReachable(), std::nullopt);
        runTask(loop, checkServerReachable(s, transport, endpointsFallingBackTo(c.fallback)));
        EXPECT_EQ(s.serverReachable(), c.expected) << c.name;
    }
}

// The fallback must prove to be a Tessera server: a 200 with a top-level JSON array.
TEST_F(ServerPresenceTest, CreateFallsBackOnlyToATesseraServerOnTheSecondPort) {
    WebAppProcess fallback;
    AppState& s = stateWithBase(defaultBase);
    const auto created = runTask(
        loop, createRecording(s, transport, request, endpointsFallingBackTo(fallback.baseUrl())));
    EXPECT_EQ(created.api.base().toString(), fallback.baseUrl());
    EXPECT_FALSE(fallback.recording(created.info.id).is_null());
    EXPECT_EQ(s.serverBaseURL()->toString(), defaultBase) << "the fallback is not stored";

    const std::string notRunning = "The Tessera server isn't running at " + defaultBase +
                                   ". Start it (npm start in the project, or the "
                                   "com.tessera.server service), then try again.";
    for (const auto& [status, body] : {std::pair{200, "{}"}, std::pair{404, "[]"}}) {
        ListServer impostor(status, body);
        EXPECT_EQ(createFailure(s, endpointsFallingBackTo(impostor.baseUrl())), notRunning)
            << status << " " << body;
        EXPECT_EQ(impostor.requests, 1) << "only the identity check reaches it";
    }
    EXPECT_EQ(createFailure(s, endpointsFallingBackTo(unusedBase())), notRunning);
}

TEST_F(ServerPresenceTest, CreateRethrowsWithoutFallbackInEveryOtherCase) {
    ListServer fallback(200, "[]");
    // A configured base other than the default: the transport's own error.
    AppState& other = stateWithBase(unusedBase());
    EXPECT_EQ(createFailure(other, endpointsFallingBackTo(fallback.baseUrl())),
              "Could not connect to the server.");
    // The default base answering with an HTTP error: that error.
    ListServer failing(500, "");
    AppState& answering = stateWithBase(failing.baseUrl());
    EXPECT_EQ(createFailure(answering, ServerEndpoints{failing.baseUrl(), fallback.baseUrl()}),
              "Server returned HTTP 500");
    EXPECT_EQ(fallback.requests, 0);
}

}  // namespace
}  // namespace tessera::testing
