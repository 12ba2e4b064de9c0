#pragma once

// The capture stream of the Linux desktop: screen frames from X11 (a display
// with some windows painted out, or one window's own content) and system and
// microphone audio from PulseAudio, each stamped on the host clock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include "media/CaptureStream.h"
#include "platform/pulse/PulseAudioCapture.h"
#include "platform/x11/X11ScreenCapture.h"
#include "support/HostClock.h"
#include "support/SerialQueue.h"

namespace tessera {

// Threads: frames arrive on the X11 capture thread, system audio and
// microphone audio each on the mainloop thread of their own PulseAudio
// connection; so each output is called one sample at a time, in capture order.
// startCapture and stopCapture open and close the X and audio connections on
// a control queue of the stream's own, so the awaiting executor never blocks
// on them. The stopped-with-error handler runs at most once, on the thread
// that saw the failure; no sample of any output is delivered after it: the
// report waits for a delivery in progress on another thread to return, and
// none starts after.
class X11CaptureStream final : public CaptureStream {
  public:
    static constexpr const char* kControlQueueLabel = "com.tessera.recorder.capture-control";

    // displayName: the X display to open (none: $DISPLAY).
    X11CaptureStream(std::optional<std::string> displayName, const ContentFilter& filter,
                     const StreamConfiguration& configuration, const HostClock& clock,
                     StreamStoppedHandler onStoppedWithError);
    ~X11CaptureStream() override;

    void addScreenOutput(VideoHandler handler) override;
    // Throws RecorderError when the configuration does not capture that kind
    // of audio.
    void addAudioOutput(StreamOutputType type, AudioHandler handler) override;
    Task<void> startCapture() override;
    Task<void> stopCapture() override;

    // Changed screen pictures skipped because all configuration.queueDepth
    // frames were still held downstream. Any thread.
    std::uint64_t droppedFrames() const { return droppedFrames_.load(std::memory_order_relaxed); }

  private:
    void startSources();
    void stopSources();
    template <class Handler, class Sample>
    void deliver(const Handler& handler, Sample sample);
    void reportFailure(std::exception_ptr error);

    std::optional<std::string> displayName_;
    X11CaptureTarget target_;
    X11CaptureSettings settings_;
    StreamConfiguration configuration_;
    const HostClock& clock_;
    StreamStoppedHandler onStoppedWithError_;

    // Set before startCapture(); read by the capture threads afterwards.
    VideoHandler screen_;
    AudioHandler systemAudio_;
    AudioHandler microphone_;

    // Control queue only (and the destructor, after the queue is idle).
    std::unique_ptr<X11ScreenCapture> screenCapture_;
    std::unique_ptr<PulseAudioCapture> systemAudioCapture_;
    std::unique_ptr<PulseAudioCapture> microphoneCapture_;

    // Deliveries hold it shared; a failure takes it exclusively to set
    // failed_, after which nothing more is delivered.
    std::shared_mutex deliveryMutex_;
    bool failed_ = false;
    std::atomic<std::uint64_t> droppedFrames_ = 0;

    SerialQueue control_{kControlQueueLabel};
};

// Makes X11CaptureStreams on one X display.
class X11CaptureStreamFactory final : public CaptureStreamFactory {
  public:
    X11CaptureStreamFactory(std::optional<std::string> displayName, const HostClock& clock)
        : displayName_(std::move(displayName)), clock_(clock) {}

    // Throws RecorderError for a filter without a window or a configuration
    // without a picture size.
    std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              StreamStoppedHandler onStoppedWithError) override;

  private:
    std::optional<std::string> displayName_;
    const HostClock& clock_;
};

// The frame rate that a minimum frame interval allows (at least 1).
int frameRateForInterval(const MediaTime& minimumFrameInterval);

}  // namespace tessera
