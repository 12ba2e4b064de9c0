#include <gtest/gtest.h>

#include "server/SegmentUploader.h"
#include "support/FakeHttpTransport.h"
#include "support/ManualExecutor.h"

namespace tessera {
namespace {

using testing::FakeHttpTransport;

ByteBuffer bytes(const std::string& text) {
    return ByteBuffer(text.begin(), text.end());
}
std::string text(const SharedBytes& b) {
    return b ? std::string(b->begin(), b->end()) : "";
}
std::string kindOf(const HttpRequest& r) {
    return r.url.substr(r.url.rfind('=') + 1);
}

class SegmentUploaderTest : public ::testing::Test {
  protected:
    void startPipe(bool withCamera = true) {
        std::optional<SegmentQueue> camera;
        if (withCamera) {
            camera.emplace();
        }
        pipe = SegmentPipe::start(executor, api, "rec1", camera);
    }
    // Bodies sent for one kind, in order.
    std::vector<std::string> sent(const std::string& kind) const {
        std::vector<std::string> out;
        for (const auto& r : transport->requests) {
            if (kindOf(r) == kind) {
                out.push_back(text(r.body));
            }
        }
        return out;
    }
    // Answers at once: 500 with `error` for the listed segment bodies, else 200.
    void failSegments(std::set<std::string> failing, std::string error = "disk full") {
        transport->responder = [=](const HttpRequest& r) -> FakeHttpTransport::Outcome {
            if (failing.contains(text(r.body))) {
                return HttpResponse{500, R"({"error":")" + error + R"("})"};
            }
            return HttpResponse{200, ""};
        };
    }
    void stopAndDrain() {
        auto stop = spawn(executor, pipe.closeAtStop());
        for (int i = 0; i < 100 && !stop.isDone(); ++i) {
            executor.advance(seconds(0.1));
        }
        ASSERT_TRUE(stop.isDone());
    }

