// The reference web app run as a process, spoken to over loopback HTTP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

const json kCreateBody = json::parse(
    R"({"hasCamera":true,"hasAudio":false,"screenMime":"video/mp4;codecs=avc1",)"
    R"("cameraMime":"video/mp4;codecs=avc1","width":320,"height":240,"source":"native"})");

struct RawReply {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
};

// Sends a request line and header lines byte for byte on a fresh connection that the
// server closes after its reply, and reads that reply. For requests an HTTP library
// would not send: no Content-Length, a foreign Host, no Host at all.
RawReply rawExchange(int port, const std::string& head) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = head + "Connection: close\r\n\r\n";
    std::string data;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buf[4096];
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
            data.append(buf, static_cast<size_t>(n));
        }
    } else {
        ADD_FAILURE() << "cannot send the request";
    }
    close(fd);
    RawReply reply;
    const auto end = data.find("\r\n\r\n");
    reply.head = data.substr(0, end);
    reply.body = end == std::string::npos ? "" : data.substr(end + 4);
    if (data.starts_with("HTTP/1.1 ")) {
        reply.status = std::stoi(data.substr(9, 3));
    }
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

    httplib::Result request(const std::string& method, const std::string& path,
                            const std::string& body = "", const std::string& type = "",
                            const httplib::Headers& headers = {}) {
        httplib::Request req;
        req.method = method;
        req.path = path;
        req.body = body;
        req.headers = headers;
        if (!type.empty()) {
            req.set_header("Content-Type", type);
        }
        httplib::Client client("127.0.0.1", server_.port());
        client.set_read_timeout(30);
        return client.send(req);
    }
    std::string createRecording() {
        auto res = request("POST", "/api/recordings", kCreateBody.dump(), "application/json");
        EXPECT_TRUE(res && res->status == 201);
        return res ? json::parse(res->body).value("id", "") : "";
    }
    httplib::Result uploadChunk(const std::string& id, const std::string& kind,
                                const std::string& bytes,
                                const std::string& type = "application/octet-stream") {
        return request("POST", "/api/recordings/" + id + "/chunk?kind=" + kind, bytes, type);
    }
    json finalize(const std::string& id) {
        auto res = request("POST", "/api/recordings/" + id + "/finalize");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body) : json();
    }
    std::string get(const std::string& path) {
        auto res = request("GET", path);
        EXPECT_TRUE(res && res->status == 200) << path;
        return res ? res->body : "";
    }

    static inline fs::path workDir_;
    static inline std::vector<std::string> screenSegments_;
    static inline std::vector<std::string> cameraSegments_;
    WebAppProcess server_;
};

TEST_F(WebAppTest, ARecordingOfBothKindsIsStoredFinalizedListedAndShared) {
    ASSERT_GE(screenSegments_.size(), 5u);  // init + one fragment per second
    const std::string id = createRecording();
    for (const auto& segment : screenSegments_) {
        ASSERT_EQ(uploadChunk(id, "screen", segment)->status, 200);
    }
    for (const auto& segment : cameraSegments_) {
        ASSERT_EQ(uploadChunk(id, "camera", segment)->status, 200);
    }
    EXPECT_EQ(server_.storedChunks(id, "screen"), screenSegments_) << "in order of arrival";
    EXPECT_EQ(request("PATCH", "/api/recordings/" + id, R"({"description":"<b>notes</b>"})",
                      "application/json")
                  ->status,
              200);

    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready") << info.dump();
    EXPECT_EQ(info["shareUrl"], server_.baseUrl() + "/v/" + id);
    EXPECT_FALSE(info.contains("error"));
    for (const std::string kind : {"screen", "camera"}) {
        const fs::path file = workDir_ / (kind + ".mp4");
        std::ofstream(file, std::ios::binary) << get("/media/" + id + "/" + kind + ".mp4");
        const MediaFacts facts = readMedia(file);
        EXPECT_TRUE(facts.opened) << kind;
        EXPECT_EQ(facts.videoPackets, 120) << kind;
        EXPECT_NEAR(facts.videoSeconds, 4.0, 0.05) << kind;
    }
    EXPECT_EQ(finalize(id)["status"], "ready") << "a repeated finalize answers the same";
    EXPECT_EQ(uploadChunk(id, "screen", screenSegments_[1])->status, 409)
        << "a chunk after finalize is refused, not silently dropped";

    const std::string page = get("/v/" + id);
    EXPECT_NE(page.find("src=\"/media/" + id + "/screen.mp4\""), std::string::npos);
    EXPECT_NE(page.find("id=\"camera\""), std::string::npos);
    EXPECT_EQ(page.find("id=\"mic\""), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;notes&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<b>notes"), std::string::npos) << "the description is escaped";
    const json list = json::parse(get("/api/recordings"));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["id"], id);
    EXPECT_NE(get("/").find("/v/" + id), std::string::npos);

    EXPECT_EQ(request("DELETE", "/api/recordings/" + id)->status, 204);
    EXPECT_FALSE(fs::exists(server_.dataDir() / "recordings" / id));
    EXPECT_EQ(uploadChunk(id, "screen", "late")->status, 404);
    EXPECT_EQ(request("DELETE", "/api/recordings/" + id)->status, 404);
    EXPECT_EQ(json::parse(get("/api/recordings")), json::array());
}

