// What finalize publishes for chunks that come out of order, twice, with a gap, cut
// short or across a restart. The web app runs in this process so that a test can stop
// it, damage its data folder and start it again on the same folder.
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

namespace tessera::testing {
namespace {
namespace fs = std::filesystem;
using nlohmann::json;

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

class Server {
  public:
    explicit Server(const fs::path& dataDir)
        : app_({.dataDir = dataDir, .port = 0, .publicHosts = {}}),
          port_(app_.bind()),
          thread_([this] { app_.listen(); }) {}
    ~Server() {
        app_.stop();
        thread_.join();
    }
    webapp::WebApp app_;
    int port_;
    std::thread thread_;
};

class ChunkJoiningTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media_ = std::make_unique<TempDir>();
        // init + four fragments of one second, numbered 1 to 4.
        segments_ = makeFragmentedMp4Segments(media_->path(), 4.0, "320x240");
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
        server_ = std::make_unique<Server>(data_.path());
    }
    httplib::Result post(const std::string& path, const std::string& body) {
        httplib::Client client("127.0.0.1", server_->port_);
        client.set_read_timeout(30);
        return client.Post(path.c_str(), body, body.empty() ? "" : "application/octet-stream");
    }
    std::string createRecording() {
        httplib::Client client("127.0.0.1", server_->port_);
        auto res = client.Post("/api/recordings",
                               R"({"hasCamera":false,"hasAudio":true,"width":320,"height":240,)"
                               R"("screenMime":"video/mp4;codecs=avc1","source":"native"})",
                               "application/json");
        EXPECT_TRUE(res && res->status == 201);
        return res ? json::parse(res->body).value("id", "") : "";
    }
    void upload(const std::string& id, const std::string& kind, const std::string& bytes) {
        auto res = post("/api/recordings/" + id + "/chunk?kind=" + kind, bytes);
        ASSERT_TRUE(res && res->status == 200) << (res ? res->body : "no reply");
    }
    // Uploads the screen segments with these indices (0 is the init segment), in order.
    std::string uploadScreen(const std::string& id, const std::vector<int>& order) {
        std::string joined;
        for (int i : order) {
            upload(id, "screen", segments_[i]);
            joined += segments_[i];
        }
        return joined;
    }
    json finalize(const std::string& id) {
        auto res = post("/api/recordings/" + id + "/finalize", "");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body) : json();
    }
    std::string published(const std::string& id, const std::string& name) {
        auto res = httplib::Client("127.0.0.1", server_->port_).Get("/media/" + id + "/" + name);
        return res && res->status == 200 ? res->body : "";
    }
    static bool warns(const json& info, const char* text) {
        return info.value("warnings", json::array()).dump().find(text) != std::string::npos;
    }
    fs::path recordingDir(const std::string& id) const { return data_.path() / "recordings" / id; }

    static inline std::unique_ptr<TempDir> media_;
    static inline std::vector<std::string> segments_;
    static inline std::string m4a_;
    TempDir data_;
    std::unique_ptr<Server> server_;
};

// Chunks keep their order of arrival; the published file holds what arrived, and the
// warnings name where the stream is out of order, repeated or has a hole.
TEST_F(ChunkJoiningTest, ChunksArePublishedAsTheyArrivedAndIrregularitiesAreNamed) {
    struct Case {
        std::vector<int> order;
        const char* warning;  // empty: no warning at all
    };
    const Case cases[] = {
        {{0, 1, 2, 3, 4}, ""},
        {{0, 1, 3, 2, 4}, "arrived twice or out of order"},
        {{0, 1, 2, 2, 3, 4}, "arrived twice or out of order"},  // a retried chunk
        {{0, 1, 2, 4}, "misses 1 segment"},                     // a gap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        const std::string id = createRecording();
        const std::string joined = uploadScreen(id, c.order);
        upload(id, "mic", m4a_);
        const json info = finalize(id);
        EXPECT_EQ(info["status"], "ready") << info.dump();
        EXPECT_NEAR(info["durationSeconds"].get<double>(), 4.0, 0.05);
        EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined));
        EXPECT_TRUE(sameBytes(published(id, "mic.m4a"), m4a_));
        EXPECT_FALSE(info.contains("joinedLayout")) << "the record's internals stay inside";
        if (*c.warning == '\0') {
            EXPECT_EQ(info["warnings"], json::array());
        } else {
            EXPECT_TRUE(warns(info, c.warning)) << info.dump();
        }
    }
}

TEST_F(ChunkJoiningTest, ATornOrDamagedTailIsFoundWithoutReadingTheWholeFile) {
    const std::string id = createRecording();
    uploadScreen(id, {0, 1, 2, 3});
    upload(id, "screen", segments_[4].substr(0, segments_[4].size() / 2));
    upload(id, "mic", m4a_.substr(0, m4a_.size() - 100));
    const json info = finalize(id);
    EXPECT_EQ(info["status"], "error");
    EXPECT_NE(info.value("error", "").find("ends inside an MP4 box"), std::string::npos)
        << info.dump();
    EXPECT_TRUE(warns(info, "mic track was left out")) << info.dump();
}

// Chunks continue across a plain restart and across one that lost the joined file (a
// server that kept only the chunk files): that recording is joined again when it takes
// chunks and when it is finalized a second time.
TEST_F(ChunkJoiningTest, ChunksContinueAcrossRestartsAndFinalizeCanBeRepeated) {
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
    EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined));
}

// A crash after a chunk's bytes were written but before its record was: the chunk is
// not stored and no byte of it stays in the published file, whether the client sends
// it again or finalizes without it.
TEST_F(ChunkJoiningTest, AnAppendCutShortByACrashLeavesNoTrace) {
    for (const bool sentAgain : {true, false}) {
        SCOPED_TRACE(sentAgain ? "sent again" : "finalized without it");
        const std::string id = createRecording();
        std::string joined = uploadScreen(id, {0, 1, 2, 3});
        server_.reset();
        const std::string cut = segments_[4].substr(0, segments_[4].size() / 2);
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
        EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined));
    }
}

}  // namespace
}  // namespace tessera::testing
