// The reference web app run as a process, spoken to over loopback HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>

#include "support/FragmentedMp4.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

const json kCreateBody = {{"hasCamera", true},
                          {"hasAudio", false},
                          {"screenMime", "video/mp4;codecs=avc1"},
                          {"cameraMime", "video/mp4;codecs=avc1"},
                          {"width", 320},
                          {"height", 240},
                          {"source", "native"}};

struct RawReply {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
};

// Sends `request` byte for byte on a fresh connection and reads one reply (its
// body by Content-Length, or up to the end of the connection). For requests an
// HTTP library would not send: no Content-Length, a foreign Host, no Host at all.
RawReply rawExchange(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    RawReply reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
        close(fd);
        ADD_FAILURE() << "cannot send the request";
        return reply;
    }
    std::string data;
    size_t wanted = std::string::npos;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (data.size() < wanted && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        data.append(buf, static_cast<size_t>(n));
        const auto end = data.find("\r\n\r\n");
        if (wanted == std::string::npos && end != std::string::npos) {
            reply.head = data.substr(0, end);
            const auto length = reply.head.find("Content-Length: ");
            if (length != std::string::npos) {
                wanted = end + 4 + std::stoul(reply.head.substr(length + 16));
            }
        }
    }
    close(fd);
    if (data.rfind("HTTP/1.1 ", 0) == 0) {
        reply.status = std::stoi(data.substr(9, 3));
    }
    const auto end = data.find("\r\n\r\n");
    reply.body = end == std::string::npos ? "" : data.substr(end + 4);
    return reply;
}

bool isJsonError(const std::string& body) {
    const json parsed = json::parse(body, nullptr, false);
    return parsed.is_object() && parsed["error"].is_string() && !parsed["error"].empty();
}

class WebAppTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        workDir_ = fs::temp_directory_path() / ("webapp-media-" + std::to_string(getpid()));
        fs::create_directories(workDir_);
        screenSegments_ = makeFragmentedMp4Segments(workDir_, 4.0, "320x240");
        cameraSegments_ = makeFragmentedMp4Segments(workDir_, 4.0, "160x160");
    }
    static void TearDownTestSuite() { fs::remove_all(workDir_); }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", server_.port());
        c.set_read_timeout(30);
        return c;
    }

    std::string createRecording() {
        auto res = client().Post("/api/recordings", kCreateBody.dump(), "application/json");
        EXPECT_TRUE(res);
        EXPECT_EQ(res->status, 201);
        return json::parse(res->body).at("id").get<std::string>();
    }

    httplib::Result uploadChunk(const std::string& id, const std::string& kind,
                                const std::string& bytes) {
        return client().Post(("/api/recordings/" + id + "/chunk?kind=" + kind).c_str(), bytes,
                             "application/octet-stream");
    }

    json finalize(const std::string& id) {
        auto res = client().Post(("/api/recordings/" + id + "/finalize").c_str(), "", "");
        EXPECT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        return json::parse(res->body);
    }

    fs::path download(const std::string& path) {
        auto res = client().Get(path.c_str());
        EXPECT_TRUE(res && res->status == 200) << path;
        const fs::path file = workDir_ / fs::path(path).filename();
        std::ofstream(file, std::ios::binary) << (res ? res->body : "");
        return file;
    }

    static inline fs::path workDir_;
    static inline std::vector<std::string> screenSegments_;
    static inline std::vector<std::string> cameraSegments_;
    WebAppProcess server_;
};

