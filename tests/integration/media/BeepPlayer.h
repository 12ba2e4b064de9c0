#pragma once

#include <pulse/simple.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tessera::testing {

// Plays silence into a PulseAudio sink without a break and, on request, a
// 100 ms 1 kHz beep; reports the host time at which the beep's first sample
// reaches the sink (now plus the stream's latency when that sample is
// written). For the audio-video sync test and the marker benchmark.
class BeepPlayer {
  public:
    using Clock = std::chrono::steady_clock;

    // Throws std::runtime_error when the stream cannot be opened.
    explicit BeepPlayer(const std::string& sink);
    ~BeepPlayer();
    BeepPlayer(const BeepPlayer&) = delete;
    BeepPlayer& operator=(const BeepPlayer&) = delete;

    // Schedules a beep and returns when its first sample will sound.
    Clock::time_point beep();

  private:
    void play(const std::stop_token& stop);

    pa_simple* stream_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false;
    std::optional<Clock::time_point> scheduled_;
    std::jthread thread_;
};

}  // namespace tessera::testing
