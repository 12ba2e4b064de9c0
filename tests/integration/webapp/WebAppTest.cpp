// The reference web app over loopback HTTP. It runs in this process so that a test
// can stop it, damage its data folder and start it again on the same folder.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "WebApp.h"
#include "support/FragmentedMp4.h"
#include "support/TempDir.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

const json kCreateBody = json::parse(
    R"({"hasCamera":true,"hasAudio":true,"screenMime":"video/mp4;codecs=avc1",)"
    R"("cameraMime":"video/mp4;codecs=avc1","width":320,"height":240,"source":"native"})");

// Equal bytes; a failure names the sizes instead of printing the bytes.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << actual.size() << " bytes where " << expected.size() << " were expected";
}

std::string readFile(const fs::path& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

bool isJsonError(const std::string& body) {
    const json parsed = json::parse(body, nullptr, false);
    return parsed.is_object() && parsed["error"].is_string() && !parsed["error"].empty();
}

class Server {
  public:
    explicit Server(webapp::WebAppOptions options)
        : app_(std::move(options)), port_(app_.bind()), thread_([this] { app_.listen(); }) {}
    ~Server() {
        app_.stop();
        thread_.join();
    }
    webapp::WebApp app_;
    int port_;
    std::thread thread_;
};

class WebAppTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media_ = std::make_unique<TempDir>();
        // init + four fragments of one second, numbered 1 to 4.
        screen_ = makeFragmentedMp4Segments(media_->path(), 4.0, "320x240");
        camera_ = makeFragmentedMp4Segments(media_->path(), 4.0, "160x160");
        const fs::path m4a = media_->path() / "tone.m4a";
        ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                               "sine=frequency=440:duration=3 -c:a aac '" +
                               m4a.string() + "'")
                                  .c_str()),
                  0);
        m4a_ = readFile(m4a);
    }
    static void TearDownTestSuite() { media_.reset(); }

    void SetUp() override { restart(); }
    void restart() {
        server_.reset();
        server_ = std::make_unique<Server>(webapp::WebAppOptions{
            .dataDir = data_.path(), .port = 0, .testHooks = true, .publicHosts = {}});
    }
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
        httplib::Client client("127.0.0.1", server_->port_);
        client.set_read_timeout(30);
        return client.send(req);
    }
    std::string createRecording() {
        auto res = request("POST", "/api/recordings", kCreateBody.dump(), "application/json");
        EXPECT_TRUE(res && res->status == 201);
        return res ? json::parse(res->body).value("id", "") : "";
    }
    int upload(const std::string& id, const std::string& kind, const std::string& bytes,
               const std::string& type = "application/octet-stream") {
        auto res = request("POST", "/api/recordings/" + id + "/chunk?kind=" + kind, bytes, type);
        return res ? res->status : 0;
    }
    // Uploads these segments (0 is the init segment), in order; returns them joined.
    std::string uploadAll(const std::string& id, const std::string& kind,
                          const std::vector<std::string>& segments, const std::vector<int>& order) {
        std::string joined;
        for (int i : order) {
            EXPECT_EQ(upload(id, kind, segments[i]), 200) << kind << " " << i;
            joined += segments[i];
        }
        return joined;
    }
    std::string uploadScreen(const std::string& id, const std::vector<int>& order) {
        return uploadAll(id, "screen", screen_, order);
    }
    json finalize(const std::string& id) {
        auto res = request("POST", "/api/recordings/" + id + "/finalize");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body) : json();
    }
    std::string get(const std::string& path) {
        auto res = request("GET", path);
        return res && res->status == 200 ? res->body : "";
    }
    static bool warns(const json& info, const char* text) {
        return info.value("warnings", json::array()).dump().find(text) != std::string::npos;
    }
    fs::path recordingDir(const std::string& id) const { return data_.path() / "recordings" / id; }

    static inline std::unique_ptr<TempDir> media_;
    static inline std::vector<std::string> screen_;
    static inline std::vector<std::string> camera_;
    static inline std::string m4a_;
    TempDir data_;
    std::unique_ptr<Server> server_;
};

