// The libcurl transport and the API client over real loopback HTTP.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>

#include "LoopbackServer.h"
#include "server/APIClient.h"
#include "server/CurlTransport.h"
#include "server/ServerPresence.h"
#include "server/ShareLink.h"
#include "support/FragmentedMp4.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {

using nlohmann::json;

class ApiOverHttpTest : public ::testing::Test {
  protected:
    Task<HttpResponse> get(std::string url, Duration timeout = seconds(60)) {
        HttpRequest request;
        request.url = std::move(url);
        request.timeout = timeout;
        return transport->send(std::move(request));
    }
    TransportErrorCode failureOf(Task<HttpResponse> task) {
        try {
            runTask(loop, std::move(task));
        } catch (const TransportError& e) {
            EXPECT_FALSE(std::string(e.what()).empty());
            return e.code();
        }
        ADD_FAILURE() << "the request succeeded";
        return TransportErrorCode::other;
    }

    EventLoop loop;
    std::shared_ptr<CurlTransport> transport = std::make_shared<CurlTransport>();
};

TEST_F(ApiOverHttpTest, TransportFailuresKeepTheirKind) {
    EXPECT_EQ(failureOf(get("http://127.0.0.1:" + std::to_string(unusedLoopbackPort()) + "/")),
              TransportErrorCode::cannotConnectToHost);
    EXPECT_EQ(failureOf(get("http://no-such-host.invalid/")), TransportErrorCode::cannotFindHost);

    LoopbackServer slow;
    slow.server().Get("/slow", [](const auto&, auto& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        res.set_content("late", "text/plain");
    });
    slow.start();
    EXPECT_EQ(failureOf(get(slow.baseUrl() + "/slow", seconds(1))), TransportErrorCode::timedOut);

    WebAppProcess webapp;
    webapp.addFault({{"route", "list"}, {"drop", true}});
    EXPECT_EQ(failureOf(get(webapp.baseUrl() + "/api/recordings")),
              TransportErrorCode::networkConnectionLost);
}

TEST_F(ApiOverHttpTest, CancellingTheAwaitingTaskAbortsTheTransfer) {
    std::atomic<bool> handlerStarted = false;
    std::atomic<bool> handlerDone = false;
    LoopbackServer slow;
    slow.server().Get("/slow", [&](const auto&, auto& res) {
        handlerStarted = true;
        loop.post([] {});  // wakes the loop to look at the flag
        std::this_thread::sleep_for(std::chrono::seconds(3));
        res.set_content("late", "text/plain");
        handlerDone = true;
    });
    slow.start();
    auto handle = spawn(loop, get(slow.baseUrl() + "/slow"));
    ASSERT_TRUE(loop.runUntil([&] { return handlerStarted.load(); }, seconds(30)));
    handle.cancel();
    ASSERT_TRUE(loop.runUntil([&] { return handle.isDone(); }, seconds(30)));
    EXPECT_FALSE(handlerDone) << "the task ended before the server answered";
    EXPECT_THROW(handle.result(), CancelledError);
}

