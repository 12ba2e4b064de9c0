#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "integration/media/MediaProbe.h"
#include "media/CameraRecorder.h"
#include "support/ManualExecutor.h"
#include "support/RunTask.h"
#include "support/SyntheticCapture.h"
#include "unit/media/camera/ScriptedCameraSource.h"

namespace tessera {
namespace {

using testing::cameraPicture;
using testing::Gate;
using testing::runTask;
using testing::SegmentCollector;
using testing::waitUntil;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// Effects that return a picture of their own size (or nothing), and can be
// held to stand in for a slow frame.
class FakeEffects final : public CameraFrameEffects {
  public:
    std::shared_ptr<const PixelBuffer> process(const std::shared_ptr<const PixelBuffer>& frame,
                                               const CameraEffectSettings&,
                                               double hostSeconds) override {
        gate.pass();
        calls.fetch_add(1);
        lastHostSeconds = hostSeconds;
        lastInput = frame;
        return produce ? cameraPicture(outputWidth, outputHeight, 0) : nullptr;
    }
    Gate gate;
    std::atomic<int> calls = 0;
    std::atomic<double> lastHostSeconds = 0;
    std::shared_ptr<const PixelBuffer> lastInput;
    bool produce = true;
    int outputWidth = 32;
    int outputHeight = 24;
};

CameraEffectSettings blurOn() {
    CameraEffectSettings settings;
    settings.background = CameraBackgroundMode::blur;
    return settings;
}

bool isMediaSegment(const std::vector<uint8_t>& s) {
    return s.size() > 8 && std::string(reinterpret_cast<const char*>(&s[4]), 4) == "moof";
}

class CameraRecorderTest : public ::testing::Test {
  protected:
    CameraRecorderTest() {
        recorder = std::make_unique<CameraRecorder>(
            cameras, effects, executor, clock,
            [this](const SegmentWriter::Configuration& configuration,
                   CameraRecorder::SegmentHandler onSegment) {
                auto writer = std::make_shared<SegmentWriter>(configuration, std::move(onSegment));
                std::lock_guard lock(writersMutex);
                writers.push_back(writer);
                return writer;
            });
        recorder->onPreviewFrame = [this](const VideoSample& frame) {
            previews.push_back(frame);
        };
    }
    ~CameraRecorderTest() override {
        effects->gate.open();
        recorder.reset();
    }

    testing::ScriptedCameraStream& camera() { return *cameras.last; }
    std::shared_ptr<SegmentWriter> writer(size_t i) {
        std::lock_guard lock(writersMutex);
        return i < writers.size() ? writers[i] : nullptr;
    }
    size_t writerCount() {
        std::lock_guard lock(writersMutex);
        return writers.size();
    }

    // Emits frame `index` at host time 100 + index/30 s once the recorder has
    // handled the frames before it and the newest writer can take one, then
    // lets the preview through.
    std::shared_ptr<const PixelBuffer> emit(int64_t index, int width = kWidth,
                                            int height = kHeight) {
        runTask(executor, recorder->drain());
        if (auto w = writer(writerCount() - 1); w) {
            EXPECT_TRUE(waitUntil([&] {
                return w->status() != WriterStatus::writing ||
                       w->videoInput().isReadyForMoreMediaData();
            }));
        }
        const MediaTime t = MediaTime(100, 1) + MediaTime(index, 30);
        clock.set(t);
        std::shared_ptr<const PixelBuffer> pixels = cameraPicture(width, height, index);
        camera().deliver(pixels, t);
        runTask(executor, recorder->drain());
        executor.runUntilIdle();
        return pixels;
    }
    void emitRange(int64_t from, int64_t to) {
        for (int64_t i = from; i < to; ++i) {
            emit(i);
        }
    }
    size_t mediaSegments(SegmentCollector& collector) {
        size_t n = 0;
        for (const auto& s : collector.list()) {
            n += isMediaSegment(s);
        }
        return n;
    }

