#pragma once

// Runs one capture stream for one recording and routes its samples: screen
// frames and system audio, retimed, into the screen SegmentWriter; microphone
// audio, retimed, into the MicFileWriter (or silence in its place while muted).
// Owns the retimer that cuts paused time out of all three, and at stop extends
// the last picture to the moment of stopping.
//
// Threads: every sample, pause/resume/mute and the closing step run on the
// recorder's serial queue "com.tessera.recorder.screen-capture", so the
// queue-owned state below needs no lock. start/stop/cancel run in the caller's
// task (executor thread) and reach that state only through awaited queue work.
// onStreamStopped runs on the capture source's thread.
//
// Call stop() or cancel() before destroying a started recorder.

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

class ScreenRecorder {
  public:
    static constexpr const char* kQueueLabel = "com.tessera.recorder.screen-capture";

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

    // Return at once; the change happens on the queue, after the samples
    // already queued, at the host time at which it runs there.
    void pause();
    void resume();
    void setMicMuted(bool muted);

    // Stops capture, closes the timeline and finishes the writer. True when at
    // least one frame was recorded; false when nothing was and the writer was
    // discarded. Does not finish the microphone writer.
    Task<bool> stop();
    // Stops capture and discards the screen writer's output.
    Task<void> cancel();

    SegmentWriter& writer() { return *writer_; }

    // co_await recorder.drain(): resumes once every sample and step queued so
    // far has run. For tests and orderly shutdown.
    Task<void> drain();

  private:
    void handleVideo(const VideoSample& sample);
    void handleSystemAudio(const AudioSample& sample);
    void handleMicrophone(const AudioSample& sample);
    void closeTimeline();

    std::shared_ptr<SegmentWriter> writer_;
    std::shared_ptr<MicFileWriter> micWriter_;
    CaptureStreamFactory& streams_;
    const HostClock& clock_;
    // Caller's task only.
    std::unique_ptr<CaptureStream> stream_;

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
