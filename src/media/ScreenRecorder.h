#pragma once

// Runs one capture stream for one recording and routes its samples: screen
// frames and system audio, retimed, into the screen SegmentWriter; microphone
// audio, retimed, into the MicFileWriter (or silence in its place while muted).
// Owns the retimer that cuts paused time out of all three, and at stop extends
// the last picture to the moment stop was asked for.
//
// Threads: every sample, pause/resume/mute and the closing step run on the
// recorder's serial queue "com.tessera.recorder.screen-capture", so the
// queue-owned state below needs no lock. start/stop/cancel run in the caller's
// task (executor thread) and reach that state only through awaited queue work.
// onStreamStopped runs on the capture source's thread.
//
// Memory stays bounded whatever stalls: at most the stream configuration's
// queueDepth frames wait for the queue, and a frame beyond that is dropped
// (and counted) on the source's thread instead of queued; frames without a new
// picture never hold their pixels in the queue; audio waits in a bounded
// number of buffers; the microphone file writes on a thread of its own. While
// the picture does not change, the last frame is repeated at every segment
// boundary of the timeline, so segments keep coming on a static screen.
//
// Call stop() or cancel() before destroying a started recorder.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "media/CaptureStream.h"
#include "media/MicFileWriter.h"
#include "media/SegmentWriter.h"
#include "media/TimelineRetimer.h"
#include "support/HostClock.h"
#include "support/SerialQueue.h"
#include "support/Task.h"

namespace tessera {

// What happened to the samples of one recording so far.
struct ScreenRecorderStats {
    // Frames with a new picture that the source delivered.
    int64_t framesCaptured = 0;
    // Of those: handed to the encoder, captured while paused, and lost because
    // the queue or the encoder was busy (or the frame came too late).
    int64_t framesWritten = 0;
    int64_t framesWhilePaused = 0;
    int64_t framesDropped = 0;
    // The last picture written again at segment boundaries of a static
    // screen.
    int64_t framesRepeated = 0;
    // System-audio and microphone buffers lost because a queue or a writer
    // was busy.
    int64_t audioBuffersDropped = 0;
};

class ScreenRecorder {
  public:
    static constexpr const char* kQueueLabel = "com.tessera.recorder.screen-capture";
    // Frames without a new picture only mark the time; a couple in the queue
    // is enough for that.
    static constexpr int kMaxTimeMarksInFlight = 2;
    // Audio buffers of each kind that may wait for the queue (about five
    // seconds of 10 ms buffers): they wait behind frames, and only a stalled
    // queue should cost sound.
    static constexpr int kMaxAudioBuffersInFlight = 512;

    ScreenRecorder(std::shared_ptr<SegmentWriter> writer, std::shared_ptr<MicFileWriter> micWriter,
                   CaptureStreamFactory& streams, const HostClock& clock);
    ~ScreenRecorder();
    ScreenRecorder(const ScreenRecorder&) = delete;
    ScreenRecorder& operator=(const ScreenRecorder&) = delete;

    // Set before start(); called with the source's error when the stream stops by
    // itself. Runs on the source's thread.
    std::function<void(std::exception_ptr)> onStreamStopped;

    // Creates the stream, adds the outputs, starts both writers, then capture.
    // Errors are thrown unchanged; after a failure call cancel().
    Task<void> start(ContentFilter filter, StreamConfiguration configuration);

    // Return at once. The host time is read now; the change happens on the
    // queue, after the samples already queued, at that time.
    void pause();
    void resume();
    void setMicMuted(bool muted);

    // Ends the timeline at the host time of the call (what the stream delivers
    // while it winds down is not recorded), stops capture, closes the timeline
    // and finishes the writer. True when at least one frame was recorded;
    // false when nothing was and the writer was discarded. Does not finish the
    // microphone writer.
    Task<bool> stop();
    // Stops capture and discards the screen writer's output.
    Task<void> cancel();

    SegmentWriter& writer() { return *writer_; }

    // Any thread; a snapshot of the counters.
    ScreenRecorderStats stats() const;

    // co_await recorder.drain(): resumes once every sample and step queued so
    // far has run. For tests and orderly shutdown.
    Task<void> drain();

  private:
    // Source threads: admit a sample into the queue or drop it.
    void onScreenSample(VideoSample sample);
    void onAudioSample(StreamOutputType type, AudioSample sample);

    // Queue.
    void handleVideo(VideoSample sample);
    void handleTimeMark(MediaTime hostTime);
    void handleSystemAudio(const AudioSample& sample);
    void handleMicrophone(const AudioSample& sample);
    void repeatLastFrame(MediaTime at);
    void closeTimeline();
    MediaTime nextSegmentBoundaryAfter(MediaTime t) const;

    std::shared_ptr<SegmentWriter> writer_;
    std::shared_ptr<MicFileWriter> micWriter_;
    CaptureStreamFactory& streams_;
    const HostClock& clock_;
    // Caller's task only.
    std::unique_ptr<CaptureStream> stream_;

    // Set by start() before capture begins; read on the source threads.
    int maxFramesInFlight_ = 1;
    // Admitted by the source threads, released by the queue.
    std::atomic<int> framesInFlight_ = 0;
    std::atomic<int> timeMarksInFlight_ = 0;
    std::atomic<int> systemAudioInFlight_ = 0;
    std::atomic<int> microphoneInFlight_ = 0;

    // Counters; any thread.
    std::atomic<int64_t> framesCaptured_ = 0;
    std::atomic<int64_t> framesWritten_ = 0;
    std::atomic<int64_t> framesWhilePaused_ = 0;
    std::atomic<int64_t> framesDropped_ = 0;
    std::atomic<int64_t> framesRepeated_ = 0;
    std::atomic<int64_t> audioBuffersDropped_ = 0;

    // Queue only.
    TimelineRetimer retimer_;
    std::optional<VideoSample> lastVideoBuffer_;
    MediaTime lastVideoPTS_ = MediaTime::zero();
    bool didCaptureVideo_ = false;
    bool micMuted_ = false;

    // Last: destroyed first, running what is queued while the state above lives.
    SerialQueue queue_{kQueueLabel};
};

}  // namespace tessera
