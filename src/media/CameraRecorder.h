#pragma once

// The capture and recording half of the camera: one camera stream whose frames
// feed, one by one, the bubble's live preview and, while a recording runs, a
// SegmentWriter of the camera's own whose segments go to the camera upload
// stream. Each frame is mirrored when mirroring is on and then passes through
// the effects step when any effect is on, so preview and recording show the
// same picture. With mirroring and every effect off, the camera's own pixel
// buffers go to the preview and the writer untouched (shared, not copied).
//
// Threads:
// - main thread (the executor given at construction): startPreview,
//   setMirrored, setEffectSettings, beginRecording, pause, resume,
//   finishRecording, cancelRecording, stopSession; the preview handler runs
//   there too.
// - the camera's serial queue "com.tessera.recorder.camera": every frame and
//   every change of the recording state (retimer, writer, armed, segment
//   callback). The camera's capture thread only hands frames to this queue;
//   a frame that finds the queue still busy with earlier frames is dropped
//   there rather than queued.
// - the writer's segment callback runs on the writer's encoding thread.
//
// The camera queue never waits for the main thread: preview frames are handed
// over through a one-frame mailbox, so a slow main thread sees the newest
// frame and skips the older ones.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/CameraEffectSettings.h"
#include "media/CameraSource.h"
#include "media/SegmentWriter.h"
#include "media/TimelineRetimer.h"
#include "support/Executor.h"
#include "support/Guarded.h"
#include "support/HostClock.h"
#include "support/SerialQueue.h"
#include "support/Task.h"

namespace tessera {

// The effects step as the recorder sees it. Called on the camera queue only,
// one frame at a time.
class CameraFrameEffects {
  public:
    virtual ~CameraFrameEffects() = default;
    // The processed picture of `frame` (BGRA), or null to use the frame as it
    // is. hostSeconds is the frame's presentation time on the host clock.
    virtual std::shared_ptr<const PixelBuffer> process(
        const std::shared_ptr<const PixelBuffer>& frame, const CameraEffectSettings& settings,
        double hostSeconds) = 0;
};

// What happened to the camera's frames so far; any thread.
struct CameraRecorderStats {
    // Frames the camera delivered, and of those the ones dropped before the
    // queue because it was still busy.
    int64_t framesReceived = 0;
    int64_t framesDroppedLate = 0;
    // Frames handed to a recording's writer, and frames of an armed recording
    // that were not (writer busy, paused, or too late for the timeline).
    int64_t framesRecorded = 0;
    int64_t framesNotRecorded = 0;
};

class CameraRecorder {
  public:
    static constexpr const char* kQueueLabel = "com.tessera.recorder.camera";
    // The camera writer's settings besides the size of the first recorded frame.
    static constexpr int64_t kFrameRate = 30;
    static constexpr int64_t kBitrate = 2'500'000;
    static constexpr int64_t kSegmentSeconds = 2;
    // Frames that may wait for the queue; a later one is dropped, never queued.
    static constexpr int kMaxFramesInFlight = 2;

    using SegmentHandler = std::function<void(std::vector<uint8_t>)>;
    // Makes the writer of one recording. The default makes a plain
    // SegmentWriter; tests pass one that keeps a reference to it.
    using WriterFactory = std::function<std::shared_ptr<SegmentWriter>(
        const SegmentWriter::Configuration&, SegmentHandler)>;

    // `cameras` must outlive the recorder; `effects` may be null (no effects).
    // `mainThread` receives the preview frames and resumes the asynchronous
    // operations; `clock` stamps pause and resume.
    CameraRecorder(CameraSource& cameras, std::shared_ptr<CameraFrameEffects> effects,
                   Executor& mainThread, const HostClock& clock, WriterFactory makeWriter = {});
    // Stops the camera if it still runs; a writer still writing is cancelled.
    ~CameraRecorder();
    CameraRecorder(const CameraRecorder&) = delete;
    CameraRecorder& operator=(const CameraRecorder&) = delete;

    // Main thread. Called with every frame the preview should show, mirrored
    // and processed as recorded. Set before startPreview.
    std::function<void(const VideoSample&)> onPreviewFrame;
    // Main thread. Called when the camera stops by itself (unplugged).
    std::function<void(const RecorderError&)> onCameraStopped;

    // Main thread, once per recorder. Opens the camera with that id (empty:
    // the default camera) and starts its frames. Throws the camera's
    // RecorderError ("No camera available", ...). Opening may block briefly.
    void startPreview(const std::string& deviceID, bool mirrored);

    // Main thread. Takes effect from the next frame the queue handles; the
    // same value again changes nothing.
    void setMirrored(bool mirrored);
    bool mirrored() const { return mirrored_.load(std::memory_order_relaxed); }

    // Any thread. Replaces the effect settings used from the next frame.
    void setEffectSettings(const CameraEffectSettings& settings);

    // Return at once; the change happens on the queue after the frames
    // already queued. beginRecording starts a new recording: a new timeline,
    // and no writer until the next frame (one left from an unfinished
    // recording is dropped without finishing).
    void beginRecording(SegmentHandler onSegment);
    void pause();
    void resume();

    // Ends the recording: when a frame was written, finishes the writer and
    // returns once it has delivered its last segment; otherwise discards the
    // writer, and no media segment is delivered.
    Task<void> finishRecording();
    // Ends the recording and discards its writer.
    Task<void> cancelRecording();
    // Stops the camera; returns once no frame can arrive any more. The
    // recorder is not started again after this.
    Task<void> stopSession();

    // co_await drain(): resumes once everything queued so far has run.
    Task<void> drain();

    CameraRecorderStats stats() const;

  private:
    // What the closures posted to the main thread share with the recorder,
    // which they may outlive.
    struct PreviewMailbox {
        // The newest frame not yet shown.
        Guarded<std::optional<VideoSample>> latest;
        // Main thread only; cleared when the recorder is destroyed.
        CameraRecorder* owner = nullptr;
    };

    // Capture thread.
    void onCameraFrame(VideoSample sample);
    // Queue.
    void handleFrame(const VideoSample& cameraFrame);
    VideoSample chooseFrame(const VideoSample& cameraFrame);
    void postPreview(const VideoSample& frame);
    void record(const VideoSample& frame);
    bool ensureWriter(const VideoSample& frame);

    CameraSource& cameras_;
    std::shared_ptr<CameraFrameEffects> effects_;
    Executor& mainThread_;
    const HostClock& clock_;
    WriterFactory makeWriter_;

    // Main thread.
    std::unique_ptr<CameraStream> stream_;
    std::shared_ptr<PreviewMailbox> mailbox_ = std::make_shared<PreviewMailbox>();

    std::atomic<bool> mirrored_ = false;
    Guarded<CameraEffectSettings> effectSettings_;
    std::atomic<int> framesInFlight_ = 0;

    std::atomic<int64_t> framesReceived_ = 0;
    std::atomic<int64_t> framesDroppedLate_ = 0;
    std::atomic<int64_t> framesRecorded_ = 0;
    std::atomic<int64_t> framesNotRecorded_ = 0;

    // Queue only.
    TimelineRetimer retimer_;
    std::shared_ptr<SegmentWriter> writer_;
    bool writerFailedToStart_ = false;
    bool armed_ = false;
    SegmentHandler onSegment_;

    // Last: destroyed first, running what is queued while the state above lives.
    SerialQueue queue_{kQueueLabel};
};

}  // namespace tessera
