#pragma once

#include <filesystem>

#include "capture/ControllerPorts.h"

namespace tessera {

// Camera and microphone access on Linux, where there is no prompt: access is
// what the file permissions give. The camera counts as granted unless every
// video device there is refuses to open with EACCES or EPERM (the user is not
// in the "video" group); with no device at all it is granted, and opening the
// camera then reports that none is available. PulseAudio has no access
// control of its own, so the microphone is granted.
class LinuxDeviceAccess final : public DeviceAccess {
  public:
    explicit LinuxDeviceAccess(std::filesystem::path deviceFolder = "/dev")
        : deviceFolder_(std::move(deviceFolder)) {}

    Task<bool> requestAccess(MediaDevice device) override;

  private:
    std::filesystem::path deviceFolder_;
};

}  // namespace tessera