TEST_F(WebAppTest, UnusableScreenVideoIsAnErrorAndUnusableCameraAWarning) {
    json info = finalize(createRecording());
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

    const std::string badCamera = createRecording();
    for (const auto& segment : screenSegments_) {
        uploadChunk(badCamera, "screen", segment);
    }
    uploadChunk(badCamera, "camera", "not a video");
    info = finalize(badCamera);
    EXPECT_EQ(info["status"], "ready");
    EXPECT_FALSE(info["media"].contains("camera"));
    EXPECT_EQ(info["warnings"].size(), 1u);
}

TEST_F(WebAppTest, BadRequestsGetAStatusAndAJsonError) {
    const std::string id = createRecording();
    const std::string path = "/api/recordings/" + id;
    json noScreenMime = kCreateBody;
    noScreenMime.erase("screenMime");
    json nullTitle = kCreateBody;
    nullTitle["title"] = nullptr;
    struct Case {
        std::string method, path, body;
        int status;
    };
    const Case cases[] = {
        {"POST", "/api/recordings/nosuchid/chunk?kind=screen", "x", 404},
        {"POST", path + "/chunk?kind=audio", "x", 400},
        {"POST", path + "/chunk?kind=screen", "", 400},
        {"POST", "/api/recordings", "hello", 400},
        {"POST", "/api/recordings", noScreenMime.dump(), 400},
        {"POST", "/api/recordings", nullTitle.dump(), 400},
        {"PATCH", path, "{}", 400},
        {"POST", "/api/recordings/nosuchid/finalize", "", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path + " " + c.body);
        const std::string type = c.path.find("/chunk") != std::string::npos
                                     ? "application/octet-stream"
                                     : "application/json";
        auto res = request(c.method, c.path, c.body, type);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_TRUE(isJsonError(res->body)) << res->body;
    }

    // Requests without Content-Length have an empty body.
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n";
    const RawReply finalized =
        rawExchange(server_.port(), "POST " + path + "/finalize HTTP/1.1\r\n" + host);
    EXPECT_EQ(finalized.status, 200) << finalized.head;
    EXPECT_EQ(json::parse(finalized.body, nullptr, false)["id"], id) << finalized.body;
    const RawReply emptyCreate =
        rawExchange(server_.port(), "POST /api/recordings HTTP/1.1\r\n" + host);
    EXPECT_EQ(emptyCreate.status, 400) << "an empty body is not a recording";
    EXPECT_TRUE(isJsonError(emptyCreate.body)) << emptyCreate.body;
}

