#include "BeepPlayer.h"

#include <pulse/error.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace tessera::testing {

namespace {
constexpr uint32_t kRate = 48000;
constexpr int kChunkFrames = kRate / 100;
constexpr int kBeepChunks = 10;
}  // namespace

BeepPlayer::BeepPlayer(const std::string& sink) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    // A quarter of a second buffered: the player thread of a busy machine may
    // sleep that long without the sink running dry (an underrun lost whole
    // beeps). The beep's time still comes from the measured latency, buffered
    // data included.
    attr.tlength = static_cast<uint32_t>(kRate * 2 * sizeof(float) * 250 / 1000);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    stream_ = pa_simple_new(nullptr, "tessera-test", PA_STREAM_PLAYBACK, sink.c_str(), "beeps",
                            &spec, nullptr, &attr, &error);
    if (!stream_) {
        throw std::runtime_error(std::string("beep stream: ") + pa_strerror(error));
    }
    thread_ = std::jthread([this](std::stop_token stop) { play(stop); });
}

BeepPlayer::~BeepPlayer() {
    thread_.request_stop();
    thread_.join();
    pa_simple_free(stream_);
}

BeepPlayer::Clock::time_point BeepPlayer::beep() {
    std::unique_lock lock(mutex_);
    requested_ = true;
    scheduled_.reset();
    changed_.wait(lock, [&] { return scheduled_.has_value(); });
    return *scheduled_;
}

void BeepPlayer::play(const std::stop_token& stop) {
    std::vector<float> chunk(kChunkFrames * 2);
    int beepLeft = 0;
    int64_t phase = 0;
    while (!stop.stop_requested()) {
        {
            std::lock_guard lock(mutex_);
            if (requested_ && beepLeft == 0) {
                int error = 0;
                const pa_usec_t latency = pa_simple_get_latency(stream_, &error);
                scheduled_ = Clock::now() + std::chrono::microseconds(latency);
                requested_ = false;
                beepLeft = kBeepChunks;
                changed_.notify_all();
            }
        }
        for (int i = 0; i < kChunkFrames; ++i) {
            const float value =
                beepLeft > 0 ? 0.8f * static_cast<float>(
                                          std::sin(2 * std::numbers::pi * 1000.0 * phase / kRate))
                             : 0.0f;
            chunk[2 * i] = chunk[2 * i + 1] = value;
            ++phase;
        }
        beepLeft = std::max(0, beepLeft - 1);
        int error = 0;
        if (pa_simple_write(stream_, chunk.data(), chunk.size() * sizeof(float), &error) < 0) {
            std::fprintf(stderr, "beep stream write failed: %s\n", pa_strerror(error));
            return;
        }
    }
}

}  // namespace tessera::testing
