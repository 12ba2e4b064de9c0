#pragma once

// Records one PulseAudio source as 48 kHz stereo 32-bit float and hands each
// fragment on as an AudioSample stamped on the host clock.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "media/MediaSample.h"
#include "platform/pulse/PulseContext.h"
#include "support/HostClock.h"

namespace tessera {

// Which source to record.
struct PulseCaptureSource {
    enum class Kind {
        // The monitor of the default sink: what the computer plays.
        systemAudio,
        // A microphone: the named source, or the default one when none.
        microphone,
    };
    Kind kind = Kind::microphone;
    std::optional<std::string> name;

    static PulseCaptureSource systemAudio() { return {Kind::systemAudio, std::nullopt}; }
    static PulseCaptureSource microphone(std::optional<std::string> name = std::nullopt) {
        return {Kind::microphone, std::move(name)};
    }
};

class PulseAudioCapture {
  public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;

    struct Callbacks {
        // Mainloop thread, one fragment at a time, in capture order.
        std::function<void(AudioSample)> onSamples;
        // Mainloop thread, at most once, when recording ends by itself (the
        // device went away, the server quit). No sample follows. It must not
        // call stop().
        std::function<void(std::exception_ptr)> onFailed;
    };

    // fragmentFrames: the fragment length asked of the server (it may deliver
    // more at once under load).
    PulseAudioCapture(PulseCaptureSource source, const HostClock& clock, Callbacks callbacks,
                      int fragmentFrames = 480);
    ~PulseAudioCapture();
    PulseAudioCapture(const PulseAudioCapture&) = delete;
    PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

    // Any thread but the mainloop's. Connects, finds the source and starts
    // recording; throws RecorderError with a user-facing message when the
    // server, the source or the stream is not available. Call once.
    void start();
    // Any thread but the mainloop's. First waits (bounded) until the audio
    // captured up to this call has been delivered, the last fragment cut at
    // that moment: a record stream hands out what the device captured only a
    // fragment and the device's latency later. Then disconnects. No callback
    // runs after it returns. Idempotent.
    //
    // Samples are stamped with the host time at which they were captured: for
    // a microphone when the device recorded them, for system audio (a sink's
    // monitor) when the sink plays them.
    void stop();
    // Like stop(), but disconnects at once without waiting for the audio still
    // on its way: for a listener that needs no tail, such as a level meter.
    void stopNow();

    // The server's name of the source being recorded; empty before start().
    const std::string& deviceName() const { return deviceName_; }

  private:
    struct StreamDeleter {
        void operator()(pa_stream* s) const { pa_stream_unref(s); }
    };

    std::string resolveDevice();
    std::string missingSourceMessage() const;
    static void onStreamState(pa_stream* stream, void* self);
    static void onReadable(pa_stream* stream, size_t bytes, void* self);
    static void onDrainTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    void end(bool drainFirst);
    void drain();
    bool drained() const;
    bool timingPlacesNextFrame() const;
    void requestTiming();
    static void onTimingUpdated(pa_stream* stream, int success, void* self);
    void readAvailable();
    void deliverHeld(int64_t upToNs);
    int64_t captureTimeOfNextFrame(int64_t bufferedFrames);
    void fail(const std::string& message);

    PulseCaptureSource source_;
    const HostClock& clock_;
    Callbacks callbacks_;
    int fragmentFrames_;
    std::string deviceName_;
    std::unique_ptr<PulseContext> pulse_;
    std::unique_ptr<pa_stream, StreamDeleter> stream_;

    // Mainloop thread, under the lock.
    bool ready_ = false;
    bool failed_ = false;
    // Host time (ns) of the first frame since the last re-anchoring, and the
    // frames delivered since.
    std::optional<int64_t> anchorNs_;
    int64_t framesSinceAnchor_ = 0;
    // A fresh timing snapshot has been asked for; none can be had (the read
    // time stands in).
    bool timingRequested_ = false;
    bool timingUnavailable_ = false;
    // Fragments in a row whose measured time parted from the count.
    int driftingFragments_ = 0;
    // While stopping: the host time (ns) up to which audio is still
    // delivered, whether the wait for it ran out, and the host time just
    // after the last frame read so far.
    std::optional<int64_t> stopAtNs_;
    bool drainTimedOut_ = false;
    std::optional<int64_t> readEndNs_;
    // Fragments read but stamped later than the last read (a monitor's, not
    // heard yet): their host time (ns) and frames.
    std::deque<std::pair<int64_t, std::shared_ptr<const std::vector<uint8_t>>>> held_;
};

}  // namespace tessera
