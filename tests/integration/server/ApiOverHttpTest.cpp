// The libcurl transport and the API client over real loopback HTTP.
#include <atomic>
#include <nlohmann/json.hpp>

#include "LoopbackServer.h"
#include "server/APIClient.h"
#include "server/CurlTransport.h"
#include "server/ServerPresence.h"
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

// Failures keep their kind; a request to a server that does not answer in time times
// out, and cancelling the awaiting task ends it before the server answers.
TEST_F(ApiOverHttpTest, TransportFailuresKeepTheirKindAndACancelAbortsTheTransfer) {
    EXPECT_EQ(failureOf(get("http://127.0.0.1:" + std::to_string(unusedLoopbackPort()) + "/")),
              TransportErrorCode::cannotConnectToHost);
    EXPECT_EQ(failureOf(get("http://no-such-host.invalid/")), TransportErrorCode::cannotFindHost);

    std::atomic<bool> cancelledStarted = false;
    std::atomic<bool> cancelledAnswered = false;
    LoopbackServer slow;
    slow.server().Get("/slow", [&](const auto& req, auto& res) {
        const bool cancelled = req.has_param("cancel");
        if (cancelled) {
            cancelledStarted = true;
            loop.post([] {});  // wakes the loop to look at the flag
        }
        std::this_thread::sleep_for(std::chrono::seconds(3));
        res.set_content("late", "text/plain");
        if (cancelled) {
            cancelledAnswered = true;
        }
    });
    slow.start();
    EXPECT_EQ(failureOf(get(slow.baseUrl() + "/slow", seconds(1))), TransportErrorCode::timedOut);

    auto handle = spawn(loop, get(slow.baseUrl() + "/slow?cancel=1"));
    ASSERT_TRUE(loop.runUntil([&] { return cancelledStarted.load(); }, seconds(30)));
    handle.cancel();
    ASSERT_TRUE(loop.runUntil([&] { return handle.isDone(); }, seconds(30)));
    EXPECT_FALSE(cancelledAnswered) << "the task ended before the server answered";
    EXPECT_THROW(handle.result(), CancelledError);
}

// What the client sends arrives as it was given, under the base path, with the content
// type the operation names and none made up (a form type would be refused); replies up
// to the cap are read whole.
TEST_F(ApiOverHttpTest, RequestsArriveExactlyAndRepliesAreDecoded) {
    std::string path, body, contentType;
    std::string reply;
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

    auto bytes = std::make_shared<ByteBuffer>(2 * 1024 * 1024);
    for (size_t i = 0; i < bytes->size(); ++i) {
        (*bytes)[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    runTask(loop, api.uploadChunk("r1", "screen", bytes));
    EXPECT_EQ(path, "/tessera/api/recordings/r1/chunk");
    EXPECT_TRUE(body == std::string(bytes->begin(), bytes->end())) << body.size() << " bytes";
    EXPECT_EQ(contentType, "application/octet-stream");

    reply = R"({"id":"x1","status":"recording"})";
    CreateRecordingRequest request{std::nullopt, false, false, "video/mp4;codecs=avc1",
                                   std::nullopt, 1280,  720,   "native"};
    const RecordingInfo info = runTask(loop, api.createRecording(request));
    EXPECT_EQ(path, "/tessera/api/recordings");
    EXPECT_EQ(contentType, "application/json");
    EXPECT_EQ(json::parse(body), json::parse(request.toJson()));
    EXPECT_EQ(info.id, "x1");

    const std::string padding(kMaxReplyBytes - 100, 'p');
    reply = R"({"id":"r1","status":"ready","error":")" + padding + R"("})";
    EXPECT_EQ(runTask(loop, api.finalize("r1")).error, padding) << "just under the cap";
    EXPECT_EQ(contentType, "") << "finalize has no body and no made-up form type";

    reply = R"({"id":"x1"})";
    EXPECT_THROW(runTask(loop, api.createRecording(request)), DecodingError);
}

// Runs `exchange` against a server that answers `status` with a body that never ends
// (JSON with an unterminated string) and returns how many body bytes went out.
template <class Exchange>
size_t bytesSentDuring(int status, Exchange exchange) {
    const std::string prefix = R"({"id":"r1","status":"ready","error":")";
    const std::string filler(64 * 1024, 'x');
    std::atomic<size_t> sent = 0;
    {
        LoopbackServer server;
        const auto handler = [&](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_chunked_content_provider("application/json", [&](size_t, auto& sink) {
                const std::string& piece = sent == 0 ? prefix : filler;
                // A client that keeps reading gets a (very) long but finite reply.
                if (sent > (512u << 20) || !sink.write(piece.data(), piece.size())) {
                    return false;
                }
                sent += piece.size();
                return true;
            });
        };
        server.server().Get(".*", handler);
        server.server().Post(".*", handler);
        server.start();
        exchange(*Url::parse(server.baseUrl()));
    }  // the server has stopped: the reply has ended
    return sent;
}

TEST_F(ApiOverHttpTest, EndlessRepliesAreCutOffAndNeverBuffered) {
    // The socket buffers between the two ends hold a few MiB at most; a client that
    // read the whole reply would take all 512 MiB.
    constexpr size_t kCutOffBelow = 64u << 20;
    const auto outcomeOf = [&](auto task) -> std::string {
        try {
            runTask(loop, std::move(task));
        } catch (const std::exception& e) {
            return e.what();
        }
        return "ok";
    };
    std::string outcome;
    for (const int status : {200, 500}) {
        EXPECT_LT(bytesSentDuring(
                      status,
                      [&](const Url& base) {
                          outcome = outcomeOf(
                              APIClient(base, transport).uploadChunk("r1", "screen", nullptr));
                      }),
                  kCutOffBelow)
            << status;
        EXPECT_EQ(outcome, status == 200 ? "ok" : "Server returned HTTP 500");
    }
    EXPECT_LT(bytesSentDuring(200,
                              [&](const Url& base) {
                                  outcome = outcomeOf(APIClient(base, transport).finalize("r1"));
                              }),
              kCutOffBelow);
    EXPECT_EQ(outcome, "The server's reply is larger than the 1 MiB limit.");
    bool reachable = false;
    EXPECT_LT(bytesSentDuring(
                  404, [&](const Url& base) { reachable = runTask(loop, probe(transport, base)); }),
              kCutOffBelow);
    EXPECT_TRUE(reachable) << "a 404 is an answer";
}

}  // namespace
}  // namespace tessera::testing
