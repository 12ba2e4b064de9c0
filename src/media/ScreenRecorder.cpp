#include "media/ScreenRecorder.h"

#include <algorithm>

#include "support/InFlightLimit.h"
#include "support/Log.h"

namespace tessera {

namespace {

constexpr const char* kComponent = "screen-recorder";

}  // namespace

ScreenRecorder::ScreenRecorder(std::shared_ptr<SegmentWriter> writer,
                               std::shared_ptr<MicFileWriter> micWriter,
                               CaptureStreamFactory& streams, const HostClock& clock)
    : writer_(std::move(writer)),
      micWriter_(std::move(micWriter)),
      streams_(streams),
      clock_(clock) {}

ScreenRecorder::~ScreenRecorder() {
    // Stop the source before the queue goes, so no sample is handed to a
    // queue that no longer exists.
    stream_.reset();
}

Task<void> ScreenRecorder::start(ContentFilter filter, StreamConfiguration configuration) {
    maxFramesInFlight_ = std::max(configuration.queueDepth, 1);
    auto stream = streams_.makeStream(filter, configuration, [this](std::exception_ptr error) {
        if (onStreamStopped) {
            onStreamStopped(error);
        }
    });
    stream->addScreenOutput([this](VideoSample sample) { onScreenSample(std::move(sample)); });
    if (writer_->systemAudioInput()) {
        stream->addAudioOutput(StreamOutputType::audio, [this](AudioSample sample) {
            onAudioSample(StreamOutputType::audio, std::move(sample));
        });
    }
    if (micWriter_) {
        stream->addAudioOutput(StreamOutputType::microphone, [this](AudioSample sample) {
            onAudioSample(StreamOutputType::microphone, std::move(sample));
        });
    }
    stream_ = std::move(stream);
    writer_->start();
    if (micWriter_) {
        micWriter_->start();
    }
    co_await stream_->startCapture();
}

void ScreenRecorder::onScreenSample(VideoSample sample) {
    if (sample.frameStatus == FrameStatus::idle) {
        // The picture has not changed: only the time matters, and the pixels
        // are not kept. Marks beyond a couple are dropped; a later one
        // carries the time just as well.
        if (tryAdmit(timeMarksInFlight_, kMaxTimeMarksInFlight)) {
            queue_.async([this, hostTime = sample.timing.presentationTimeStamp] {
                handleTimeMark(hostTime);
                timeMarksInFlight_.fetch_sub(1, std::memory_order_acq_rel);
            });
        }
        return;
    }
    // Only complete frames carry a new picture; blank and other frames are
    // never written.
    if (sample.frameStatus != FrameStatus::complete || !sample.isValid()) {
        return;
    }
    framesCaptured_.fetch_add(1, std::memory_order_relaxed);
    if (!tryAdmit(framesInFlight_, maxFramesInFlight_)) {
        framesDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    queue_.async([this, sample = std::move(sample)]() mutable {
        // The frame is released inside handleVideo(), before its place is.
        handleVideo(std::move(sample));
        framesInFlight_.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void ScreenRecorder::onAudioSample(StreamOutputType type, AudioSample sample) {
    std::atomic<int>& inFlight =
        type == StreamOutputType::audio ? systemAudioInFlight_ : microphoneInFlight_;
    if (!tryAdmit(inFlight, kMaxAudioBuffersInFlight)) {
        audioBuffersDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    queue_.async([this, type, &inFlight, sample = std::move(sample)] {
        if (type == StreamOutputType::audio) {
            handleSystemAudio(sample);
        } else {
            handleMicrophone(sample);
        }
        inFlight.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void ScreenRecorder::handleVideo(VideoSample sample) {
    SegmentWriter::VideoInput& input = writer_->videoInput();
    // Checked before the retimer, so a dropped frame neither anchors the
    // timeline nor moves its end.
    if (!input.isReadyForMoreMediaData()) {
        framesDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (retimer_.isPaused()) {
        framesWhilePaused_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const std::optional<MediaTime> t = retimer_.videoTime(sample);
    // A frame not after the last one written (a repeat may have taken its
    // place) would be refused by the writer.
    if (!t || (lastVideoBuffer_ && *t <= lastVideoPTS_)) {
        framesDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    VideoSample copy =
        sample.withTiming(SampleTiming{sample.timing.duration, *t, MediaTime::invalid()});
    input.append(copy);
    framesWritten_.fetch_add(1, std::memory_order_relaxed);
    didCaptureVideo_ = true;
    lastVideoBuffer_ = std::move(copy);
    lastVideoPTS_ = *t;
}

MediaTime ScreenRecorder::nextSegmentBoundaryAfter(MediaTime t) const {
    const int64_t segmentSeconds = std::max<int64_t>(writer_->configuration().segmentSeconds, 1);
    const MediaTime exact = t.convertScale(1'000'000'000);
    const int64_t segmentNs = segmentSeconds * 1'000'000'000;
    const int64_t index = exact.value() >= 0 ? exact.value() / segmentNs + 1 : 0;
    return MediaTime(index * segmentSeconds, 1);
}

// A frame without a new picture: the screen is static. Once the timeline has
// passed a segment boundary since the last frame written, the last picture is
// written again at that boundary and pushed through the encoder, so the
// segment that ends there is delivered now rather than when the screen next
// changes.
void ScreenRecorder::handleTimeMark(MediaTime hostTime) {
    if (!lastVideoBuffer_) {
        return;
    }
    const std::optional<MediaTime> now = retimer_.timelineTime(hostTime);
    if (!now) {
        return;
    }
    bool repeated = false;
    for (MediaTime boundary = nextSegmentBoundaryAfter(lastVideoPTS_); boundary <= *now;
         boundary = nextSegmentBoundaryAfter(lastVideoPTS_)) {
        if (!writer_->videoInput().isReadyForMoreMediaData()) {
            break;  // the next mark tries again
        }
        repeatLastFrame(boundary);
        repeated = true;
    }
    if (repeated) {
        writer_->drainVideo();
    }
}

void ScreenRecorder::repeatLastFrame(MediaTime at) {
    const MediaTime duration = lastVideoBuffer_->timing.duration;
    VideoSample copy =
        lastVideoBuffer_->withTiming(SampleTiming{duration, at, MediaTime::invalid()});
    writer_->videoInput().append(copy);
    framesRepeated_.fetch_add(1, std::memory_order_relaxed);
    retimer_.extendVideoEnd(at + (duration.isValid() && duration.value() > 0
                                      ? duration
                                      : TimelineRetimer::kDefaultFrameDuration));
    lastVideoBuffer_ = std::move(copy);
    lastVideoPTS_ = at;
}

void ScreenRecorder::handleSystemAudio(const AudioSample& sample) {
    SegmentWriter::AudioInput* input = writer_->systemAudioInput();
    if (!input || sample.frameCount < 1) {
        return;
    }
    if (!retimer_.anchored() || retimer_.isPaused()) {
        return;
    }
    if (!input->isReadyForMoreMediaData()) {
        audioBuffersDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (auto retimed = retimer_.retimedAudio(sample)) {
        input->append(*retimed);
    }
}

void ScreenRecorder::handleMicrophone(const AudioSample& sample) {
    if (!micWriter_ || sample.frameCount < 1) {
        return;
    }
    if (!retimer_.anchored() || retimer_.isPaused()) {
        return;
    }
    const std::optional<AudioSample> retimed = retimer_.retimedAudio(sample);
    if (!retimed) {
        return;
    }
    // The file writes on its own thread; append() only hands the buffer over.
    if (!micMuted_) {
        micWriter_->append(*retimed);
        return;
    }
    // Muted: silence of the same length and time keeps the file in step.
    if (auto silent = MicFileWriter::silence(*retimed, retimed->frameCount,
                                             retimed->presentationTimeStamp())) {
        micWriter_->append(*silent);
    }
}

void ScreenRecorder::pause() {
    queueTimelineStep(queue_, retimer_, clock_, kComponent, TimelineStep::pause);
}

void ScreenRecorder::resume() {
    queueTimelineStep(queue_, retimer_, clock_, kComponent, TimelineStep::resume);
}

void ScreenRecorder::setMicMuted(bool muted) {
    queue_.async([this, muted] { micMuted_ = muted; });
}

void ScreenRecorder::closeTimeline() {
    if (!retimer_.anchored()) {
        return;
    }
    // stop() paused the timeline at its call, so the end is that moment (or
    // an earlier pause), whenever this step runs.
    const MediaTime end = retimer_.timelineEnd(clock_.now());
    if (end > lastVideoPTS_ && lastVideoBuffer_ &&
        writer_->videoInput().isReadyForMoreMediaData()) {
        writer_->videoInput().append(lastVideoBuffer_->withTiming(
            SampleTiming{MediaTime::invalid(), end, MediaTime::invalid()}));
    }
    if (writer_->status() == WriterStatus::writing) {
        // Also makes the last frame last until the end when the copy above
        // could not be handed off.
        writer_->endSession(end);
    }
    lastVideoBuffer_.reset();
}

Task<bool> ScreenRecorder::stop() {
    // Paused at the moment of the call: samples the stream still delivers
    // while capture stops (which may take a while on a busy machine) are off
    // the timeline, and the end does not move with them.
    queueTimelineStep(queue_, retimer_, clock_, kComponent, TimelineStep::stop);
    if (auto stream = std::move(stream_)) {
        try {
            co_await stream->stopCapture();
        } catch (...) {
            // The recording ends either way; what was captured is kept.
            logging::handled(kComponent, "Stopping capture", std::current_exception());
        }
    }
    const bool didCaptureVideo = co_await queue_.onQueue([this] {
        closeTimeline();
        return didCaptureVideo_;
    });
    if (didCaptureVideo) {
        co_await writer_->finish();
        co_return true;
    }
    if (writer_->status() == WriterStatus::writing) {
        writer_->cancelWriting();
    }
    co_return false;
}

Task<void> ScreenRecorder::cancel() {
    if (auto stream = std::move(stream_)) {
        try {
            co_await stream->stopCapture();
        } catch (...) {
            // Everything is discarded either way.
            logging::handled(kComponent, "Stopping capture to cancel", std::current_exception());
        }
    }
    co_await queue_.onQueue([this] { lastVideoBuffer_.reset(); });
    if (writer_->status() == WriterStatus::writing) {
        // Joins the writer's thread: waits at most for the frame it is encoding.
        writer_->cancelWriting();
    }
}

Task<void> ScreenRecorder::drain() {
    co_await queue_.onQueue([] {});
}

ScreenRecorderStats ScreenRecorder::stats() const {
    ScreenRecorderStats stats;
    stats.framesCaptured = framesCaptured_.load(std::memory_order_relaxed);
    stats.framesWritten = framesWritten_.load(std::memory_order_relaxed);
    stats.framesWhilePaused = framesWhilePaused_.load(std::memory_order_relaxed);
    stats.framesDropped = framesDropped_.load(std::memory_order_relaxed);
    stats.framesRepeated = framesRepeated_.load(std::memory_order_relaxed);
    stats.audioBuffersDropped = audioBuffersDropped_.load(std::memory_order_relaxed);
    if (micWriter_) {
        stats.audioBuffersDropped += micWriter_->buffersDropped();
    }
    return stats;
}

}  // namespace tessera