TEST_F(WebAppTest, ChunksOfBothKindsFinalizeIntoMp4sThatDecodeWithTheirDuration) {
    ASSERT_GE(screenSegments_.size(), 5u);  // init + one fragment per second
    const std::string id = createRecording();
    for (const auto& segment : screenSegments_) {
        ASSERT_EQ(uploadChunk(id, "screen", segment)->status, 200);
    }
    for (const auto& segment : cameraSegments_) {
        ASSERT_EQ(uploadChunk(id, "camera", segment)->status, 200);
    }

    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready") << info.dump();
    EXPECT_EQ(info["shareUrl"], server_.baseUrl() + "/v/" + id);
    EXPECT_FALSE(info.contains("error"));

    for (const char* kind : {"screen", "camera"}) {
        const MediaFacts facts = readMedia(download("/media/" + id + "/" + kind + ".mp4"));
        EXPECT_TRUE(facts.opened) << kind;
        EXPECT_EQ(facts.videoPackets, 120) << kind;
        EXPECT_NEAR(facts.videoSeconds, 4.0, 0.05) << kind;
    }
    auto page = client().Get(("/v/" + id).c_str());
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("src=\"/media/" + id + "/screen.mp4\""), std::string::npos);
    EXPECT_NE(page->body.find("id=\"camera\""), std::string::npos);
    EXPECT_EQ(page->body.find("id=\"mic\""), std::string::npos);
}