    ManualExecutor executor;
    std::shared_ptr<FakeHttpTransport> transport = std::make_shared<FakeHttpTransport>();
    APIClient api{*Url::parse("http://127.0.0.1:3123"), transport};
    SegmentPipe pipe;
};

TEST_F(SegmentUploaderTest, AFailedAttemptIsRetriedOnce300MillisecondsLater) {
    int calls = 0;
    transport->responder = [&](const HttpRequest&) -> FakeHttpTransport::Outcome {
        return ++calls == 1 ? HttpResponse{503, ""} : HttpResponse{200, ""};
    };
    startPipe(false);
    pipe.screenContinuation->push(bytes("s1"));
    executor.runUntilIdle();
    EXPECT_EQ(transport->requests.size(), 1u);
    executor.advance(seconds(0.299));
    EXPECT_EQ(transport->requests.size(), 1u);
    executor.advance(seconds(0.001));
    EXPECT_EQ(sent("screen"), (std::vector<std::string>{"s1", "s1"}));
    stopAndDrain();
    EXPECT_TRUE(pipe.uploader->failedKinds().empty());
    EXPECT_EQ(pipe.uploader->failureSummary(), std::nullopt);
}

TEST_F(SegmentUploaderTest, ALostCameraSegmentSkipsLaterCameraSegmentsWhileScreenGoesOn) {
    failSegments({"c2"});
    startPipe();
    for (const char* s : {"c1", "c2", "c3", "c4"}) {
        pipe.cameraContinuation->push(bytes(s));
    }
    for (const char* s : {"s1", "s2", "s3"}) {
        pipe.screenContinuation->push(bytes(s));
    }
    stopAndDrain();
    EXPECT_EQ(sent("camera"), (std::vector<std::string>{"c1", "c2", "c2"}));
    EXPECT_EQ(sent("screen"), (std::vector<std::string>{"s1", "s2", "s3"}));
    EXPECT_EQ(pipe.uploader->failedKinds(), (std::set<std::string>{"camera"}));
    EXPECT_EQ(pipe.uploader->failureSummary(), "some camera segments failed to upload (disk full)");
    EXPECT_EQ(pipe.cameraContinuation->size(), 0u) << "the queue is drained to its end";
}

TEST_F(SegmentUploaderTest, BothKindsFailingNamesCameraFirst) {
    transport->responder = [](const HttpRequest& r) -> FakeHttpTransport::Outcome {
        if (kindOf(r) == "screen") {
            return TransportError(TransportErrorCode::cancelled, "The request was cancelled.");
        }
        return HttpResponse{500, "oops"};
    };
    startPipe();
    pipe.screenContinuation->push(bytes("s1"));
    executor.runUntilIdle();
    executor.advance(seconds(1));  // screen fails for good first
    pipe.cameraContinuation->push(bytes("c1"));
    stopAndDrain();
    EXPECT_EQ(sent("screen").size(), 2u) << "a transport-level cancellation is retried";
    EXPECT_EQ(pipe.uploader->failureSummary(),
              "some camera, screen segments failed to upload (Server returned HTTP 500)");
}

TEST_F(SegmentUploaderTest, KindsOverlapButRequestsOfOneKindNeverDo) {
    startPipe();
    pipe.screenContinuation->push(bytes("s1"));
    pipe.screenContinuation->push(bytes("s2"));
    pipe.cameraContinuation->push(bytes("c1"));
    executor.runUntilIdle();
    EXPECT_EQ(transport->pendingCount(), 2u);
    EXPECT_EQ(sent("screen"), (std::vector<std::string>{"s1"}));
    EXPECT_EQ(sent("camera"), (std::vector<std::string>{"c1"}));
    transport->answer(HttpResponse{200, ""});  // s1
    executor.runUntilIdle();
    EXPECT_EQ(sent("screen"), (std::vector<std::string>{"s1", "s2"}));
    EXPECT_EQ(transport->pendingCount(), 2u);
}

TEST_F(SegmentUploaderTest, CancelDuringAnUploadRecordsNoFailureAndSendsNoMore) {
    startPipe();
    pipe.screenContinuation->push(bytes("s1"));
    pipe.screenContinuation->push(bytes("s2"));
    executor.runUntilIdle();
    ASSERT_EQ(transport->pendingCount(), 1u);
    pipe.closeAtCancel();
    executor.runUntilIdle();
    executor.advance(seconds(2));
    EXPECT_TRUE(pipe.screenUploadTask.isDone());
    EXPECT_TRUE(pipe.cameraUploadTask.isDone());
    EXPECT_EQ(transport->requests.size(), 1u);
    EXPECT_TRUE(pipe.uploader->failedKinds().empty());
    EXPECT_FALSE(pipe.screenContinuation->push(bytes("late"))) << "queues are finished";
}

TEST_F(SegmentUploaderTest, StopUploadsEverySegmentQueuedBeforeIt) {
    failSegments({});
    startPipe();
    for (int i = 0; i < 20; ++i) {
        pipe.screenContinuation->push(bytes("s" + std::to_string(i)));
    }
    pipe.cameraContinuation->push(bytes("c0"));
    stopAndDrain();
    EXPECT_EQ(sent("screen").size(), 20u);
    EXPECT_EQ(sent("screen").back(), "s19");
    EXPECT_EQ(sent("camera"), (std::vector<std::string>{"c0"}));
}

TEST_F(SegmentUploaderTest, ASessionWithoutCameraClosesCleanly) {
    failSegments({});
    startPipe(false);
    EXPECT_FALSE(pipe.cameraContinuation);
    EXPECT_FALSE(pipe.cameraUploadTask.valid());
    pipe.screenContinuation->push(bytes("s1"));
    stopAndDrain();
    EXPECT_EQ(sent("screen"), (std::vector<std::string>{"s1"}));

    startPipe(false);
    pipe.closeAtCancel();
    executor.runUntilIdle();
    EXPECT_TRUE(pipe.screenUploadTask.isDone());
}

}  // namespace
}  // namespace tessera
