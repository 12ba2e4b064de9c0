#include "platform/pulse/PulseAudioCapture.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

namespace {

constexpr int kBytesPerFrame = PulseAudioCapture::kChannels * 4;
// Stamps follow the sample count and move to the measured capture time only
// when the two part by more than kDriftNs for kDriftFragments fragments in a
// row (the clocks drifted), or by more than kJumpNs at once (the server lost
// or held back audio). A single measurement can be tens of milliseconds off on
// a busy machine; re-anchoring on it would cut a gap into the sound.
constexpr int64_t kDriftNs = 20'000'000;
constexpr int kDriftFragments = 10;
constexpr int64_t kJumpNs = 250'000'000;
// How long stop() waits for the audio captured before it: the latency the
// stream reports (a device's buffer; for a monitor, that of the sink it
// monitors) and some room for a busy machine, within a limit.
constexpr pa_usec_t kDrainMarginUs = 150'000;
constexpr pa_usec_t kDrainLimitUs = 1'500'000;

int64_t framesToNs(int64_t frames) {
    return frames * 1'000'000'000 / PulseAudioCapture::kSampleRate;
}

int64_t nsToFrames(int64_t ns) {
    return ns * PulseAudioCapture::kSampleRate / 1'000'000'000;
}

}  // namespace

PulseAudioCapture::PulseAudioCapture(PulseCaptureSource source, const HostClock& clock,
                                     Callbacks callbacks, int fragmentFrames)
    : source_(std::move(source)),
      clock_(clock),
      callbacks_(std::move(callbacks)),
      fragmentFrames_(fragmentFrames) {}

PulseAudioCapture::~PulseAudioCapture() {
    stop();
}

std::string PulseAudioCapture::missingSourceMessage() const {
    if (source_.kind == PulseCaptureSource::Kind::systemAudio) {
        return "System audio cannot be recorded: the audio server has no output device.";
    }
    if (source_.name) {
        return "The selected microphone is not available — choose another one or turn the "
               "microphone off.";
    }
    return "No microphone is available — connect one or turn the microphone off.";
}

std::string PulseAudioCapture::resolveDevice() {
    if (source_.kind == PulseCaptureSource::Kind::systemAudio) {
        const auto sink = pulse_->defaults().defaultSinkName;
        auto monitor = sink.empty() ? std::nullopt : pulse_->monitorOfSink(sink);
        if (!monitor) {
            throw RecorderError(missingSourceMessage());
        }
        return *monitor;
    }
    const std::string name = source_.name ? *source_.name : pulse_->defaults().defaultSourceName;
    // A monitor is what the computer plays, never a microphone.
    const auto info = name.empty() ? std::nullopt : pulse_->source(name);
    if (!info || info->isMonitor) {
        throw RecorderError(missingSourceMessage());
    }
    return info->name;
}

void PulseAudioCapture::start() {
    try {
        pulse_ = std::make_unique<PulseContext>("Tessera Recorder");
        deviceName_ = resolveDevice();

        PulseContext::Lock lock(*pulse_);
        pulse_->setOnConnectionLost(
            [this] { fail("The connection to the audio server was lost."); });
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kSampleRate, kChannels};
        const char* label = source_.kind == PulseCaptureSource::Kind::systemAudio
                                ? "Tessera system audio"
                                : "Tessera microphone";
        stream_.reset(pa_stream_new(pulse_->context(), label, &spec, nullptr));
        if (!stream_) {
            throw RecorderError("Audio capture could not start: " + pulse_->lastError() + ".");
        }
        pa_stream_set_state_callback(stream_.get(), &PulseAudioCapture::onStreamState, this);
        pa_stream_set_read_callback(stream_.get(), &PulseAudioCapture::onReadable, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.tlength = static_cast<uint32_t>(-1);
        attributes.prebuf = static_cast<uint32_t>(-1);
        attributes.minreq = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(fragmentFrames_ * kBytesPerFrame);
        // DONT_MOVE: when the device goes away the stream fails (and the
        // recording is told) instead of silently recording another device.
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                           PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_.get(), deviceName_.c_str(), &attributes, flags) < 0) {
            throw RecorderError("Audio capture could not start: " + pulse_->lastError() + ".");
        }
        while (pa_stream_get_state(stream_.get()) == PA_STREAM_CREATING) {
            pa_threaded_mainloop_wait(pulse_->mainloop());
        }
        if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
            if (pa_context_errno(pulse_->context()) == PA_ERR_NOENTITY) {
                throw RecorderError(missingSourceMessage());
            }
            throw RecorderError("Audio capture could not start: " + pulse_->lastError() + ".");
        }
        ready_ = true;
    } catch (...) {
        stop();
        throw;
    }
}

void PulseAudioCapture::stop() {
    if (!pulse_) {
        return;
    }
    {
        PulseContext::Lock lock(*pulse_);
        if (stream_ && ready_ && !failed_) {
            drain();
        }
        // Callbacks run only with the lock held, so none runs after this block.
        pulse_->setOnConnectionLost(nullptr);
        if (stream_) {
            pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
            pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) {
                pa_stream_disconnect(stream_.get());
            }
            stream_.reset();
        }
    }
    pulse_.reset();
}

