#pragma once

#include <sys/types.h>

#include <string>

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

  private:
    std::string directory_;
    std::string server_;
    pid_t daemon_ = -1;
};

}  // namespace tessera::testing
