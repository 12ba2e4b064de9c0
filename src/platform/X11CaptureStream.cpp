#include "platform/X11CaptureStream.h"

#include <cmath>

#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

namespace {

// A zero or invalid interval sets no limit; the X11 capture still needs a
// pace, and 60 frames a second is the most any screen here shows.
constexpr int kUnlimitedFrameRate = 60;

X11CaptureTarget targetFor(const ContentFilter& filter) {
    X11CaptureTarget target;
    if (filter.kind == ContentFilter::Kind::window) {
        target.kind = X11CaptureTarget::Kind::window;
        target.id = filter.windowID;
    } else {
        target.kind = X11CaptureTarget::Kind::display;
        target.id = filter.displayID;
        target.excludedWindows = filter.excludedWindowIDs;
        target.keptWindows = filter.exceptingWindowIDs;
    }
    return target;
}

}  // namespace

int frameRateForInterval(const MediaTime& minimumFrameInterval) {
    if (!minimumFrameInterval.isValid() || minimumFrameInterval.value() <= 0) {
        return kUnlimitedFrameRate;
    }
    const double rate = static_cast<double>(minimumFrameInterval.timescale()) /
                        static_cast<double>(minimumFrameInterval.value());
    return std::max(1, static_cast<int>(std::lround(rate)));
}

X11CaptureStream::X11CaptureStream(std::optional<std::string> displayName,
                                   const ContentFilter& filter,
                                   const StreamConfiguration& configuration, const HostClock& clock,
                                   StreamStoppedHandler onStoppedWithError)
    : displayName_(std::move(displayName)),
      target_(targetFor(filter)),
      settings_{static_cast<int>(configuration.width),
                static_cast<int>(configuration.height),
                frameRateForInterval(configuration.minimumFrameInterval),
                configuration.showsCursor,
                configuration.showMouseClicks,
                configuration.queueDepth},
      configuration_(configuration),
      clock_(clock),
      onStoppedWithError_(std::move(onStoppedWithError)) {}

X11CaptureStream::~X11CaptureStream() {
    // Behind whatever start or stop is still queued; the queue (the last
    // member) runs it and joins before any other member goes.
    control_.async([this] { stopSources(); });
}

void X11CaptureStream::addScreenOutput(VideoHandler handler) {
    screen_ = std::move(handler);
}

void X11CaptureStream::addAudioOutput(StreamOutputType type, AudioHandler handler) {
    switch (type) {
        case StreamOutputType::audio:
            if (!configuration_.capturesAudio) {
                throw RecorderError("This capture does not record system audio.");
            }
            systemAudio_ = std::move(handler);
            return;
        case StreamOutputType::microphone:
            if (!configuration_.captureMicrophone) {
                throw RecorderError("This capture does not record the microphone.");
            }
            microphone_ = std::move(handler);
            return;
        case StreamOutputType::screen:
            break;
    }
    throw RecorderError("Screen frames need a screen output, not an audio output.");
}

Task<void> X11CaptureStream::startCapture() {
    co_await control_.onQueue([this] { startSources(); });
}

Task<void> X11CaptureStream::stopCapture() {
    co_await control_.onQueue([this] { stopSources(); });
}

void X11CaptureStream::startSources() {
    if (screenCapture_) {
        return;
    }
    auto onFailed = [this](std::exception_ptr error) {
        reportFailure(error);
    };
    try {
        // Audio first: a missing device fails the start before any frame is
        // grabbed.
        if (systemAudio_) {
            systemAudioCapture_ = std::make_unique<PulseAudioCapture>(
                PulseCaptureSource::systemAudio(), clock_,
                PulseAudioCapture::Callbacks{
                    [this](AudioSample sample) { deliver(systemAudio_, std::move(sample)); },
                    onFailed});
            systemAudioCapture_->start();
        }
        if (microphone_) {
            microphoneCapture_ = std::make_unique<PulseAudioCapture>(
                PulseCaptureSource::microphone(configuration_.microphoneCaptureDeviceID), clock_,
                PulseAudioCapture::Callbacks{
                    [this](AudioSample sample) { deliver(microphone_, std::move(sample)); },
                    onFailed});
            microphoneCapture_->start();
        }
        screenCapture_ = std::make_unique<X11ScreenCapture>(
            displayName_, target_, settings_, clock_,
            X11ScreenCapture::Callbacks{[this](VideoSample frame) {
                                            // Set before the thread starts, reset
                                            // only after it has been joined.
                                            droppedFrames_.store(screenCapture_->droppedFrames(),
                                                                 std::memory_order_relaxed);
                                            deliver(screen_, std::move(frame));
                                        },
                                        onFailed});
        screenCapture_->start();
    } catch (...) {
        stopSources();
        throw;
    }
}

void X11CaptureStream::stopSources() {
    // Each stop joins its source's thread, so no handler runs after this.
    if (screenCapture_) {
        screenCapture_->stop();
        screenCapture_.reset();
    }
    if (systemAudioCapture_) {
        systemAudioCapture_->stop();
        systemAudioCapture_.reset();
    }
    if (microphoneCapture_) {
        microphoneCapture_->stop();
        microphoneCapture_.reset();
    }
}

template <class Handler, class Sample>
void X11CaptureStream::deliver(const Handler& handler, Sample sample) {
    std::shared_lock lock(deliveryMutex_);
    if (!failed_ && handler) {
        handler(std::move(sample));
    }
}

void X11CaptureStream::reportFailure(std::exception_ptr error) {
    // One failure ends the whole stream: the other sources keep running until
    // stopCapture, but what they capture is no longer delivered.
    {
        std::unique_lock lock(deliveryMutex_);
        if (failed_) {
            logging::handled("capture-stream", "a further capture failure after the first", error);
            return;
        }
        failed_ = true;
    }
    if (onStoppedWithError_) {
        onStoppedWithError_(error);
    } else {
        logging::handled("capture-stream", "the capture stopped", error);
    }
}

std::unique_ptr<CaptureStream> X11CaptureStreamFactory::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    StreamStoppedHandler onStoppedWithError) {
    if (filter.kind == ContentFilter::Kind::window && filter.windowID == 0) {
        throw RecorderError("No window selected to record.");
    }
    if (configuration.width <= 0 || configuration.height <= 0) {
        throw RecorderError("The capture size must be at least one pixel wide and high.");
    }
    return std::make_unique<X11CaptureStream>(displayName_, filter, configuration, clock_,
                                              std::move(onStoppedWithError));
}

}  // namespace tessera
