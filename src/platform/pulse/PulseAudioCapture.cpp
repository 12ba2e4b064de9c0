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
// How long stop() waits at most for the audio captured before it: the
// source's buffer and a fragment, the time they take to reach this process,
// plus room for a busy machine, within a limit. A monitor's audio arrives
// before it is heard, so its sink's latency adds nothing.
constexpr pa_usec_t kDrainMarginUs = 400'000;
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
    end(true);
}

void PulseAudioCapture::stopNow() {
    end(false);
}

void PulseAudioCapture::end(bool drainFirst) {
    if (!pulse_) {
        return;
    }
    {
        PulseContext::Lock lock(*pulse_);
        if (drainFirst && stream_ && ready_ && !failed_) {
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
    pa_usec_t deliveryUs = static_cast<pa_usec_t>(framesToNs(fragmentFrames_) / 1000);
    if (const pa_timing_info* timing = pa_stream_get_timing_info(stream_.get())) {
        deliveryUs += timing->source_usec + timing->transport_usec;
    }
    const pa_usec_t waitUs = std::min(deliveryUs + kDrainMarginUs, kDrainLimitUs);
    pa_time_event* timeout = pa_context_rttime_new(pulse_->context(), pa_rtclock_now() + waitUs,
                                                   &PulseAudioCapture::onDrainTimeout, this);
    while (!drained() && !drainTimedOut_ && !failed_ &&
           PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get())) && timeout) {
        pa_threaded_mainloop_wait(pulse_->mainloop());
    }
    if (timeout) {
        api->time_free(timeout);
    }
    // What was captured up to the stop has been heard by now.
    if (!failed_) {
        deliverHeld(*stopAtNs_);
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

// The capture time of the next frame to read, from the stream's latest timing
// snapshot: at `timestamp`, the server's queue for this stream ended at
// `write_index`, and its last frame had been captured `source_usec` earlier
// (the device's buffer). A monitor source receives what its sink renders
// `sink_usec` before the sink plays it, and a monitored sample counts as
// captured when it is heard, so `sink_usec` moves the time later. The frame at
// the client's `read_index` lies (write_index − read_index) before the queue's
// end. The snapshot may be some time old: it pairs a host time with a stream
// position, and the stream runs on at the sample rate from there. (The
// latency pa_stream_get_latency reports mixes an interpolated stream time
// with the client's read position and can be off by a sink's whole latency.)
// Without a snapshot taken once audio was queued, the read time minus the
// buffered duration stands in.
int64_t PulseAudioCapture::captureTimeOfNextFrame(int64_t bufferedFrames) {
    const int64_t nowNs = clock_.now().convertScale(1'000'000'000).value();
    int64_t measuredNs = nowNs - framesToNs(bufferedFrames);
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_.get());
    if (timing && !timing->read_index_corrupt && !timing->write_index_corrupt &&
        timing->write_index > 0) {
        const auto ageUs = static_cast<int64_t>(pa_timeval_age(&timing->timestamp));
        const int64_t snapshotNs = nowNs - ageUs * 1000;
        const int64_t queuedFrames = (timing->write_index - timing->read_index) / kBytesPerFrame;
        measuredNs = snapshotNs - static_cast<int64_t>(timing->source_usec) * 1000 +
                     static_cast<int64_t>(timing->sink_usec) * 1000 - framesToNs(queuedFrames);
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

// Whether the stream's timing snapshot can place the next frame read. A
// snapshot taken before the server queued any audio for the stream (the one
// made when it connected, and the automatic ones after it until the source
// delivers) holds no capture time: the source may start delivering any time
// later, so counting on from it at the sample rate stamps the first audio too
// early by that delay (hundreds of milliseconds on a busy machine, or when the
// source wakes up slowly). Until there is an anchor, a snapshot counts only
// once the server had audio for the stream when it was taken.
bool PulseAudioCapture::timingPlacesNextFrame() const {
    if (anchorNs_ || timingUnavailable_) {
        return true;
    }
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_.get());
    return timing && !timing->read_index_corrupt && !timing->write_index_corrupt &&
           timing->write_index > 0;
}

// Asks for a snapshot taken now, with audio queued; reading resumes with it.
void PulseAudioCapture::requestTiming() {
    if (timingRequested_) {
        return;
    }
    pa_operation* operation =
        pa_stream_update_timing_info(stream_.get(), &PulseAudioCapture::onTimingUpdated, this);
    if (!operation) {
        logging::warning("pulse", "no timing update for " + deviceName_ + ": " +
                                      pulse_->lastError() + "; stamping by the read time");
        timingUnavailable_ = true;
        return;
    }
    timingRequested_ = true;
    pa_operation_unref(operation);
}

void PulseAudioCapture::onTimingUpdated(pa_stream*, int success, void* userdata) {
    auto* self = static_cast<PulseAudioCapture*>(userdata);
    self->timingRequested_ = false;
    if (!success) {
        logging::warning("pulse", "the timing update of " + self->deviceName_ + " failed: " +
                                      self->pulse_->lastError() + "; stamping by the read time");
        self->timingUnavailable_ = true;
    }
    self->readAvailable();
}

void PulseAudioCapture::readAvailable() {
    pa_stream* stream = stream_.get();
    while (!failed_) {
        const size_t readable = pa_stream_readable_size(stream);
        if (readable == 0 || readable == static_cast<size_t>(-1)) {
            break;
        }
        if (!timingPlacesNextFrame()) {
            requestTiming();
            if (!timingUnavailable_) {
                break;
            }
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
            break;
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
        held_.emplace_back(ptsNs, std::move(payload));
    }
    deliverHeld(clock_.now().convertScale(1'000'000'000).value());
}

// A monitor hands out what its sink is about to play: those frames go out once
// they have been heard, so that a stop never leaves audio from after it.
void PulseAudioCapture::deliverHeld(int64_t upToNs) {
    while (!held_.empty() && !failed_) {
        auto& [ptsNs, payload] = held_.front();
        const int64_t frames = static_cast<int64_t>(payload->size()) / kBytesPerFrame;
        const int64_t due = std::clamp<int64_t>(nsToFrames(upToNs - ptsNs), 0, frames);
        if (due == 0) {
            return;
        }
        AudioSample sample;
        sample.format = AudioFormat::float32Interleaved(kSampleRate, kChannels);
        sample.frameCount = due;
        sample.timings = {
            {MediaTime(1, kSampleRate), MediaTime::fromNanoseconds(ptsNs), MediaTime::invalid()}};
        if (due == frames) {
            sample.payload = std::move(payload);
            held_.pop_front();
        } else {
            const auto* first = payload->data();
            const auto split = static_cast<std::ptrdiff_t>(due * kBytesPerFrame);
            sample.payload = std::make_shared<const std::vector<uint8_t>>(first, first + split);
            payload = std::make_shared<const std::vector<uint8_t>>(first + split,
                                                                   first + payload->size());
            ptsNs += framesToNs(due);
        }
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
