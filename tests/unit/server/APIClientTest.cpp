#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "server/APIClient.h"
#include "server/ShareLink.h"
#include "support/FakeHttpTransport.h"
#include "support/ManualExecutor.h"

namespace tessera {
namespace {

using testing::FakeHttpTransport;

Url url(const char* text) {
    return *Url::parse(text);
}

class APIClientTest : public ::testing::Test {
  protected:
    template <class T>
    T run(Task<T> task) {
        auto handle = spawn(executor, std::move(task));
        executor.runUntilIdle();
        EXPECT_TRUE(handle.isDone());
        return handle.result();
    }
    // Runs an operation against a server that answers with `reply`; returns the
    // message of the APIError it throws, or "ok".
    std::string outcomeOf(HttpResponse reply) {
        transport->responder = [reply](const HttpRequest&) {
            return reply;
        };
        try {
            run(api.uploadChunk("abc", "screen", nullptr));
            return "ok";
        } catch (const APIError& e) {
            lastStatus = e.statusCode();
            return e.what();
        }
    }

    ManualExecutor executor;
    std::shared_ptr<FakeHttpTransport> transport = std::make_shared<FakeHttpTransport>();
    APIClient api{url("http://127.0.0.1:3123"), transport};
    std::optional<int> lastStatus;
};

// The status and error-body table runs over real HTTP in the integration tests;
// a reply without a status line cannot be produced there.
TEST_F(APIClientTest, AReplyWithoutAnHttpStatusIsAnInvalidServerResponse) {
    EXPECT_EQ(outcomeOf({0, ""}), "Invalid server response");
    EXPECT_EQ(lastStatus, std::nullopt);
    EXPECT_EQ(outcomeOf({204, ""}), "ok");
}

TEST_F(APIClientTest, OperationsSendTheirMethodPathHeadersBodyAndTimeout) {
    transport->responder = [](const HttpRequest&) {
        return HttpResponse{200, R"({"id":"r1","status":"ready"})"};
    };
    auto data = std::make_shared<const ByteBuffer>(ByteBuffer{0, 1, 2, 255});
    run(api.uploadChunk("r1", "camera", data));
    run(api.update("r1", "my \"notes\""));
    run(api.finalize("r1"));
    run(api.deleteRecording("r1"));
    run(api.createRecording({}));

    const auto& r = transport->requests;
    ASSERT_EQ(r.size(), 5u);
    struct Expect {
        const char* method;
        const char* url;
        std::optional<std::string> contentType;
        double timeoutSeconds;
    };
    const Expect expected[] = {
        {"POST", "http://127.0.0.1:3123/api/recordings/r1/chunk?kind=camera",
         "application/octet-stream", 60},
        {"PATCH", "http://127.0.0.1:3123/api/recordings/r1", "application/json", 60},
        {"POST", "http://127.0.0.1:3123/api/recordings/r1/finalize", std::nullopt, 600},
        {"DELETE", "http://127.0.0.1:3123/api/recordings/r1", std::nullopt, 60},
        {"POST", "http://127.0.0.1:3123/api/recordings", "application/json", 10},
    };
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].method, expected[i].method) << i;
        EXPECT_EQ(r[i].url, expected[i].url) << i;
        EXPECT_DOUBLE_EQ(toSeconds(r[i].timeout), expected[i].timeoutSeconds) << i;
        std::optional<std::string> contentType;
        for (const auto& [name, value] : r[i].headers) {
            if (name == "Content-Type") {
                contentType = value;
            }
        }
        EXPECT_EQ(contentType, expected[i].contentType) << i;
    }
    EXPECT_EQ(r[0].body, data) << "the segment's own buffer is sent, not a copy";
    EXPECT_EQ(std::string(r[1].body->begin(), r[1].body->end()),
              R"({"description":"my \"notes\""})");
    EXPECT_FALSE(r[2].body);
    EXPECT_FALSE(r[3].body);
}