// Other tests rely on these rules to make the server fail on cue.
TEST_F(WebAppTest, FaultRulesFailTheNthRequestOfARouteUntilCleared) {
    const std::string id = createRecording();
    server_.addFault(
        {{"route", "chunk"}, {"nth", 2}, {"status", 503}, {"body", R"({"error":"disk full"})"}});
    EXPECT_EQ(uploadChunk(id, "screen", "a")->status, 200);
    auto second = uploadChunk(id, "screen", "b");
    EXPECT_EQ(second->status, 503);
    EXPECT_EQ(second->body, R"({"error":"disk full"})");
    EXPECT_EQ(uploadChunk(id, "screen", "c")->status, 200);
    server_.addFault({{"route", "chunk"}, {"count", -1}, {"status", 500}});
    server_.clearFaults();
    EXPECT_EQ(uploadChunk(id, "screen", "d")->status, 200);
    EXPECT_EQ(server_.storedChunks(id, "screen"), (std::vector<std::string>{"a", "c", "d"}));
}

// Other sites must not reach the server through a rebound name (Host), nor change
// recordings from a form or script (content type, Origin); the test hooks are off
// unless asked for.
TEST_F(WebAppTest, OnlyTheRecordersOwnRequestsCanChangeRecordings) {
    WebAppProcess::Options options;
    options.publicHosts = {"recorder.lan", "box.lan:8080"};
    options.testHooks = false;
    WebAppProcess plain(options);
    const std::string port = std::to_string(plain.port());
    const auto reply = [&](const std::string& headers) {
        return rawExchange(plain.port(), "GET /api/recordings HTTP/1.1\r\n" + headers);
    };
    for (const auto& host :
         std::vector<std::string>{"127.0.0.1:" + port, "LocalHost", "[::1]:" + port,
                                  "Recorder.LAN:" + port, "box.lan:8080"}) {
        EXPECT_EQ(reply("Host: " + host + "\r\n").status, 200) << host;
    }
    for (const auto& host :
         std::vector<std::string>{"box.lan:" + port, "evil.example:" + port,
                                  "127.0.0.1.evil.example", "localhost:abc", "[::1", ""}) {
        const RawReply refused = reply("Host: " + host + "\r\n");
        EXPECT_EQ(refused.status, 421) << host;
        EXPECT_TRUE(isJsonError(refused.body)) << refused.body;
    }
    EXPECT_EQ(reply("").status, 421) << "no Host header at all";
    auto hook = httplib::Client("127.0.0.1", plain.port())
                    .Post("/__test/faults", R"({"route":"list","drop":true})", "application/json");
    ASSERT_TRUE(hook);
    EXPECT_EQ(hook->status, 404) << "test hooks are off by default";

    const std::string id = createRecording();
    const std::string path = "/api/recordings/" + id;
    EXPECT_EQ(request("DELETE", path, "", "", {{"Host", "evil.example"}})->status, 421);
    for (const char* type : {"text/plain", "application/x-www-form-urlencoded",
                             "multipart/form-data; boundary=x", "Text/Plain; charset=utf-8"}) {
        auto create = request("POST", "/api/recordings", kCreateBody.dump(), type);
        ASSERT_TRUE(create);
        EXPECT_EQ(create->status, 415) << type;
        EXPECT_TRUE(isJsonError(create->body)) << create->body;
        EXPECT_EQ(uploadChunk(id, "screen", "injected", type)->status, 415) << type;
    }
    for (const char* origin : {"http://evil.example", "null"}) {
        EXPECT_EQ(request("DELETE", path, "", "", {{"Origin", origin}})->status, 403) << origin;
    }
    EXPECT_TRUE(server_.storedChunks(id, "screen").empty());
    EXPECT_EQ(json::parse(get("/api/recordings")).size(), 1u);

    // What the recorder sends: octet-stream chunks, JSON, and a finalize without a type.
    const httplib::Headers own = {{"Origin", server_.baseUrl()}};
    EXPECT_EQ(uploadChunk(id, "screen", "bytes")->status, 200);
    EXPECT_EQ(request("PATCH", path, R"({"description":"d"})", "application/json", own)->status,
              200);
    EXPECT_EQ(request("POST", path + "/finalize")->status, 200);
    EXPECT_EQ(request("DELETE", path, "", "", own)->status, 204);
}

TEST(WebAppProcessTest, AStopRightAfterTheStartEndsTheServer) {
    // A SIGTERM that arrives before the accept loop runs must not be lost (the
    // stop would then wait for the process forever).
    for (int i = 0; i < 10; ++i) {
        WebAppProcess server;
        server.stop();
    }
}

}  // namespace
}  // namespace tessera::testing
