#include "platform/desktop/LinuxDeviceAccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "support/Log.h"

namespace tessera {

namespace {

bool cameraAccessible(const std::filesystem::path& folder) {
    std::error_code error;
    bool anyDevice = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("video")) {
            continue;
        }
        anyDevice = true;
        const int fd = ::open(entry.path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EACCES && errno != EPERM) {
            // Busy or broken: not a matter of permission.
            return true;
        }
    }
    if (error) {
        logging::warning("device-access",
                         "cannot list " + folder.string() + ": " + error.message());
    }
    return !anyDevice;
}

}  // namespace

Task<bool> LinuxDeviceAccess::requestAccess(MediaDevice device) {
    if (device == MediaDevice::microphone) {
        co_return true;
    }
    const bool granted = cameraAccessible(deviceFolder_);
    if (!granted) {
        logging::info("device-access",
                      "every camera refused to open; membership of the \"video\" group grants "
                      "access");
    }
    co_return granted;
}

}  // namespace tessera
