#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/MicLevelMeter.h"
#include "platform/pulse/PulseAudioCapture.h"
#include "support/HostClock.h"

namespace tessera {

// The level meter's input on PulseAudio: the chosen or default microphone,
// delivered as blocks of about 1024 frames of its first channel.
class PulseMicLevelInput final : public MicLevelInput {
  public:
    static constexpr int kBlockFrames = 1024;

    // deviceID: a source name, or none for the default microphone.
    explicit PulseMicLevelInput(std::optional<std::string> deviceID);
    ~PulseMicLevelInput() override;

    bool start(OnBlock onBlock) override;
    void stop() override;

    // A factory for MicLevelMeter::Ports::makeInput.
    static std::function<std::unique_ptr<MicLevelInput>()> factory(
        std::function<std::optional<std::string>()> selectedDeviceID);

  private:
    std::optional<std::string> deviceID_;
    SystemHostClock clock_;
    std::unique_ptr<PulseAudioCapture> capture_;
    // Mainloop thread only.
    std::vector<float> firstChannel_;
};

}  // namespace tessera