// With the lock held, off the mainloop thread. The mainloop thread keeps
// reading while this waits (pa_threaded_mainloop_wait releases the lock).
void PulseAudioCapture::drain() {
    stopAtNs_ = clock_.now().convertScale(1'000'000'000).value();
    drainTimedOut_ = false;
    auto* api = pa_threaded_mainloop_get_api(pulse_->mainloop());
    pa_usec_t latencyUs = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_.get(), &latencyUs, &negative) != 0 || negative) {
        latencyUs = 0;
    }
    const pa_usec_t waitUs = std::min(latencyUs + kDrainMarginUs, kDrainLimitUs);
    pa_time_event* timeout = pa_context_rttime_new(pulse_->context(), pa_rtclock_now() + waitUs,
                                                   &PulseAudioCapture::onDrainTimeout, this);
    while (!drained() && !drainTimedOut_ && !failed_ &&
           PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get())) && timeout) {
        pa_threaded_mainloop_wait(pulse_->mainloop());
    }
    if (timeout) {
        api->time_free(timeout);
    }
    if (!drained()) {
        logging::info("pulse", "audio captured in the last moment before the stop of " +
                                   deviceName_ + " did not arrive in time and is left out");
    }
}

bool PulseAudioCapture::drained() const {
    return stopAtNs_ && readEndNs_ && *readEndNs_ >= *stopAtNs_;
}

void PulseAudioCapture::onDrainTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                       void* userdata) {
    auto* self = static_cast<PulseAudioCapture*>(userdata);
    self->drainTimedOut_ = true;
    pa_threaded_mainloop_signal(self->pulse_->mainloop(), 0);
}

void PulseAudioCapture::onStreamState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseAudioCapture*>(userdata);
    const auto state = pa_stream_get_state(stream);
    if (self->ready_ && !PA_STREAM_IS_GOOD(state)) {
        self->fail(self->source_.kind == PulseCaptureSource::Kind::systemAudio
                       ? "System audio recording stopped: the audio output went away."
                       : "The microphone was disconnected or stopped working.");
    }
    pa_threaded_mainloop_signal(self->pulse_->mainloop(), 0);
}

void PulseAudioCapture::onReadable(pa_stream*, size_t, void* userdata) {
    static_cast<PulseAudioCapture*>(userdata)->readAvailable();
}

// Each fragment's first frame was captured `latency` before now, where the
// latency pa_stream_get_latency reports for a record stream is the age of the
// oldest unread frame (source latency plus what waits in the stream's
// buffer). Without timing data yet, the read time minus the buffered duration
// stands in (it leaves out the device's own latency, a few milliseconds).
int64_t PulseAudioCapture::captureTimeOfNextFrame(int64_t bufferedFrames) {
    const int64_t nowNs = clock_.now().convertScale(1'000'000'000).value();
    pa_usec_t latencyUs = 0;
    int negative = 0;
    int64_t measuredNs = nowNs - framesToNs(bufferedFrames);
    if (pa_stream_get_latency(stream_.get(), &latencyUs, &negative) == 0) {
        measuredNs = nowNs + (negative ? 1 : -1) * static_cast<int64_t>(latencyUs) * 1000;
    }
    const int64_t expectedNs = anchorNs_ ? *anchorNs_ + framesToNs(framesSinceAnchor_) : 0;
    const int64_t offsetNs = std::llabs(expectedNs - measuredNs);
    driftingFragments_ = offsetNs > kDriftNs ? driftingFragments_ + 1 : 0;
    if (!anchorNs_ || offsetNs > kJumpNs || driftingFragments_ >= kDriftFragments) {
        anchorNs_ = measuredNs;
        framesSinceAnchor_ = 0;
        driftingFragments_ = 0;
        return measuredNs;
    }
    return expectedNs;
}

void PulseAudioCapture::readAvailable() {
    pa_stream* stream = stream_.get();
    while (!failed_) {
        const size_t readable = pa_stream_readable_size(stream);
        if (readable == 0 || readable == static_cast<size_t>(-1)) {
            return;
        }
        const int64_t ptsNs =
            captureTimeOfNextFrame(static_cast<int64_t>(readable) / kBytesPerFrame);
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0) {
            fail("Audio capture failed: " + pulse_->lastError() + ".");
            return;
        }
        if (bytes == 0) {
            return;
        }
        if (!data) {
            // A hole: the server lost samples here. The next fragment is
            // stamped afresh rather than counted on from before the hole.
            pa_stream_drop(stream);
            anchorNs_.reset();
            continue;
        }
        const int64_t frames = static_cast<int64_t>(bytes) / kBytesPerFrame;
        // While stopping, only what was captured before the stop goes out.
        const int64_t kept =
            stopAtNs_ ? std::clamp<int64_t>(nsToFrames(*stopAtNs_ - ptsNs), 0, frames) : frames;
        const auto* first = static_cast<const uint8_t*>(data);
        auto payload = std::make_shared<const std::vector<uint8_t>>(
            first, first + static_cast<size_t>(kept) * kBytesPerFrame);
        pa_stream_drop(stream);
        framesSinceAnchor_ += frames;
        readEndNs_ = ptsNs + framesToNs(frames);
        if (stopAtNs_) {
            pa_threaded_mainloop_signal(pulse_->mainloop(), 0);
        }
        if (kept == 0) {
            continue;
        }
        AudioSample sample;
        sample.format = AudioFormat::float32Interleaved(kSampleRate, kChannels);
        sample.frameCount = kept;
        sample.timings = {
            {MediaTime(1, kSampleRate), MediaTime::fromNanoseconds(ptsNs), MediaTime::invalid()}};
        sample.payload = std::move(payload);
        if (callbacks_.onSamples) {
            callbacks_.onSamples(std::move(sample));
        }
    }
}

void PulseAudioCapture::fail(const std::string& message) {
    if (failed_) {
        return;
    }
    failed_ = true;
    if (callbacks_.onFailed) {
        callbacks_.onFailed(std::make_exception_ptr(RecorderError(message)));
    }
}

}  // namespace tessera
