// The web app joins each kind's chunks as they arrive: what finalize publishes for
// chunks that come out of order, twice, with a gap or across a restart of the server.
// The server runs in this process on a loopback port, so that a test can stop it, look
// at or damage its data folder, and start it again on the same folder.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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

const json kCreateBody = {
    {"hasCamera", false}, {"hasAudio", true}, {"screenMime", "video/mp4;codecs=avc1"},
    {"width", 320},       {"height", 240},    {"source", "native"}};

// Equal bytes; a failure names the sizes instead of printing the bytes.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    const auto mismatch =
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure()
           << actual.size() << " bytes where " << expected.size()
           << " were expected; first difference at byte " << (mismatch.first - actual.begin());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The web app serving a data folder from a thread of this process.
class Server {
  public:
    explicit Server(const fs::path& dataDir)
        : app_(options(dataDir)), port_(app_.bind()), thread_([this] { app_.listen(); }) {}
    ~Server() {
        app_.stop();
        thread_.join();
    }
    int port() const { return port_; }

  private:
    static webapp::WebAppOptions options(const fs::path& dataDir) {
        webapp::WebAppOptions options;
        options.dataDir = dataDir;
        options.port = 0;
        return options;
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
        const std::string cmd =
            "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
            "sine=frequency=440:duration=3 -c:a aac -b:a 160k '" +
            m4a.string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        m4a_ = readFile(m4a);
    }
    static void TearDownTestSuite() { media_.reset(); }

    void SetUp() override { start(); }
    void start() { server_ = std::make_unique<Server>(data_.path()); }
    void stop() { server_.reset(); }

    httplib::Client client() const {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_read_timeout(30);
        return c;
    }

    std::string createRecording() {
        auto res = client().Post("/api/recordings", kCreateBody.dump(), "application/json");
        EXPECT_TRUE(res && res->status == 201);
        return res ? json::parse(res->body).value("id", "") : "";
    }

    void upload(const std::string& id, const std::string& kind, const std::string& bytes) {
        auto res = client().Post(("/api/recordings/" + id + "/chunk?kind=" + kind).c_str(), bytes,
                                 "application/octet-stream");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
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
        auto res = client().Post(("/api/recordings/" + id + "/finalize").c_str(), "", "");
        EXPECT_TRUE(res && res->status == 200);
        return res ? json::parse(res->body) : json();
    }

    std::string published(const std::string& id, const std::string& name) {
        auto res = client().Get(("/media/" + id + "/" + name).c_str());
        return res && res->status == 200 ? res->body : "";
    }

    fs::path recordingDir(const std::string& id) const { return data_.path() / "recordings" / id; }

    static std::string warningsText(const json& info) {
        std::string all;
        for (const auto& w : info.value("warnings", json::array())) {
            all += w.get<std::string>() + "\n";
        }
        return all;
    }

    static inline std::unique_ptr<TempDir> media_;
    static inline std::vector<std::string> segments_;
    static inline std::string m4a_;
    TempDir data_;
    std::unique_ptr<Server> server_;
};

TEST_F(ChunkJoiningTest, InOrderChunksArePublishedByteForByteWithTheirDuration) {
    const std::string id = createRecording();
    const std::string joined = uploadScreen(id, {0, 1, 2, 3, 4});
    upload(id, "mic", m4a_);
    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready") << info.dump();
    EXPECT_NEAR(info["durationSeconds"].get<double>(), 4.0, 0.05);
    EXPECT_EQ(info["warnings"], json::array());
    EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined));
    EXPECT_TRUE(sameBytes(published(id, "mic.m4a"), m4a_));
    EXPECT_FALSE(info.contains("joinedLayout"));
}

