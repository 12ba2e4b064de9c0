#include "media/CameraRecorder.h"

#include <cstring>
#include <utility>

#include "support/InFlightLimit.h"
#include "support/Log.h"

namespace tessera {

namespace {

constexpr const char* kComponent = "camera-recorder";

// The picture flipped left to right, in storage of its own.
std::shared_ptr<const PixelBuffer> mirroredCopy(const PixelBuffer& source) {
    std::shared_ptr<PixelBuffer> copy = PixelBuffer::make(source.width, source.height);
    copy->alphaIsPadding = source.alphaIsPadding;
    for (int y = 0; y < source.height; ++y) {
        const uint8_t* from = source.row(y);
        uint8_t* to = copy->row(y) + static_cast<size_t>(source.width - 1) * 4;
        for (int x = 0; x < source.width; ++x, from += 4, to -= 4) {
            std::memcpy(to, from, 4);
        }
    }
    return copy;
}

std::shared_ptr<SegmentWriter> makePlainWriter(const SegmentWriter::Configuration& configuration,
                                               CameraRecorder::SegmentHandler onSegment) {
    return std::make_shared<SegmentWriter>(configuration, std::move(onSegment));
}

}  // namespace

CameraRecorder::CameraRecorder(CameraSource& cameras, std::shared_ptr<CameraFrameEffects> effects,
                               Executor& mainThread, const HostClock& clock,
                               WriterFactory makeWriter)
    : cameras_(cameras),
      effects_(std::move(effects)),
      mainThread_(mainThread),
      clock_(clock),
      makeWriter_(makeWriter ? std::move(makeWriter) : WriterFactory(makePlainWriter)) {
    mailbox_->owner = this;
}

CameraRecorder::~CameraRecorder() {
    mailbox_->owner = nullptr;
    // Stop the camera before the queue goes, so no frame is handed to a queue
    // that no longer exists.
    stream_.reset();
}

void CameraRecorder::startPreview(const std::string& deviceID, bool mirrored) {
    mirrored_.store(mirrored, std::memory_order_relaxed);
    CameraStreamHandlers handlers;
    handlers.onFrame = [this](VideoSample sample) {
        onCameraFrame(std::move(sample));
    };
    handlers.onStopped = [mailbox = std::weak_ptr<PreviewMailbox>(mailbox_),
                          executor = mainThread_.ref()](const RecorderError& error) {
        logging::warning(kComponent, std::string("the camera stopped: ") + error.what());
        executor.post([mailbox, error] {
            auto box = mailbox.lock();
            if (box && box->owner && box->owner->onCameraStopped) {
                box->owner->onCameraStopped(error);
            }
        });
    };
    stream_ = cameras_.startCamera(deviceID, std::move(handlers));
}

void CameraRecorder::setMirrored(bool mirrored) {
    mirrored_.store(mirrored, std::memory_order_relaxed);
}

void CameraRecorder::setEffectSettings(const CameraEffectSettings& settings) {
    *effectSettings_.lock() = settings;
}

void CameraRecorder::onCameraFrame(VideoSample sample) {
    framesReceived_.fetch_add(1, std::memory_order_relaxed);
    if (!tryAdmit(framesInFlight_, kMaxFramesInFlight)) {
        framesDroppedLate_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    queue_.async([this, sample = std::move(sample)]() mutable {
        handleFrame(sample);
        sample = {};  // the pixels go back before the place does
        framesInFlight_.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void CameraRecorder::handleFrame(const VideoSample& cameraFrame) {
    if (!cameraFrame.isValid()) {
        return;
    }
    const VideoSample frame = chooseFrame(cameraFrame);
    postPreview(frame);
    record(frame);
}

// The camera's frame itself unless mirroring or an effect changes it; the
// timing always stays the camera's.
VideoSample CameraRecorder::chooseFrame(const VideoSample& cameraFrame) {
    VideoSample frame = cameraFrame;
    if (mirrored_.load(std::memory_order_relaxed)) {
        frame.pixels = mirroredCopy(*cameraFrame.pixels);
    }
    const CameraEffectSettings settings = *effectSettings_.lock();
    if (!effects_ || settings.isIdentity()) {
        return frame;
    }
    try {
        if (auto processed = effects_->process(frame.pixels, settings,
                                               cameraFrame.timing.presentationTimeStamp.seconds());
            processed && processed->width > 0 && processed->height > 0) {
            frame.pixels = std::move(processed);
        }
    } catch (...) {
        // The frame is shown and recorded without effects rather than lost.
        logging::handled(kComponent, "applying the camera effects", std::current_exception());
    }
    return frame;
}

void CameraRecorder::postPreview(const VideoSample& frame) {
    const bool wasEmpty = mailbox_->latest.with([&](std::optional<VideoSample>& latest) {
        const bool empty = !latest.has_value();
        latest = frame;
        return empty;
    });
    if (!wasEmpty) {
        return;  // a hand-over is already on its way and takes this newer frame
    }
    mainThread_.post([mailbox = std::weak_ptr<PreviewMailbox>(mailbox_)] {
        auto box = mailbox.lock();
        if (!box) {
            return;
        }
        std::optional<VideoSample> frame = box->latest.with(
            [](std::optional<VideoSample>& latest) { return std::exchange(latest, std::nullopt); });
        if (frame && box->owner && box->owner->onPreviewFrame) {
            box->owner->onPreviewFrame(*frame);
        }
    });
}

void CameraRecorder::record(const VideoSample& frame) {
    if (!armed_ || writerFailedToStart_) {
        return;
    }
    if (!writer_ && !ensureWriter(frame)) {
        return;
    }
    SegmentWriter::VideoInput& input = writer_->videoInput();
    // Checked before the retimer, so a dropped frame neither anchors the
    // timeline nor moves its end.
    if (!input.isReadyForMoreMediaData()) {
        framesNotRecorded_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const std::optional<MediaTime> t = retimer_.videoTime(frame);
    if (!t) {
        framesNotRecorded_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (input.append(
            frame.withTiming(SampleTiming{frame.timing.duration, *t, MediaTime::invalid()}))) {
        framesRecorded_.fetch_add(1, std::memory_order_relaxed);
    } else {
        framesNotRecorded_.fetch_add(1, std::memory_order_relaxed);
    }
}

// The writer of this recording, sized by its first frame. A writer that fails
// to start is not tried again in this recording, which goes on without camera
// video; the user is not told, the log is.
bool CameraRecorder::ensureWriter(const VideoSample& frame) {
    if (!onSegment_) {
        return false;
    }
    SegmentWriter::Configuration configuration;
    configuration.width = frame.pixels->width;
    configuration.height = frame.pixels->height;
    configuration.frameRate = kFrameRate;
    configuration.bitrate = kBitrate;
    configuration.systemAudio = false;
    configuration.segmentSeconds = kSegmentSeconds;
    std::shared_ptr<SegmentWriter> writer = makeWriter_(configuration, onSegment_);
    try {
        writer->start();
    } catch (...) {
        writerFailedToStart_ = true;
        logging::handled(kComponent, "starting the camera writer", std::current_exception());
        return false;
    }
    writer_ = std::move(writer);
    return true;
}

void CameraRecorder::beginRecording(SegmentHandler onSegment) {
    queue_.async([this, onSegment = std::move(onSegment)]() mutable {
        onSegment_ = std::move(onSegment);
        retimer_ = TimelineRetimer();
        // A recording that was never finished is abandoned: its writer
        // delivers nothing more.
        if (auto old = std::exchange(writer_, nullptr);
            old && old->status() == WriterStatus::writing) {
            old->cancelWriting();
        }
        writerFailedToStart_ = false;
        armed_ = true;
    });
}

void CameraRecorder::pause() {
    queueTimelineStep(queue_, retimer_, clock_, kComponent, TimelineStep::pause);
}

void CameraRecorder::resume() {
    queueTimelineStep(queue_, retimer_, clock_, kComponent, TimelineStep::resume);
}

namespace {
struct EndedRecording {
    std::shared_ptr<SegmentWriter> writer;
    bool anyFrameWritten = false;
};
}  // namespace

Task<void> CameraRecorder::finishRecording() {
    EndedRecording ended = co_await queue_.onQueue([this] {
        armed_ = false;
        onSegment_ = nullptr;
        return EndedRecording{std::exchange(writer_, nullptr), retimer_.anchored()};
    });
    if (!ended.writer) {
        co_return;
    }
    if (ended.anyFrameWritten) {
        co_await ended.writer->finish();
    } else if (ended.writer->status() == WriterStatus::writing) {
        ended.writer->cancelWriting();
    }
}

Task<void> CameraRecorder::cancelRecording() {
    std::shared_ptr<SegmentWriter> writer = co_await queue_.onQueue([this] {
        armed_ = false;
        onSegment_ = nullptr;
        return std::exchange(writer_, nullptr);
    });
    if (writer && writer->status() == WriterStatus::writing) {
        writer->cancelWriting();
    }
}

Task<void> CameraRecorder::stopSession() {
    if (!stream_) {
        co_return;
    }
    // Stopping joins the camera's capture thread, which may wait on the
    // driver: done on the camera queue, not on the main thread.
    std::shared_ptr<CameraStream> stream = std::move(stream_);
    co_await queue_.onQueue([stream] { stream->stop(); });
}

Task<void> CameraRecorder::drain() {
    co_await queue_.onQueue([] {});
}

CameraRecorderStats CameraRecorder::stats() const {
    CameraRecorderStats stats;
    stats.framesReceived = framesReceived_.load(std::memory_order_relaxed);
    stats.framesDroppedLate = framesDroppedLate_.load(std::memory_order_relaxed);
    stats.framesRecorded = framesRecorded_.load(std::memory_order_relaxed);
    stats.framesNotRecorded = framesNotRecorded_.load(std::memory_order_relaxed);
    return stats;
}

}  // namespace tessera
