#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/DiscoveryPorts.h"
#include "media/CameraSource.h"
#include "platform/v4l2/V4l2Device.h"
#include "support/HostClock.h"

namespace tessera {

// The cameras of a V4L2 device directory: lists them for the camera menu and
// opens one for capture.
//
// A camera is a `video<N>` node whose own capabilities include video capture
// (metadata and output nodes of the same device are left out), in the order of
// N. Its id is the stable `v4l/by-id/...` link that resolves to the node when
// there is one (it survives replugging into another port and renumbering),
// else the node's path; its name is the driver's card name.
//
// A node that refuses to open for lack of permission (EACCES or EPERM: the
// user is not in the "video" group) is listed all the same, named and
// filtered by what sysfs says of it (its name, and index 0 for a device's
// capture node), so that turning it on tells the user why it cannot be used
// instead of claiming that there is no camera.
//
// Main thread. Listing and opening block briefly on the drivers.
class V4l2CameraSource final : public CaptureDeviceSource, public CameraSource {
  public:
    // The real devices under `deviceDirectory`, timed on the monotonic clock.
    explicit V4l2CameraSource(std::string deviceDirectory = "/dev");
    // Devices opened through `opener`; frames without a monotonic driver
    // stamp are stamped with `clock`.
    // `sysfsDirectory` describes the nodes that cannot be opened.
    V4l2CameraSource(std::string deviceDirectory, std::shared_ptr<V4l2Opener> opener,
                     std::shared_ptr<const HostClock> clock,
                     std::string sysfsDirectory = "/sys/class/video4linux");

    std::vector<CaptureDeviceOption> devices() override;

    // Opens the camera, asks for MJPEG (else YUYV) at the largest size up to
    // 1280 × 720 and 30 frames per second, and starts streaming through
    // memory-mapped buffers on the stream's own thread.
    std::unique_ptr<CameraStream> startCamera(const std::string& deviceID,
                                              CameraStreamHandlers handlers) override;

  private:
    struct Camera {
        CaptureDeviceOption option;
        std::string nodePath;
        // Listed although it refused to open for lack of permission.
        bool accessDenied = false;
    };

    std::vector<Camera> listCameras();
    // The listed camera for an id: its id, or its node reached through any
    // path (the node itself or another link to it).
    static const Camera* find(const std::vector<Camera>& cameras, const std::string& deviceID);

    std::string deviceDirectory_;
    std::shared_ptr<V4l2Opener> opener_;
    std::shared_ptr<const HostClock> clock_;
    std::string sysfsDirectory_;
};

}  // namespace tessera
