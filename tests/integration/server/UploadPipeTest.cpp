// The segment pipe end to end: real fragmented MP4 segments through the uploader,
// the libcurl transport and the reference web app.
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "LoopbackServer.h"
#include "server/CurlTransport.h"
#include "server/SegmentUploader.h"
#include "support/FragmentedMp4.h"
#include "support/WebAppProcess.h"

namespace tessera::testing {
namespace {

class UploadPipeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const auto dir =
            std::filesystem::temp_directory_path() / ("pipe-media-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        screen_ = makeFragmentedMp4Segments(dir, 6.0, "320x240");
        camera_ = makeFragmentedMp4Segments(dir, 6.0, "160x160");
        std::filesystem::remove_all(dir);
    }

    void SetUp() override {
        const CreateRecordingRequest request{
            std::nullopt, true, false,   "video/mp4;codecs=avc1", "video/mp4;codecs=avc1",
            320,          240,  "native"};
        id = runTask(loop, api.createRecording(request)).id;
        pipe = SegmentPipe::start(loop, api, id, SegmentQueue{});
    }

    void pushAll() {
        for (const auto& s : screen_) {
            pipe.screenContinuation->push(ByteBuffer(s.begin(), s.end()));
        }
        for (const auto& s : camera_) {
            pipe.cameraContinuation->push(ByteBuffer(s.begin(), s.end()));
        }
    }
    void stop() { runTask(loop, pipe.closeAtStop()); }

    static inline std::vector<std::string> screen_;
    static inline std::vector<std::string> camera_;
    WebAppProcess webapp;
    EventLoop loop;
    std::shared_ptr<CurlTransport> transport = std::make_shared<CurlTransport>();
    APIClient api{*Url::parse(webapp.baseUrl()), transport};
    std::string id;
    SegmentPipe pipe;
};

TEST_F(UploadPipeTest, BothKindsArriveInOrderFromAProducerThreadThenFinalizeNotesAndDelete) {
    ASSERT_GE(screen_.size(), 7u);
    std::atomic<bool> produced = false;
    std::jthread producer([&] {
        for (size_t i = 0; i < screen_.size(); ++i) {
            pipe.screenContinuation->push(ByteBuffer(screen_[i].begin(), screen_[i].end()));
            if (i < camera_.size()) {
                pipe.cameraContinuation->push(ByteBuffer(camera_[i].begin(), camera_[i].end()));
            }
            // Segments come one by one, as from a writer, while uploads run.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        produced = true;
        loop.post([] {});  // wakes the loop to look at the flag
    });
    ASSERT_TRUE(loop.runUntil([&] { return produced.load(); }, seconds(30)));
    stop();
    EXPECT_EQ(webapp.storedChunks(id, "screen"), screen_);
    EXPECT_EQ(webapp.storedChunks(id, "camera"), camera_);
    EXPECT_FALSE(pipe.uploader->failureSummary());
    size_t screenBytes = 0;
    for (const auto& s : screen_) {
        screenBytes += s.size();
    }
    EXPECT_EQ(pipe.uploader->stats().at("screen"),
              (UploadCounters{screen_.size(), 0, 0, screenBytes}));
    EXPECT_EQ(runTask(loop, api.finalize(id)).status, "ready");

    // The rest of a recording's life over the same transport.
    runTask(loop, api.update(id, "Notes"));
    EXPECT_EQ(webapp.recording(id)["description"], "Notes");
    runTask(loop, api.deleteRecording(id));
    try {
        runTask(loop, api.finalize(id));
        ADD_FAILURE() << "finalize after delete succeeded";
    } catch (const APIError& e) {
        EXPECT_EQ(e.statusCode(), 404);
        EXPECT_STREQ(e.what(), "Recording not found");
    }
    // Every time: libcurl sends again once on a fresh connection when a reused one drops.
    webapp.addFault({{"route", "list"}, {"count", -1}, {"drop", true}});
    HttpRequest list;
    list.url = webapp.baseUrl() + "/api/recordings";
    try {
        runTask(loop, transport->send(std::move(list)));
        ADD_FAILURE() << "a dropped connection gave a reply";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), TransportErrorCode::networkConnectionLost);
    }
}

// Everything is queued before the drain tasks first run, and stop still sends all of
// it: a screen segment whose first attempt fails is retried and kept in order, while a
// camera segment that fails twice is lost and the rest of the camera is skipped.
TEST_F(UploadPipeTest, StopSendsWhatWasQueuedRetriesOnceAndSkipsAKindAfterALoss) {
    webapp.addFault({{"route", "chunk"}, {"kind", "screen"}, {"nth", 3}, {"status", 503}});
    webapp.addFault({{"route", "chunk"},
                     {"kind", "camera"},
                     {"nth", 2},
                     {"count", 2},
                     {"status", 500},
                     {"body", R"({"error":"disk full"})"}});
    pushAll();
    stop();
    EXPECT_EQ(webapp.storedChunks(id, "screen"), screen_);
    EXPECT_EQ(pipe.uploader->stats().at("screen").retried, 1u);
    // Only the two attempts of segment 2 failed; a later request would have been stored.
    EXPECT_EQ(webapp.storedChunks(id, "camera"), std::vector<std::string>{camera_[0]});
    EXPECT_EQ(pipe.uploader->failureSummary(), "some camera segments failed to upload (disk full)");
    EXPECT_EQ(pipe.cameraContinuation->size(), 0u);
}

TEST_F(UploadPipeTest, CancelDuringAnUploadRecordsNoFailure) {
    webapp.addFault({{"route", "chunk"}, {"count", -1}, {"delayMs", 3000}});
    pushAll();
    // Each drain loop has taken its first segment and awaits its (held) request.
    ASSERT_TRUE(loop.runUntil(
        [&] {
            return pipe.screenContinuation->size() == screen_.size() - 1 &&
                   pipe.cameraContinuation->size() == camera_.size() - 1;
        },
        seconds(30)));
    pipe.closeAtCancel();
    ASSERT_TRUE(loop.runUntil(
        [&] { return pipe.screenUploadTask.isDone() && pipe.cameraUploadTask.isDone(); },
        seconds(30)));
    EXPECT_TRUE(pipe.uploader->failedKinds().empty());
    EXPECT_FALSE(pipe.uploader->failureSummary());
    EXPECT_EQ(pipe.uploader->stats().at("screen"), UploadCounters{});
}

}  // namespace
}  // namespace tessera::testing