// Chunks keep their order of arrival; the published file says what arrived, and the
// record says where the stream is out of order, repeated or has a hole.
TEST_F(ChunkJoiningTest, OutOfOrderRepeatedAndMissingSegmentsAreKeptAndNamed) {
    struct Case {
        std::vector<int> order;
        const char* warning;
    };
    const Case cases[] = {
        {{0, 1, 3, 2, 4}, "arrived twice or out of order"},
        {{0, 1, 2, 2, 3, 4}, "arrived twice or out of order"},  // a retried chunk
        {{0, 1, 2, 4}, "misses 1 segment"},                     // a gap
    };
    for (const Case& c : cases) {
        const std::string id = createRecording();
        const std::string joined = uploadScreen(id, c.order);
        const json info = finalize(id);
        EXPECT_EQ(info["status"], "ready") << info.dump();
        EXPECT_NEAR(info["durationSeconds"].get<double>(), 4.0, 0.05) << c.warning;
        EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined)) << c.warning;
        EXPECT_NE(warningsText(info).find(c.warning), std::string::npos) << info.dump();
    }
}

TEST_F(ChunkJoiningTest, ATornOrDamagedTailIsFoundWithoutReadingTheWholeFile) {
    const std::string id = createRecording();
    uploadScreen(id, {0, 1, 2, 3});
    const std::string& last = segments_[4];
    upload(id, "screen", last.substr(0, last.size() / 2));
    upload(id, "mic", m4a_.substr(0, m4a_.size() - 100));
    const json info = finalize(id);
    EXPECT_EQ(info["status"], "error");
    EXPECT_NE(info.value("error", "").find("ends inside an MP4 box"), std::string::npos)
        << info.dump();
    EXPECT_NE(warningsText(info).find("mic track was left out"), std::string::npos);
}

TEST_F(ChunkJoiningTest, ChunksContinueAcrossARestartOfTheServer) {
    const std::string id = createRecording();
    std::string joined = uploadScreen(id, {0, 1, 2});
    stop();
    start();
    joined += uploadScreen(id, {3, 4});
    EXPECT_EQ(client().Get(("/api/recordings/" + id).c_str())->status, 200);
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
        const std::string id = createRecording();
        std::string joined = uploadScreen(id, {0, 1, 2, 3});
        stop();
        const std::string& cut = segments_[4];
        std::ofstream(recordingDir(id) / "screen.mp4", std::ios::binary | std::ios::app)
            << cut.substr(0, cut.size() / 2);
        std::ofstream(recordingDir(id) / "chunks" / "screen" / "000004.part", std::ios::binary)
            << cut.substr(0, cut.size() / 2);
        start();
        if (sentAgain) {
            joined += uploadScreen(id, {4});
        }
        const json info = finalize(id);
        EXPECT_EQ(info["status"], "ready") << info.dump();
        EXPECT_EQ(info["warnings"], json::array());
        EXPECT_NEAR(info["durationSeconds"].get<double>(), sentAgain ? 4.0 : 3.0, 0.05);
        EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined)) << sentAgain;
    }
}

// A recording left by a server that kept only the chunk files is joined when it
// starts, if it still takes chunks, or when it is finalized again.
TEST_F(ChunkJoiningTest, ARecordingWithOnlyChunkFilesIsJoinedWhenNeeded) {
    const std::string id = createRecording();
    std::string joined = uploadScreen(id, {0, 1, 2});
    auto forgetJoinedFile = [&] {
        stop();
        fs::remove(recordingDir(id) / "screen.mp4");
        json meta = json::parse(readFile(recordingDir(id) / "meta.json"));
        meta.erase("joinedLayout");
        std::ofstream(recordingDir(id) / "meta.json") << meta.dump();
        start();
    };
    forgetJoinedFile();
    joined += uploadScreen(id, {3, 4});
    EXPECT_EQ(finalize(id)["status"], "ready");
    forgetJoinedFile();
    const json info = finalize(id);
    EXPECT_EQ(info["status"], "ready") << info.dump();
    EXPECT_TRUE(sameBytes(published(id, "screen.mp4"), joined));
}

}  // namespace
}  // namespace tessera::testing