TEST_F(WebAppTest, ChunksAreStoredInArrivalOrder) {
    const std::string id = createRecording();
    for (const char* bytes : {"first", "second", "third"}) {
        ASSERT_EQ(uploadChunk(id, "screen", bytes)->status, 200);
    }
    EXPECT_EQ(server_.storedChunks(id, "screen"),
              (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(server_.recording(id)["chunks"]["screen"], 3);
}

TEST_F(WebAppTest, FinalizeWithoutUsableScreenVideoAnswersError) {
    const std::string empty = createRecording();
    json info = finalize(empty);
    EXPECT_EQ(info["status"], "error");
    EXPECT_EQ(info["error"], "The recording has no screen video.");

    // Media segments without their initialization segment cannot be decoded.
    const std::string headless = createRecording();
    for (size_t i = 1; i < screenSegments_.size(); ++i) {
        uploadChunk(headless, "screen", screenSegments_[i]);
    }
    info = finalize(headless);
    EXPECT_EQ(info["status"], "error");
    EXPECT_NE(info["error"].get<std::string>().find("screen video could not be processed"),
              std::string::npos)
        << info.dump();
}

TEST_F(WebAppTest, UndecodableCameraIsLeftOutButTheRecordingIsReady) {
    const std::string id = createRecording();
    for (const auto& segment : screenSegments_) {
        uploadChunk(id, "screen", segment);
    }
    uploadChunk(id, "camera", "not a video");
    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready");
    EXPECT_FALSE(info["media"].contains("camera"));
    EXPECT_EQ(info["warnings"].size(), 1u);
}

TEST_F(WebAppTest, DeleteRemovesTheRecordingAndItsFiles) {
    const std::string id = createRecording();
    uploadChunk(id, "screen", "bytes");
    auto res = client().Delete(("/api/recordings/" + id).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    EXPECT_FALSE(fs::exists(server_.dataDir() / "recordings" / id));
    EXPECT_TRUE(server_.recording(id).is_null());
    EXPECT_EQ(uploadChunk(id, "screen", "late")->status, 404);
    EXPECT_EQ(client().Delete(("/api/recordings/" + id).c_str())->status, 404);
    auto list = client().Get("/api/recordings");
    EXPECT_EQ(json::parse(list->body), json::array());
}

TEST_F(WebAppTest, ListIsAJsonArrayOfRecordings) {
    auto res = client().Get("/api/recordings");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(json::parse(res->body), json::array());
    const std::string id = createRecording();
    const json list = json::parse(client().Get("/api/recordings")->body);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["id"], id);
    EXPECT_NE(client().Get("/")->body.find("/v/" + id), std::string::npos);
}

TEST_F(WebAppTest, BadRequestsGetAStatusAndAJsonError) {
    const std::string id = createRecording();
    json noScreenMime = kCreateBody;
    noScreenMime.erase("screenMime");
    json nullTitle = kCreateBody;
    nullTitle["title"] = nullptr;
    struct Case {
        const char* name;
        std::function<httplib::Result()> send;
        int status;
    };
    const std::vector<Case> cases = {
        {"chunk for unknown recording", [&] { return uploadChunk("nosuchid", "screen", "x"); },
         404},
        {"unknown kind", [&] { return uploadChunk(id, "audio", "x"); }, 400},
        {"empty chunk", [&] { return uploadChunk(id, "screen", ""); }, 400},
        {"create with a body that is not JSON",
         [&] { return client().Post("/api/recordings", "hello", "application/json"); }, 400},
        {"create without screenMime",
         [&] { return client().Post("/api/recordings", noScreenMime.dump(), "application/json"); },
         400},
        {"create with null title",
         [&] { return client().Post("/api/recordings", nullTitle.dump(), "application/json"); },
         400},
        {"update without description",
         [&] {
             return client().Patch(("/api/recordings/" + id).c_str(), "{}", "application/json");
         },
         400},
        {"finalize unknown",
         [&] { return client().Post("/api/recordings/nosuchid/finalize", "", ""); }, 404},
    };
    for (const auto& c : cases) {
        auto res = c.send();
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, c.status) << c.name;
        const json body = json::parse(res->body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body["error"].is_string() && !body["error"].empty())
            << c.name << ": " << res->body;
    }
}

TEST_F(WebAppTest, DescriptionUpdateShowsOnTheSharePageEscaped) {
    const std::string id = createRecording();
    auto res = client().Patch(("/api/recordings/" + id).c_str(),
                              json{{"description", "<b>notes</b>"}}.dump(), "application/json");
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(server_.recording(id)["description"], "<b>notes</b>");
    for (const auto& segment : screenSegments_) {
        uploadChunk(id, "screen", segment);
    }
    finalize(id);
    const std::string page = client().Get(("/v/" + id).c_str())->body;
    EXPECT_NE(page.find("&lt;b&gt;notes&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<b>notes"), std::string::npos);
}

TEST_F(WebAppTest, FaultRulesFailTheNthRequestOfARouteOnly) {
    const std::string id = createRecording();
    server_.addFault(
        {{"route", "chunk"}, {"nth", 2}, {"status", 503}, {"body", R"({"error":"disk full"})"}});
    EXPECT_EQ(uploadChunk(id, "screen", "a")->status, 200);
    auto second = uploadChunk(id, "screen", "b");
    EXPECT_EQ(second->status, 503);
    EXPECT_EQ(second->body, R"({"error":"disk full"})");
    EXPECT_EQ(uploadChunk(id, "screen", "c")->status, 200);
    EXPECT_EQ(server_.storedChunks(id, "screen"), (std::vector<std::string>{"a", "c"}));

    server_.addFault({{"route", "list"}, {"drop", true}});
    auto dropped = client().Get("/api/recordings");
    EXPECT_FALSE(dropped);
    EXPECT_TRUE(client().Get("/api/recordings"));

    server_.addFault({{"route", "chunk"}, {"count", -1}, {"status", 500}});
    server_.clearFaults();
    EXPECT_EQ(uploadChunk(id, "screen", "d")->status, 200);
}

TEST_F(WebAppTest, APostWithoutContentLengthHasAnEmptyBody) {
    const std::string id = createRecording();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n";
    const RawReply finalized = rawExchange(
        server_.port(), "POST /api/recordings/" + id + "/finalize HTTP/1.1\r\n" + host + "\r\n");
    EXPECT_EQ(finalized.status, 200) << finalized.head;
    EXPECT_EQ(json::parse(finalized.body, nullptr, false)["id"], id) << finalized.body;

    const RawReply emptyCreate =
        rawExchange(server_.port(), "POST /api/recordings HTTP/1.1\r\n" + host + "\r\n");
    EXPECT_EQ(emptyCreate.status, 400) << "an empty body is not a recording";
    EXPECT_TRUE(isJsonError(emptyCreate.body)) << emptyCreate.body;
}

TEST_F(WebAppTest, OnlyLoopbackNamesAndPublicHostsAreAnswered) {
    WebAppProcess::Options options;
    options.publicHosts = {"recorder.lan", "box.lan:8080"};
    WebAppProcess server(options);
    const std::string port = std::to_string(server.port());
    struct Case {
        std::optional<std::string> host;  // none: no Host header at all
        int status;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:" + port, 200},
        {"localhost:" + port, 200},
        {"LocalHost", 200},
        {"[::1]:" + port, 200},
        {"recorder.lan:" + port, 200},
        {"Recorder.LAN", 200},
        {"box.lan:8080", 200},
        {"box.lan:" + port, 421},
        {"evil.example", 421},
        {"evil.example:" + port, 421},
        {"127.0.0.1.evil.example", 421},
        {"localhost.evil.example:" + port, 421},
        {"localhost:abc", 421},
        {"[::1", 421},
        {"", 421},
        {std::nullopt, 421},
    };
    for (const auto& c : cases) {
        const std::string header = c.host ? "Host: " + *c.host + "\r\n" : "";
        const RawReply reply =
            rawExchange(server.port(), "GET /api/recordings HTTP/1.1\r\n" + header + "\r\n");
        EXPECT_EQ(reply.status, c.status) << c.host.value_or("(none)");
        if (c.status == 421) {
            EXPECT_TRUE(isJsonError(reply.body)) << reply.body;
        }
    }

    // A rebound name cannot delete through the browser either.
    const std::string id = createRecording();
    const RawReply deleted = rawExchange(
        server_.port(), "DELETE /api/recordings/" + id + " HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    EXPECT_EQ(deleted.status, 421);
    EXPECT_FALSE(server_.recording(id).is_null());
}

TEST_F(WebAppTest, ChangesFromFormsOrOtherSitesAreRefusedButTheRecordersRequestsPass) {
    const std::string id = createRecording();
    for (const char* type : {"text/plain", "application/x-www-form-urlencoded",
                             "multipart/form-data; boundary=x", "Text/Plain; charset=utf-8"}) {
        auto create = client().Post("/api/recordings", kCreateBody.dump(), type);
        ASSERT_TRUE(create);
        EXPECT_EQ(create->status, 415) << type;
        EXPECT_TRUE(isJsonError(create->body)) << create->body;
        auto chunk = client().Post(("/api/recordings/" + id + "/chunk?kind=screen").c_str(),
                                   "injected", type);
        EXPECT_EQ(chunk->status, 415) << type;
    }
    EXPECT_TRUE(server_.storedChunks(id, "screen").empty());
    EXPECT_EQ(json::parse(client().Get("/api/recordings")->body).size(), 1u);

    httplib::Headers foreign = {{"Origin", "http://evil.example"}};
    EXPECT_EQ(client().Delete(("/api/recordings/" + id).c_str(), foreign)->status, 403);
    httplib::Headers sandboxed = {{"Origin", "null"}};
    EXPECT_EQ(client().Delete(("/api/recordings/" + id).c_str(), sandboxed)->status, 403);
    EXPECT_FALSE(server_.recording(id).is_null());

    // What the recorder sends: octet-stream chunks, JSON, and a finalize without a type.
    EXPECT_EQ(uploadChunk(id, "screen", "bytes")->status, 200);
    httplib::Headers own = {{"Origin", server_.baseUrl()}};
    EXPECT_EQ(client()
                  .Patch(("/api/recordings/" + id).c_str(), own, R"({"description":"d"})",
                         "application/json")
                  ->status,
              200);
    EXPECT_EQ(client().Post(("/api/recordings/" + id + "/finalize").c_str(), "", "")->status, 200);
    EXPECT_EQ(client().Delete(("/api/recordings/" + id).c_str(), own)->status, 204);
}

TEST(WebAppProcessTest, AStopRightAfterTheStartEndsTheServer) {
    // A SIGTERM that arrives before the accept loop runs must not be lost (the
    // stop would then wait for the process forever).
    for (int i = 0; i < 10; ++i) {
        WebAppProcess server;
        server.stop();
    }
}

TEST(WebAppProcessTest, TestHooksAreOffByDefault) {
    WebAppProcess::Options options;
    options.testHooks = false;
    WebAppProcess server(options);
    httplib::Client c("127.0.0.1", server.port());
    auto hook = c.Post("/__test/faults", R"({"route":"list","drop":true})", "application/json");
    ASSERT_TRUE(hook);
    EXPECT_EQ(hook->status, 404);
}

}  // namespace
}  // namespace tessera::testing
