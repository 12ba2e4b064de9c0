#include <gtest/gtest.h>

#include <map>

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
            if (r.url.ends_with("kind=" + kind)) {
                out.push_back(text(r.body));
            }
        }
        return out;
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

TEST_F(SegmentUploaderTest, CountersTellUploadedRetriedAndLostSegmentsPerKind) {
    std::map<std::string, int> attempts;
    transport->responder = [&](const HttpRequest& r) -> FakeHttpTransport::Outcome {
        const std::string body = text(r.body);
        const int attempt = ++attempts[body];
        if (body == "s1" && attempt == 1) {
            // A transfer the transport itself abandoned is an ordinary failure.
            return TransportError(TransportErrorCode::cancelled, "The request was cancelled.");
        }
        if (body == "cam2") {
            return HttpResponse{500, R"({"error":"disk full"})"};
        }
        return HttpResponse{200, ""};
    };
    startPipe();
    for (const char* s : {"cam1", "cam2", "cam3", "cam4"}) {
        pipe.cameraContinuation->push(bytes(s));
    }
    for (const char* s : {"s1", "s22"}) {
        pipe.screenContinuation->push(bytes(s));
    }
    stopAndDrain();

    const auto& stats = pipe.uploader->stats();
    EXPECT_EQ(stats.at("screen"), (UploadCounters{2, 1, 0, 5}));
    EXPECT_EQ(stats.at("camera"), (UploadCounters{1, 1, 3, 4}))
        << "the segment that failed twice and the two dropped after it are lost";
    EXPECT_EQ(sent("camera"), (std::vector<std::string>{"cam1", "cam2", "cam2"}));
    EXPECT_EQ(pipe.uploader->failureSummary(), "some camera segments failed to upload (disk full)");
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

TEST_F(SegmentUploaderTest, CancelDuringTheRetryWaitSendsNoSecondAttemptAndLosesNothing) {
    transport->responder = [](const HttpRequest&) -> FakeHttpTransport::Outcome {
        return HttpResponse{503, ""};
    };
    startPipe(false);
    pipe.screenContinuation->push(bytes("s1"));
    pipe.screenContinuation->push(bytes("s2"));
    executor.runUntilIdle();
    executor.advance(seconds(0.1));  // s1 failed once and waits for its retry
    pipe.closeAtCancel();
    executor.advance(seconds(2));
    EXPECT_TRUE(pipe.screenUploadTask.isDone());
    EXPECT_EQ(sent("screen"), (std::vector<std::string>{"s1"}));
    EXPECT_TRUE(pipe.uploader->failedKinds().empty());
    EXPECT_EQ(pipe.uploader->stats().at("screen").lost, 0u);
}

}  // namespace
}  // namespace tessera