TEST_F(ApiOverHttpTest, BodiesArriveByteExactAndNoCookiesAreKept) {
    std::string receivedBody, cookieHeader, contentType;
    LoopbackServer echo;
    echo.server().Post("/upload", [&](const auto& req, auto& res) {
        receivedBody = req.body;
        cookieHeader = req.get_header_value("Cookie");
        contentType = req.get_header_value("Content-Type");
        res.set_header("Set-Cookie", "session=abc; Path=/");
        res.status = 204;
    });
    echo.start();
    auto bytes = std::make_shared<ByteBuffer>(2 * 1024 * 1024);
    for (size_t i = 0; i < bytes->size(); ++i) {
        (*bytes)[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    for (int round = 0; round < 2; ++round) {
        HttpRequest request;
        request.method = "POST";
        request.url = echo.baseUrl() + "/upload";
        request.body = bytes;
        EXPECT_EQ(runTask(loop, transport->send(request)).status, 204);
        EXPECT_EQ(receivedBody, std::string(bytes->begin(), bytes->end()));
        EXPECT_EQ(cookieHeader, "") << "round " << round;
        EXPECT_EQ(contentType, "") << "no form content type is made up";
    }
}

TEST_F(ApiOverHttpTest, ReplyStatusesAndErrorBodiesOverHttp) {
    struct Case {
        int status;
        const char* body;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {204, "", "ok"},
        {299, "", "ok"},
        {300, "", "Server returned HTTP 300"},
        {500, R"({"error":"disk full"})", "disk full"},
        {500, R"({"error":""})", "Server returned HTTP 500"},
        {500, R"({"error":7})", "Server returned HTTP 500"},
        {500, "plain text", "Server returned HTTP 500"},
    };
    size_t next = 0;
    LoopbackServer server;
    server.server().Post("/api/recordings/r1/chunk", [&](const auto&, auto& res) {
        res.status = cases[next].status;
        res.set_content(cases[next].body, "application/json");
    });
    server.start();
    const APIClient api(*Url::parse(server.baseUrl()), transport);
    for (; next < cases.size(); ++next) {
        std::string outcome = "ok";
        try {
            runTask(loop, api.uploadChunk("r1", "screen", nullptr));
        } catch (const APIError& e) {
            outcome = e.what();
            EXPECT_EQ(e.statusCode(), cases[next].status);
        }
        EXPECT_EQ(outcome, cases[next].expected) << cases[next].status;
    }
}

// Answers every request with `status` and a body that never ends (it starts as
// JSON with an unterminated string), and counts the bytes it got out.
class EndlessReplyServer {
  public:
    explicit EndlessReplyServer(int status) {
        const auto handler = [this, status](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_chunked_content_provider(
                "application/json",
                [this](size_t, httplib::DataSink& sink) {
                    const std::string& piece = sent_ == 0 ? prefix_ : filler_;
                    // A client that keeps reading gets a (very) long but finite reply.
                    if (sent_ > kGiveUpBytes || !sink.write(piece.data(), piece.size())) {
                        return false;
                    }
                    sent_ += piece.size();
                    return true;
                },
                [this](bool) {
                    std::lock_guard lock(mutex_);
                    finished_ = true;
                    ended_.notify_all();
                });
        };
        server_.server().Get(".*", handler);
        server_.server().Post(".*", handler);
        server_.server().Patch(".*", handler);
        server_.server().Delete(".*", handler);
        server_.start();
    }
    std::string baseUrl() const { return server_.baseUrl(); }
    // Waits until the reply ended (the client hung up, or everything was sent)
    // and returns how many body bytes went out.
    size_t sentWhenFinished() {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(ended_.wait_for(lock, std::chrono::seconds(30), [&] { return finished_; }));
        return sent_;
    }

    static constexpr size_t kGiveUpBytes = 512u << 20;

  private:
    const std::string prefix_ = R"({"id":"r1","status":"ready","error":")";
    const std::string filler_ = std::string(64 * 1024, 'x');
    std::atomic<size_t> sent_ = 0;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;  // guarded by mutex_
    LoopbackServer server_;
};

TEST_F(ApiOverHttpTest, EndlessRepliesAreCutOffAndNeverBuffered) {
    // The socket buffers between the two ends hold a few MiB at most; a client that
    // read the whole reply would take everything up to kGiveUpBytes.
    constexpr size_t kCutOffBelow = 64u << 20;
    const auto outcomeOf = [&](auto operation) -> std::string {
        try {
            runTask(loop, operation());
            return "ok";
        } catch (const std::exception& e) {
            return e.what();
        }
    };
    struct Case {
        const char* name;
        int status;
        std::function<Task<void>(APIClient)> operation;
        std::string expected;
    };
    const std::string limitError = "The server's reply is larger than the 1 MiB limit.";
    auto chunk = [](APIClient api) {
        return api.uploadChunk("r1", "screen", nullptr);
    };
    const std::vector<Case> cases = {
        {"chunk accepted", 200, chunk, "ok"},
        {"chunk refused", 500, chunk, "Server returned HTTP 500"},
        {"update", 200, [](APIClient api) { return api.update("r1", "notes"); }, "ok"},
        {"delete", 200, [](APIClient api) { return api.deleteRecording("r1"); }, "ok"},
        {"create", 201,
         [](APIClient api) -> Task<void> {
             CreateRecordingRequest request;  // named: GCC 12 mishandles a temporary here
             co_await api.createRecording(request);
         },
         limitError},
        {"finalize", 200, [](APIClient api) -> Task<void> { co_await api.finalize("r1"); },
         limitError},
    };
    for (const auto& c : cases) {
        EndlessReplyServer server(c.status);
        const APIClient api(*Url::parse(server.baseUrl()), transport);
        EXPECT_EQ(outcomeOf([&] { return c.operation(api); }), c.expected) << c.name;
        EXPECT_LT(server.sentWhenFinished(), kCutOffBelow) << c.name;
    }

    EndlessReplyServer listing(404);
    EXPECT_TRUE(runTask(loop, probe(transport, *Url::parse(listing.baseUrl()))));
    EXPECT_LT(listing.sentWhenFinished(), kCutOffBelow) << "probe";
}

TEST_F(ApiOverHttpTest, AReplyJustUnderTheCapIsReadWhole) {
    const std::string padding(kMaxReplyBytes - 100, 'p');
    LoopbackServer server;
    server.server().Post(".*", [&](const auto&, auto& res) {
        res.status = 200;
        res.set_content(R"({"id":"r1","status":"ready","error":")" + padding + R"("})",
                        "application/json");
    });
    server.start();
    const APIClient api(*Url::parse(server.baseUrl()), transport);
    EXPECT_EQ(runTask(loop, api.finalize("r1")).error, padding);
}

TEST_F(ApiOverHttpTest, CreateGoesUnderTheBasePathAndDecodesTheReply) {
    std::string path, body, contentType;
    std::string reply = R"({"id":"x1","status":"recording"})";
    LoopbackServer server;
    server.server().Post(".*", [&](const auto& req, auto& res) {
        path = req.path;
        body = req.body;
        contentType = req.get_header_value("Content-Type");
        res.status = 201;
        res.set_content(reply, "application/json");
    });
    server.start();
    const APIClient api(*Url::parse(server.baseUrl() + "/tessera"), transport);
    CreateRecordingRequest request{std::nullopt, false, false, "video/mp4;codecs=avc1",
                                   std::nullopt, 1280,  720,   "native"};
    const RecordingInfo info = runTask(loop, api.createRecording(request));
    EXPECT_EQ(path, "/tessera/api/recordings");
    EXPECT_EQ(contentType, "application/json");
    EXPECT_EQ(json::parse(body), json::parse(request.toJson()));
    EXPECT_EQ(info.id, "x1");
    EXPECT_FALSE(info.error);
    EXPECT_FALSE(info.shareUrl);

    reply = R"({"id":"x1"})";
    EXPECT_THROW(runTask(loop, api.createRecording(request)), DecodingError);
}

TEST_F(ApiOverHttpTest, AWholeRecordingAgainstTheReferenceWebApp) {
    WebAppProcess webapp;
    const APIClient api(*Url::parse(webapp.baseUrl()), transport);
    CreateRecordingRequest request{
        std::nullopt, true, false,   "video/mp4;codecs=avc1", "video/mp4;codecs=avc1",
        320,          240,  "native"};
    const RecordingInfo created = runTask(loop, api.createRecording(request));
    EXPECT_EQ(created.status, "recording");
    EXPECT_EQ(shareLinkFor(created.shareUrl, std::nullopt, api.base(), created.id).toString(),
              webapp.baseUrl() + "/v/" + created.id);

    const auto dir = webapp.dataDir() / "media-source";
    std::filesystem::create_directories(dir);
    for (const auto& segment : makeFragmentedMp4Segments(dir, 2.0, "320x240")) {
        runTask(loop,
                api.uploadChunk(created.id, "screen",
                                std::make_shared<ByteBuffer>(segment.begin(), segment.end())));
    }
    runTask(loop, api.update(created.id, "Notes"));
    const RecordingInfo done = runTask(loop, api.finalize(created.id));
    EXPECT_EQ(done.status, "ready");
    EXPECT_EQ(webapp.recording(created.id)["description"], "Notes");

    runTask(loop, api.deleteRecording(created.id));
    try {
        runTask(loop, api.finalize(created.id));
        ADD_FAILURE() << "finalize after delete succeeded";
    } catch (const APIError& e) {
        EXPECT_EQ(e.statusCode(), 404);
        EXPECT_STREQ(e.what(), "Recording not found");
    }
}

}  // namespace
}  // namespace tessera::testing