TEST_F(WebAppTest, ARecordingOfEveryKindIsJoinedFinalizedSharedAndDeleted) {
    const std::string id = createRecording();
    const std::string joined = uploadScreen(id, {0, 1, 2, 3, 4});
    const std::string cameraJoined = uploadAll(id, "camera", camera_, {0, 1, 2, 3, 4});
    EXPECT_EQ(upload(id, "mic", m4a_), 200);
    EXPECT_EQ(request("PATCH", "/api/recordings/" + id, R"({"description":"<b>notes</b>"})",
                      "application/json")
                  ->status,
              200);

    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready") << info.dump();
    EXPECT_EQ(info["warnings"], json::array());
    EXPECT_NEAR(info["durationSeconds"].get<double>(), 4.0, 0.05);
    EXPECT_EQ(info["shareUrl"], "http://127.0.0.1:" + std::to_string(server_->port_) + "/v/" + id);
    EXPECT_FALSE(info.contains("joinedLayout")) << "the record's internals stay inside";
    EXPECT_TRUE(sameBytes(get("/media/" + id + "/screen.mp4"), joined));
    EXPECT_TRUE(sameBytes(get("/media/" + id + "/mic.m4a"), m4a_));
    EXPECT_TRUE(sameBytes(get("/media/" + id + "/camera.mp4"), cameraJoined));

    EXPECT_EQ(finalize(id)["status"], "ready") << "a repeated finalize answers the same";
    EXPECT_EQ(upload(id, "screen", screen_[1]), 409)
        << "a chunk after finalize is refused, not silently dropped";
    const std::string page = get("/v/" + id);
    EXPECT_NE(page.find("src=\"/media/" + id + "/screen.mp4\""), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;notes&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<b>notes"), std::string::npos) << "the description is escaped";
    const json list = json::parse(get("/api/recordings"));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["id"], id);

    EXPECT_EQ(request("DELETE", "/api/recordings/" + id)->status, 204);
    EXPECT_FALSE(fs::exists(recordingDir(id)));
    EXPECT_EQ(upload(id, "screen", "late"), 404);
}

// Chunks keep their order of arrival; the warnings name a repeated chunk or a hole.
TEST_F(WebAppTest, IrregularChunksArePublishedAsTheyArrivedAndNamed) {
    const std::pair<std::vector<int>, const char*> cases[] = {
        {{0, 1, 2, 2, 3, 4}, "arrived twice or out of order"},  // a retried chunk
        {{0, 1, 2, 4}, "misses 1 segment"},
    };
    for (const auto& [order, warning] : cases) {
        SCOPED_TRACE(warning);
        const std::string id = createRecording();
        const std::string joined = uploadScreen(id, order);
        const json info = finalize(id);
        EXPECT_EQ(info["status"], "ready") << info.dump();
        EXPECT_NEAR(info["durationSeconds"].get<double>(), 4.0, 0.05);
        EXPECT_TRUE(sameBytes(get("/media/" + id + "/screen.mp4"), joined));
        EXPECT_TRUE(warns(info, warning)) << info.dump();
    }
}

// No screen video or one that cannot be decoded is an error (and so is a torn tail,
// found without reading the whole file); a bad camera or mic file is left out with a
// warning.
TEST_F(WebAppTest, UnusableScreenVideoIsAnErrorAndOtherTracksAWarning) {
    json info = finalize(createRecording());
    EXPECT_EQ(info["status"], "error");
    EXPECT_EQ(info["error"], "The recording has no screen video.");

    const std::string headless = createRecording();
    uploadScreen(headless, {1, 2, 3, 4});
    info = finalize(headless);
    EXPECT_EQ(info["status"], "error");
    EXPECT_NE(info.value("error", "").find("screen video could not be processed"),
              std::string::npos)
        << info.dump();

    const std::string torn = createRecording();
    uploadScreen(torn, {0, 1, 2, 3});
    upload(torn, "screen", screen_[4].substr(0, screen_[4].size() / 2));
    info = finalize(torn);
    EXPECT_EQ(info["status"], "error");
    EXPECT_NE(info.value("error", "").find("ends inside an MP4 box"), std::string::npos)
        << info.dump();

    const std::string badTracks = createRecording();
    uploadScreen(badTracks, {0, 1, 2, 3, 4});
    upload(badTracks, "camera", "not a video");
    upload(badTracks, "mic", m4a_.substr(0, m4a_.size() - 100));
    info = finalize(badTracks);
    EXPECT_EQ(info["status"], "ready");
    EXPECT_FALSE(info["media"].contains("camera"));
    EXPECT_TRUE(warns(info, "mic track was left out")) << info.dump();
    EXPECT_EQ(info["warnings"].size(), 2u) << info.dump();
}

// Chunks continue across a plain restart and across one that lost the joined file (a
// server that kept only the chunk files): that recording is joined again when it takes
// chunks and when it is finalized a second time.
TEST_F(WebAppTest, ChunksContinueAcrossRestartsAndFinalizeCanBeRepeated) {
    const std::string id = createRecording();
    std::string joined = uploadScreen(id, {0, 1});
    restart();
    joined += uploadScreen(id, {2});
    auto forgetJoinedFile = [&] {
        server_.reset();
        fs::remove(recordingDir(id) / "screen.mp4");
        json meta = json::parse(readFile(recordingDir(id) / "meta.json"));
        meta.erase("joinedLayout");
        std::ofstream(recordingDir(id) / "meta.json") << meta.dump();
        restart();
    };
    forgetJoinedFile();
    joined += uploadScreen(id, {3, 4});
    EXPECT_EQ(finalize(id)["status"], "ready");
    forgetJoinedFile();
    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready") << info.dump();
    EXPECT_NEAR(info["durationSeconds"].get<double>(), 4.0, 0.05);
    EXPECT_TRUE(sameBytes(get("/media/" + id + "/screen.mp4"), joined));
}

