#include <gtest/gtest.h>

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

    ManualExecutor executor;
    std::shared_ptr<FakeHttpTransport> transport = std::make_shared<FakeHttpTransport>();
    APIClient api{url("http://127.0.0.1:3123"), transport};
};

// A server's error text is shown only when its reply carries one; a reply without a
// status line is no success either.
TEST_F(APIClientTest, RepliesOutside2xxFailWithTheServersErrorOrTheirStatus) {
    struct Case {
        int status;
        const char* body;
        const char* expected;
    };
    const Case cases[] = {
        {204, "", "ok"},
        {0, "", "Invalid server response"},
        {300, "", "Server returned HTTP 300"},
        {500, R"({"error":"disk full"})", "disk full"},
        {500, "plain text", "Server returned HTTP 500"},
    };
    for (const auto& c : cases) {
        transport->responder = [&](const HttpRequest&) {
            return HttpResponse{c.status, c.body};
        };
        std::string outcome = "ok";
        try {
            run(api.uploadChunk("abc", "screen", nullptr));
        } catch (const APIError& e) {
            outcome = e.what();
            EXPECT_EQ(e.statusCode(), c.status ? std::optional(c.status) : std::nullopt);
        }
        EXPECT_EQ(outcome, c.expected) << c.status << " " << c.body;
    }
}

// Methods, paths and content types reach the web app in the loopback tests; a
// finalize of a long recording may take minutes.
TEST_F(APIClientTest, EachOperationWaitsItsOwnTimeAndSendsItsBodyUncopiedOrEscaped) {
    transport->responder = [](const HttpRequest&) {
        return HttpResponse{200, R"({"id":"r1","status":"ready"})"};
    };
    auto data = std::make_shared<const ByteBuffer>(ByteBuffer{0, 1, 2, 255});
    run(api.uploadChunk("r1", "camera", data));
    run(api.update("r1", "my \"notes\""));
    run(api.finalize("r1"));
    run(api.deleteRecording("r1"));
    run(api.createRecording({}));
    std::vector<double> timeouts;
    for (const auto& request : transport->requests) {
        timeouts.push_back(toSeconds(request.timeout));
    }
    EXPECT_EQ(timeouts, (std::vector<double>{60, 60, 600, 60, 10}));
    EXPECT_EQ(transport->requests.at(0).body, data) << "the segment's own buffer is sent";
    const auto& notes = *transport->requests.at(1).body;
    EXPECT_EQ(std::string(notes.begin(), notes.end()), R"({"description":"my \"notes\""})");
}

TEST_F(APIClientTest, IdsThatWouldRedirectTheRequestAreRefusedBeforeSending) {
    for (const char* id : {"", "../other", "a?b", "a%2Fb"}) {
        EXPECT_THROW(run(api.deleteRecording(id)), APIError) << id;
        EXPECT_THROW(run(api.uploadChunk(id, "screen", nullptr)), APIError) << id;
        EXPECT_THROW(run(api.finalize(id)), APIError) << id;
        EXPECT_THROW(run(api.update(id, "x")), APIError) << id;
    }
    EXPECT_TRUE(transport->requests.empty());
}

TEST(RecordingInfoTest, DecodesRequiredStringsAndChecksTypes) {
    const auto full = RecordingInfo::decode(
        R"({"id":"a","status":"error","error":"boom","shareUrl":"http://h/v/a","extra":[1]})");
    EXPECT_EQ(full.id, "a");
    EXPECT_EQ(full.status, "error");
    EXPECT_EQ(full.error, "boom");
    EXPECT_EQ(full.shareUrl, "http://h/v/a");
    EXPECT_FALSE(RecordingInfo::decode(R"({"id":"a","status":"s","error":null})").error);
    for (const char* bad :
         {R"({"id":1,"status":"s"})", R"({"id":"a","status":"s","shareUrl":5})", "not json"}) {
        EXPECT_THROW(RecordingInfo::decode(bad), DecodingError) << bad;
    }
}

// The stop flow's tests cover the derived link and a javascript: link falling back to
// the shown one.
TEST(ShareLink, PrefersAWebServerLinkAndRefusesOtherSchemes) {
    const Url base = *Url::parse("http://h:1/app");
    const std::optional<Url> shown = Url::parse("http://h:1/app/v/shown");
    EXPECT_EQ(shareLinkFor("https://example.com/v/r1", shown, base, "r1").toString(),
              "https://example.com/v/r1");
    for (const char* unsafe : {"file:///etc/passwd", "not a url"}) {
        EXPECT_EQ(shareLinkFor(unsafe, std::nullopt, base, "r1").toString(), "http://h:1/app/v/r1")
            << unsafe;
    }
}

}  // namespace
}  // namespace tessera
