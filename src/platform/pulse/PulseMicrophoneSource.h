#pragma once

#include <vector>

#include "app/DiscoveryPorts.h"

namespace tessera {

// The microphones PulseAudio offers: its sources that are not the monitor of
// a sink, in the server's order; id = the source name (stable across
// restarts), name = its description. Each call connects briefly; empty when
// no audio server answers.
class PulseMicrophoneSource final : public CaptureDeviceSource {
  public:
    std::vector<CaptureDeviceOption> devices() override;
};

}  // namespace tessera