// A crash after a chunk's bytes were written but before its record was: the chunk is
// not stored and no byte of it stays in the published file, whether the client sends
// it again or finalizes without it.
TEST_F(WebAppTest, AnAppendCutShortByACrashLeavesNoTrace) {
    for (const bool sentAgain : {true, false}) {
        SCOPED_TRACE(sentAgain ? "sent again" : "finalized without it");
        const std::string id = createRecording();
        std::string joined = uploadScreen(id, {0, 1, 2, 3});
        server_.reset();
        const std::string cut = screen_[4].substr(0, screen_[4].size() / 2);
        std::ofstream(recordingDir(id) / "screen.mp4", std::ios::binary | std::ios::app) << cut;
        std::ofstream(recordingDir(id) / "chunks" / "screen" / "000004.part", std::ios::binary)
            << cut;
        restart();
        if (sentAgain) {
            joined += uploadScreen(id, {4});
        }
        const json info = finalize(id);
        EXPECT_EQ(info["status"], "ready") << info.dump();
        EXPECT_EQ(info["warnings"], json::array());
        EXPECT_NEAR(info["durationSeconds"].get<double>(), sentAgain ? 4.0 : 3.0, 0.05);
        EXPECT_TRUE(sameBytes(get("/media/" + id + "/screen.mp4"), joined));
    }
}

// Other tests rely on these rules to make the server fail on cue.
TEST_F(WebAppTest, FaultRulesFailTheNthRequestOfARouteUntilCleared) {
    const auto faults = [&](const std::string& method, const json& rule) {
        auto res = request(method, "/__test/faults", rule.dump(), "application/json");
        ASSERT_TRUE(res && res->status / 100 == 2) << (res ? res->body : "no reply");
    };
    const std::string id = createRecording();
    faults("POST",
           {{"route", "chunk"}, {"nth", 2}, {"status", 503}, {"body", R"({"error":"disk full"})"}});
    EXPECT_EQ(upload(id, "screen", "a"), 200);
    auto second = request("POST", "/api/recordings/" + id + "/chunk?kind=screen", "b",
                          "application/octet-stream");
    EXPECT_EQ(second->status, 503);
    EXPECT_EQ(second->body, R"({"error":"disk full"})");
    EXPECT_EQ(upload(id, "screen", "c"), 200);
    faults("POST", {{"route", "chunk"}, {"count", -1}, {"status", 500}});
    faults("DELETE", json::object());
    EXPECT_EQ(upload(id, "screen", "d"), 200);
    EXPECT_EQ(readFile(recordingDir(id) / "screen.mp4"), "acd");
}

// Other sites must not reach the server through a rebound name (Host), nor change
// recordings from a form or script (content type, Origin); the test hooks are off
// unless asked for.
TEST_F(WebAppTest, OnlyTheRecordersOwnRequestsCanChangeRecordings) {
    TempDir otherData;
    const Server plain(webapp::WebAppOptions{
        .dataDir = otherData.path(), .port = 0, .publicHosts = {"recorder.lan", "box.lan:8080"}});
    const std::string port = std::to_string(plain.port_);
    const auto statusFor = [&](const std::string& host) {
        auto res =
            httplib::Client("127.0.0.1", plain.port_).Get("/api/recordings", {{"Host", host}});
        return res ? res->status : 0;
    };
    for (const auto& host :
         {std::string("LocalHost"), "Recorder.LAN:" + port, std::string("box.lan:8080")}) {
        EXPECT_EQ(statusFor(host), 200) << host;
    }
    for (const auto& host : {"box.lan:" + port, std::string("127.0.0.1.evil.example")}) {
        EXPECT_EQ(statusFor(host), 421) << host;
    }
    auto hook = httplib::Client("127.0.0.1", plain.port_)
                    .Post("/__test/faults", R"({"route":"list","drop":true})", "application/json");
    ASSERT_TRUE(hook);
    EXPECT_EQ(hook->status, 404) << "test hooks are off by default";

    const std::string id = createRecording();
    const std::string path = "/api/recordings/" + id;
    for (const char* type : {"application/x-www-form-urlencoded", "Text/Plain; charset=utf-8"}) {
        auto create = request("POST", "/api/recordings", kCreateBody.dump(), type);
        ASSERT_TRUE(create);
        EXPECT_EQ(create->status, 415) << type;
        EXPECT_TRUE(isJsonError(create->body)) << create->body;
        EXPECT_EQ(upload(id, "screen", "injected", type), 415) << type;
    }
    EXPECT_EQ(request("DELETE", path, "", "", {{"Origin", "http://evil.example"}})->status, 403);
    EXPECT_FALSE(fs::exists(recordingDir(id) / "chunks" / "screen" / "000000.part"));
    EXPECT_EQ(json::parse(get("/api/recordings")).size(), 1u);

    // The server's own origin may change recordings (the recorder's own requests run in
    // the upload pipe's tests).
    const std::string own = "http://127.0.0.1:" + std::to_string(server_->port_);
    EXPECT_EQ(
        request("PATCH", path, R"({"description":"d"})", "application/json", {{"Origin", own}})
            ->status,
        200);
    EXPECT_EQ(request("DELETE", path, "", "", {{"Origin", own}})->status, 204);
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