    ManualExecutor executor;
    ManualHostClock clock{MediaTime(100, 1)};
    testing::ScriptedCameraSource cameras;
    std::shared_ptr<FakeEffects> effects = std::make_shared<FakeEffects>();
    std::mutex writersMutex;
    std::vector<std::shared_ptr<SegmentWriter>> writers;
    std::vector<VideoSample> previews;
    std::unique_ptr<CameraRecorder> recorder;
};

TEST_F(CameraRecorderTest, WithEffectsOffTheCameraBuffersReachPreviewAndWriterUncopied) {
    recorder->startPreview("", false);
    EXPECT_EQ(camera().deviceName(), "cam-front");
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    const auto first = emit(0);
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_EQ(previews[0].pixels, first);
    EXPECT_EQ(previews[0].timing.presentationTimeStamp, MediaTime(100, 1));
    EXPECT_EQ(effects->calls, 0);
    ASSERT_EQ(writerCount(), 1u);
    EXPECT_EQ(writer(0)->configuration().width, kWidth);
    EXPECT_EQ(recorder->stats().framesRecorded, 1);
    runTask(executor, recorder->finishRecording());
}

TEST_F(CameraRecorderTest, EffectsShapeBothPreviewAndRecordingFromTheNextFrame) {
    recorder->startPreview("", false);
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    recorder->setEffectSettings(blurOn());
    emit(0);
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_EQ(previews[0].pixels->width, 32);
    EXPECT_DOUBLE_EQ(effects->lastHostSeconds, 100.0);
    // The writer takes the size of the first recorded frame after effects.
    ASSERT_EQ(writerCount(), 1u);
    EXPECT_EQ(writer(0)->configuration().width, 32);
    EXPECT_EQ(writer(0)->configuration().height, 24);

    // Effects that produce nothing leave the camera's frame, in both places.
    effects->produce = false;
    const auto unprocessed = emit(1);
    EXPECT_EQ(previews.back().pixels, unprocessed);

    recorder->setEffectSettings(CameraEffectSettings{});
    const auto plain = emit(2);
    EXPECT_EQ(previews.back().pixels, plain);
    EXPECT_EQ(effects->calls, 2);
    EXPECT_EQ(writerCount(), 1u);
    EXPECT_EQ(recorder->stats().framesRecorded, 3);
    runTask(executor, recorder->finishRecording());
}

TEST_F(CameraRecorderTest, MirroringFlipsEveryFrameFromTheOneAfterTheChange) {
    recorder->startPreview("", true);
    recorder->setEffectSettings(blurOn());
    effects->produce = false;
    emit(0);
    ASSERT_EQ(previews.size(), 1u);
    // Mirrored before the effects see it: the bright half is on the right.
    const PixelBuffer& mirrored = *previews[0].pixels;
    EXPECT_EQ(mirrored.row(0)[0], testing::kDarkSide);
    EXPECT_EQ(mirrored.row(0)[4 * (kWidth - 1)], testing::kBrightSide);
    EXPECT_EQ(effects->lastInput, previews[0].pixels);
    recorder->setMirrored(false);
    recorder->setEffectSettings(CameraEffectSettings{});
    const auto plain = emit(3);
    EXPECT_EQ(previews.back().pixels, plain);
    recorder->setMirrored(true);
    recorder->setMirrored(true);
    emit(3);  // the moving bar is mirrored too
    const PixelBuffer& again = *previews.back().pixels;
    for (int x = 0; x < kWidth; ++x) {
        ASSERT_EQ(again.row(kHeight - 1)[4 * x], plain->row(kHeight - 1)[4 * (kWidth - 1 - x)])
            << x;
    }
}

TEST_F(CameraRecorderTest, AWriterIsMadeOncePerRecordingAndNeverAgainAfterItFailedToStart) {
    recorder->startPreview("", false);
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    emit(0, 1, 1);  // too small for the encoder: the writer cannot start
    emitRange(1, 5);
    EXPECT_EQ(writerCount(), 1u);
    EXPECT_EQ(writer(0)->status(), WriterStatus::failed);
    EXPECT_EQ(recorder->stats().framesRecorded, 0);
    EXPECT_EQ(previews.size(), 5u);  // the preview goes on
    runTask(executor, recorder->finishRecording());
    EXPECT_EQ(mediaSegments(segments), 0u);

    // The next recording tries again, once.
    SegmentCollector next;
    recorder->beginRecording(next.handler());
    emitRange(5, 10);
    EXPECT_EQ(writerCount(), 2u);
    EXPECT_EQ(recorder->stats().framesRecorded, 5);
    runTask(executor, recorder->finishRecording());
    EXPECT_EQ(writer(1)->status(), WriterStatus::completed);
    EXPECT_GE(mediaSegments(next), 1u);
}

TEST_F(CameraRecorderTest, FinishingWithoutAWrittenFrameCancelsTheWriter) {
    recorder->startPreview("", false);
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    recorder->pause();
    emitRange(0, 3);  // shown, not recorded
    EXPECT_EQ(previews.size(), 3u);
    ASSERT_EQ(writerCount(), 1u);
    EXPECT_EQ(recorder->stats().framesRecorded, 0);
    EXPECT_EQ(recorder->stats().framesNotRecorded, 3);
    runTask(executor, recorder->finishRecording());
    EXPECT_EQ(writer(0)->status(), WriterStatus::cancelled);
    EXPECT_EQ(mediaSegments(segments), 0u);

    // Not armed any more: frames only reach the preview.
    emit(3);
    EXPECT_EQ(writerCount(), 1u);
    EXPECT_EQ(previews.size(), 4u);
}

TEST_F(CameraRecorderTest, BeginningAgainDropsTheOldWriterAndStartsANewTimeline) {
    recorder->startPreview("", false);
    SegmentCollector first;
    recorder->beginRecording(first.handler());
    emitRange(0, 10);
    SegmentCollector second;
    recorder->beginRecording(second.handler());
    emitRange(10, 40);
    ASSERT_EQ(writerCount(), 2u);
    EXPECT_EQ(writer(0)->status(), WriterStatus::cancelled);
    runTask(executor, recorder->finishRecording());
    EXPECT_EQ(mediaSegments(first), 0u);
    // The second recording begins at its own first frame: 30 frames, one
    // second, from zero.
    const testing::MediaProbe probe = testing::probeBytes(second.joined());
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->decodedFrames, 30);
    EXPECT_NEAR(probe.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(probe.video->endSeconds, 1.0, 0.01);
}

TEST_F(CameraRecorderTest, CancellingDiscardsTheRecording) {
    recorder->startPreview("", false);
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    emitRange(0, 5);
    runTask(executor, recorder->cancelRecording());
    EXPECT_EQ(writer(0)->status(), WriterStatus::cancelled);
    emit(5);
    EXPECT_EQ(mediaSegments(segments), 0u);
    EXPECT_EQ(writerCount(), 1u);
}

TEST_F(CameraRecorderTest, ABusyQueueDropsFramesAtTheCameraAndThePreviewSkipsToTheNewest) {
    recorder->startPreview("", false);
    recorder->setEffectSettings(blurOn());
    effects->produce = false;
    effects->gate.close();
    std::vector<std::shared_ptr<const PixelBuffer>> sent;
    for (int i = 0; i < 6; ++i) {
        sent.push_back(cameraPicture(kWidth, kHeight, i));
        camera().deliver(sent.back(), MediaTime(100, 1) + MediaTime(i, 30));
        if (i == 0) {
            ASSERT_TRUE(effects->gate.waitUntilSomeoneWaits());
        }
    }
    // One frame in the effects, one waiting, the rest dropped before the queue.
    EXPECT_EQ(recorder->stats().framesDroppedLate, 4);
    effects->gate.open();
    // Waited for on an executor of its own, so the main thread stays busy
    // until both frames are handled: it then gets the newest one only.
    ManualExecutor elsewhere;
    auto drained = spawn(elsewhere, recorder->drain());
    ASSERT_TRUE(elsewhere.runUntil([&] { return drained.isDone(); }));
    executor.runUntilIdle();
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_EQ(previews[0].pixels, sent[1]);
}

TEST_F(CameraRecorderTest, AFramePendingForTheMainThreadIsNotShownByAGoneRecorder) {
    recorder->startPreview("", false);
    std::optional<RecorderError> stopped;
    recorder->onCameraStopped = [&](const RecorderError& e) {
        stopped = e;
    };
    camera().failUnplugged();
    executor.runUntilIdle();
    ASSERT_TRUE(stopped);
    EXPECT_STREQ(stopped->what(), "The camera was disconnected");

    // The frame is handled while the recorder shuts its queue down.
    camera().deliver(cameraPicture(kWidth, kHeight, 0), MediaTime(100, 1));
    recorder.reset();
    executor.runUntilIdle();
    EXPECT_TRUE(previews.empty());
}

}  // namespace
}  // namespace tessera
