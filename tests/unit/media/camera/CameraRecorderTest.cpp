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
    void emitRange(int64_t from, int64_t to, int width = kWidth, int height = kHeight) {
        for (int64_t i = from; i < to; ++i) {
            emit(i, width, height);
        }
    }
    size_t mediaSegments(SegmentCollector& collector) {
        size_t n = 0;
        for (const auto& s : collector.list()) {
            n += s.size() > 8 && std::string(reinterpret_cast<const char*>(&s[4]), 4) == "moof";
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

// Effects shape the preview and the writer's size; with effects off or
// producing nothing, the camera's own buffers go through.
TEST_F(CameraRecorderTest, EffectsShapeBothPreviewAndRecordingFromTheNextFrame) {
    recorder->startPreview("", false);
    EXPECT_EQ(camera().deviceName(), "cam-front");
    SegmentCollector segments;
    recorder->beginRecording(segments.handler());
    recorder->setEffectSettings(blurOn());
    emit(0);
    ASSERT_EQ(previews.size(), 1u);
    EXPECT_EQ(previews[0].pixels->width, 32);
    EXPECT_DOUBLE_EQ(effects->lastHostSeconds, 100.0);
    ASSERT_EQ(writerCount(), 1u);
    EXPECT_EQ(writer(0)->configuration().width, 32);
    EXPECT_EQ(writer(0)->configuration().height, 24);

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

// A writer that failed to start is not retried within its recording; one
// that got no frame (all paused) or was cancelled delivers nothing. Afterwards
// the recorder is not armed: frames only reach the preview.
TEST_F(CameraRecorderTest, FailedPausedOrCancelledRecordingsDeliverNothing) {
    recorder->startPreview("", false);
    SegmentCollector failed;
    recorder->beginRecording(failed.handler());
    emit(0, 1, 1);  // too small for the encoder: the writer cannot start
    emitRange(1, 5);
    EXPECT_EQ(writerCount(), 1u);
    EXPECT_EQ(writer(0)->status(), WriterStatus::failed);
    EXPECT_EQ(previews.size(), 5u);
    runTask(executor, recorder->finishRecording());

    SegmentCollector paused;
    recorder->beginRecording(paused.handler());
    recorder->pause();
    emitRange(5, 8);
    ASSERT_EQ(writerCount(), 2u);
    EXPECT_EQ(recorder->stats().framesNotRecorded, 3);
    runTask(executor, recorder->finishRecording());
    EXPECT_EQ(writer(1)->status(), WriterStatus::cancelled);
    emit(8);

    SegmentCollector cancelled;
    recorder->beginRecording(cancelled.handler());
    emitRange(9, 14);
    runTask(executor, recorder->cancelRecording());
    ASSERT_EQ(writerCount(), 3u);
    EXPECT_EQ(writer(2)->status(), WriterStatus::cancelled);
    emit(14);
    EXPECT_EQ(writerCount(), 3u);
    EXPECT_EQ(previews.size(), 15u);
    for (SegmentCollector* c : {&failed, &paused, &cancelled}) {
        EXPECT_EQ(mediaSegments(*c), 0u);
    }
}

TEST_F(CameraRecorderTest, ARecordingReadsBackWithThePauseCutAndMirroringFromItsFrame) {
    recorder->startPreview("", false);
    SegmentCollector first;
    recorder->beginRecording(first.handler());
    emitRange(0, 10);
    SegmentCollector second;
    recorder->beginRecording(second.handler());
    // Pictures wide enough for the probe's counter bits: 16 blocks of 16
    // pixels along the top, bright on the left half (blocks 0-9) or, once
    // mirrored, on the right (blocks 10-15).
    constexpr int kWide = 320;
    constexpr int kTall = 180;
    emitRange(10, 70, kWide, kTall);
    ASSERT_EQ(writerCount(), 2u);
    EXPECT_EQ(writer(0)->status(), WriterStatus::cancelled);
    clock.set(MediaTime(100, 1) + MediaTime(70, 30));
    recorder->pause();
    emitRange(70, 100, kWide, kTall);  // previewed only
    clock.set(MediaTime(100, 1) + MediaTime(100, 30));
    recorder->resume();
    emitRange(100, 115, kWide, kTall);
    recorder->setMirrored(true);
    emitRange(115, 160, kWide, kTall);
    runTask(executor, recorder->finishRecording());
    EXPECT_EQ(writer(1)->status(), WriterStatus::completed);
    EXPECT_EQ(mediaSegments(first), 0u);

    const testing::MediaProbe probe = testing::probeBytes(second.joined());
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->codec, "h264");
    EXPECT_EQ(probe.video->width, kWide);
    EXPECT_EQ(probe.video->height, kTall);
    ASSERT_EQ(probe.video->decodedFrames, 120);
    EXPECT_NEAR(probe.video->startSeconds, 0.0, 0.001);
    EXPECT_NEAR(probe.video->endSeconds, 4.0, 0.01);
    for (size_t i = 0; i < 120; ++i) {
        if (i > 0) {
            // No frame jumps across the pause: the timeline goes on in 1/30 s steps.
            ASSERT_NEAR(probe.video->frameSeconds[i] - probe.video->frameSeconds[i - 1], 1.0 / 30,
                        0.002)
                << i;
        }
        ASSERT_EQ(probe.video->counters[i], i >= 75 ? 0xFC00 : 0x03FF) << "frame " << i;
    }
    // finishRecording returned after the last segment: nothing comes later.
    const size_t delivered = second.count();
    emitRange(160, 170, kWide, kTall);
    EXPECT_EQ(second.count(), delivered);
}

// Effects hold the queue (a slow frame) when pause is asked for: the pause
// is still cut where it was asked for, not where the queue got to it 1.5 s
// later.
TEST_F(CameraRecorderTest, APauseIsCutWhereAskedForWhileEffectsHoldTheQueue) {
    recorder->startPreview("", false);
    recorder->setEffectSettings(blurOn());
    effects->produce = false;  // the camera's own pictures go through
    SegmentCollector recording;
    recorder->beginRecording(recording.handler());
    emitRange(0, 30);
    effects->gate.close();
    camera().deliver(cameraPicture(kWidth, kHeight, 30), MediaTime(100, 1) + MediaTime(30, 30));
    ASSERT_TRUE(effects->gate.waitUntilSomeoneWaits());
    clock.set(MediaTime(100, 1) + MediaTime(31, 30));
    recorder->pause();
    clock.set(MediaTime(100, 1) + MediaTime(76, 30));
    effects->gate.open();
    emitRange(76, 90);
    clock.set(MediaTime(100, 1) + MediaTime(90, 30));
    recorder->resume();
    emitRange(90, 120);
    runTask(executor, recorder->finishRecording());
    const testing::MediaProbe probe = testing::probeBytes(recording.joined());
    ASSERT_TRUE(probe.video);
    EXPECT_EQ(probe.video->decodedFrames, 61);
    EXPECT_NEAR(probe.video->endSeconds, 61.0 / 30, 0.01);
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
