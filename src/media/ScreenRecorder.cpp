#include "media/ScreenRecorder.h"

namespace tessera {

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
    auto stream = streams_.makeStream(filter, configuration, [this](std::exception_ptr error) {
        if (onStreamStopped) {
            onStreamStopped(error);
        }
    });
    stream->addScreenOutput([this](VideoSample sample) {
        queue_.async([this, sample = std::move(sample)] { handleVideo(sample); });
    });
    if (writer_->systemAudioInput()) {
        stream->addAudioOutput(StreamOutputType::audio, [this](AudioSample sample) {
            queue_.async([this, sample = std::move(sample)] { handleSystemAudio(sample); });
        });
    }
    if (micWriter_) {
        stream->addAudioOutput(StreamOutputType::microphone, [this](AudioSample sample) {
            queue_.async([this, sample = std::move(sample)] { handleMicrophone(sample); });
        });
    }
    stream_ = std::move(stream);
    writer_->start();
    if (micWriter_) {
        micWriter_->start();
    }
    co_await stream_->startCapture();
}

void ScreenRecorder::handleVideo(const VideoSample& sample) {
    if (!sample.isValid()) {
        return;
    }
    // Only complete frames carry a new picture; idle, blank and other frames are
    // never written.
    if (sample.frameStatus != FrameStatus::complete) {
        return;
    }
    SegmentWriter::VideoInput& input = writer_->videoInput();
    // Checked before the retimer, so a dropped frame neither anchors the
    // timeline nor moves its end.
    if (!input.isReadyForMoreMediaData()) {
        return;
    }
    const std::optional<MediaTime> t = retimer_.videoTime(sample);
    if (!t) {
        return;
    }
    VideoSample copy =
        sample.withTiming(SampleTiming{sample.timing.duration, *t, MediaTime::invalid()});
    input.append(copy);
    didCaptureVideo_ = true;
    lastVideoBuffer_ = std::move(copy);
    lastVideoPTS_ = *t;
}

void ScreenRecorder::handleSystemAudio(const AudioSample& sample) {
    SegmentWriter::AudioInput* input = writer_->systemAudioInput();
    if (!input || sample.frameCount < 1) {
        return;
    }
    if (!retimer_.anchored() || retimer_.isPaused() || !input->isReadyForMoreMediaData()) {
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
    queue_.async([this] { retimer_.pause(clock_.now()); });
}

void ScreenRecorder::resume() {
    queue_.async([this] { retimer_.resume(clock_.now()); });
}

void ScreenRecorder::setMicMuted(bool muted) {
    queue_.async([this, muted] { micMuted_ = muted; });
}

void ScreenRecorder::closeTimeline() {
    if (!retimer_.anchored()) {
        return;
    }
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
    if (auto stream = std::move(stream_)) {
        try {
            co_await stream->stopCapture();
        } catch (...) {
            // Errors while stopping capture do not matter any more.
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
            // Errors while stopping capture do not matter any more.
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

}  // namespace tessera
