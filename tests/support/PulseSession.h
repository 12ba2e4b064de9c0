#pragma once

#include <sys/types.h>

#include <stop_token>
#include <string>
#include <thread>

namespace tessera::testing {

// A private PulseAudio daemon for one test, in its own runtime folder, with a
// null sink "tessera_null" (48 kHz stereo; its monitor is the system audio)
// and a microphone "tessera_mic" remapped from that monitor. While it lives,
// PULSE_SERVER points this process's clients at it. Stopped on destruction.
class PulseSession {
  public:
    PulseSession();
    ~PulseSession();
    PulseSession(const PulseSession&) = delete;
    PulseSession& operator=(const PulseSession&) = delete;

    // "unix:<socket>".
    const std::string& server() const { return server_; }
    // Unloads the fake microphone, as if it were unplugged.
    void removeMicrophone();
    // Suspends the null sink, so that its monitor and the microphone fed
    // from it deliver nothing while their streams stay connected and are not
    // told; or wakes it up again.
    void suspendSink(bool suspended);
    // Adds another null sink, named `name`.
    void addSink(const std::string& name);

  private:
    std::string directory_;
    std::string server_;
    pid_t daemon_ = -1;
};

// Plays a sine tone (48 kHz stereo float, both channels alike) into a sink of
// the current PULSE_SERVER from a thread of its own, until destroyed. Returns
// from the constructor once the tone comes through the sink's monitor. Throws
// std::runtime_error when the server refuses the stream.
class TonePlayer {
  public:
    explicit TonePlayer(double frequency, double amplitude = 0.5,
                        const std::string& sink = "tessera_null");
    ~TonePlayer();
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

  private:
    static void waitUntilHeard(const std::string& sink, double amplitude);
    std::jthread thread_;
};

}  // namespace tessera::testing