TEST_F(APIClientTest, UrlsKeepTheBasePathAndEncodeWhatAPathCannotHold) {
    struct Case {
        const char* base;
        const char* kind;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h:1/tessera", "screen", "http://h:1/tessera/api/recordings/r1/chunk?kind=screen"},
        {"http://h:1/a/b/", "mic", "http://h:1/a/b/api/recordings/r1/chunk?kind=mic"},
        {"https://h", "a b&c=d", "https://h/api/recordings/r1/chunk?kind=a%20b%26c%3Dd"},
        {"http://h:1/x?q=1", "screen", "http://h:1/x/api/recordings/r1/chunk?kind=screen"},
    };
    transport->responder = [](const HttpRequest&) {
        return HttpResponse{200, ""};
    };
    for (const auto& c : cases) {
        transport->requests.clear();
        run(APIClient(url(c.base), transport).uploadChunk("r1", c.kind, nullptr));
        ASSERT_EQ(transport->requests.size(), 1u);
        EXPECT_EQ(transport->requests[0].url, c.expected) << c.base;
    }
    EXPECT_EQ(appendingPath(url("http://h/base"), "api/rec ord/é")->toString(),
              "http://h/base/api/rec%20ord/%C3%A9");

    // Only the chunk request replaces the base's query; the others keep it.
    transport->responder = [](const HttpRequest&) {
        return HttpResponse{200, R"({"id":"r1","status":"ready"})"};
    };
    transport->requests.clear();
    const APIClient withQuery(url("http://h:1/x?token=a%20b#top"), transport);
    run(withQuery.finalize("r1"));
    run(withQuery.uploadChunk("r1", "mic", nullptr));
    ASSERT_EQ(transport->requests.size(), 2u);
    EXPECT_EQ(transport->requests[0].url, "http://h:1/x/api/recordings/r1/finalize?token=a%20b");
    EXPECT_EQ(transport->requests[1].url, "http://h:1/x/api/recordings/r1/chunk?kind=mic");
}

TEST_F(APIClientTest, IdsThatWouldRedirectTheRequestAreRefusedBeforeSending) {
    transport->responder = [](const HttpRequest&) {
        return HttpResponse{200, "{}"};
    };
    for (const char* id : {"", "../other", "a/b", "a?b", "a#b", "a%2Fb", "a b", "a\nb", ".."}) {
        try {
            run(api.deleteRecording(id));
            ADD_FAILURE() << "accepted " << id;
        } catch (const APIError& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid recording id");
            EXPECT_FALSE(e.statusCode());
        }
        EXPECT_THROW(run(api.uploadChunk(id, "screen", nullptr)), APIError);
        EXPECT_THROW(run(api.finalize(id)), APIError);
        EXPECT_THROW(run(api.update(id, "x")), APIError);
    }
    EXPECT_TRUE(transport->requests.empty());
    EXPECT_TRUE(isSafeRecordingID("abc-123_x.y"));
}

TEST_F(APIClientTest, CreateBodyKeepsKeyOrderAndLeavesOutAbsentOptionals) {
    CreateRecordingRequest request{std::nullopt, false, true, "video/mp4;codecs=avc1",
                                   std::nullopt, 1920,  1080, "native"};
    EXPECT_EQ(request.toJson(),
              R"({"hasCamera":false,"hasAudio":true,"screenMime":"video/mp4;codecs=avc1",)"
              R"("width":1920,"height":1080,"source":"native"})");
    request.hasCamera = true;
    request.cameraMime = request.screenMime;
    const auto body = nlohmann::json::parse(request.toJson());
    EXPECT_EQ(body["cameraMime"], body["screenMime"]);
    EXPECT_FALSE(body.contains("title"));
}

TEST(RecordingInfoTest, DecodesRequiredStringsAndChecksTypes) {
    const auto info = RecordingInfo::decode(R"({"id":"a","status":"recording","extra":[1]})");
    EXPECT_EQ(info.id, "a");
    EXPECT_EQ(info.status, "recording");
    EXPECT_FALSE(info.error);
    EXPECT_FALSE(info.shareUrl);
    const auto full = RecordingInfo::decode(
        R"({"id":"a","status":"error","error":"boom","shareUrl":"http://h/v/a"})");
    EXPECT_EQ(full.error, "boom");
    EXPECT_EQ(full.shareUrl, "http://h/v/a");
    EXPECT_FALSE(RecordingInfo::decode(R"({"id":"a","status":"s","error":null})").error);

    for (const char* bad : {R"({"id":"a"})", R"({"status":"ready"})", R"({"id":1,"status":"s"})",
                            R"({"id":"a","status":"s","shareUrl":5})", "[]", "not json", ""}) {
        EXPECT_THROW(RecordingInfo::decode(bad), DecodingError) << bad;
    }
}

TEST(ShareLink, PrefersAWebServerLinkThenTheShownLinkElseBaseVId) {
    const Url base = *Url::parse("http://h:1/app");
    const std::optional<Url> shown = Url::parse("http://h:1/app/v/shown");
    EXPECT_EQ(shareLinkFor(std::nullopt, std::nullopt, base, "r1").toString(),
              "http://h:1/app/v/r1");
    EXPECT_EQ(shareLinkFor("https://example.com/v/r1", shown, base, "r1").toString(),
              "https://example.com/v/r1");
    for (const char* unsafe : {"javascript:alert(1)", "file:///etc/passwd", "not a url"}) {
        EXPECT_EQ(shareLinkFor(unsafe, std::nullopt, base, "r1").toString(), "http://h:1/app/v/r1")
            << unsafe;
        EXPECT_EQ(shareLinkFor(unsafe, shown, base, "r1").toString(), "http://h:1/app/v/shown")
            << unsafe;
    }
}

}  // namespace
}  // namespace tessera
