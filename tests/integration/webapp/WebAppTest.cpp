// The reference web app run as a process, spoken to over loopback HTTP.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

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
        {"create with text body",
         [&] { return client().Post("/api/recordings", "hello", "text/plain"); }, 400},
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
