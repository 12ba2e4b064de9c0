#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "media/CameraSource.h"
#include "platform/v4l2/CameraFrameDecoder.h"
#include "platform/v4l2/V4l2Device.h"
#include "support/HostClock.h"

namespace tessera {

// A streaming V4L2 device and its capture thread. The thread waits in poll(2)
// on the device and on a stop eventfd (no sleeping or spinning), dequeues each
// filled buffer, decodes it to BGRA, gives the buffer back to the driver and
// then hands the sample to onFrame. Damaged or undecodable frames are dropped
// silently, as a running capture drops what it cannot append. When the device
// fails or disappears (ENODEV on unplug) streaming ends and onStopped says so.
class V4l2CameraStream final : public CameraStream {
  public:
    // Takes a device that is already streaming. `frameDuration` is the
    // negotiated frame interval. Starts the capture thread; throws
    // RecorderError when it cannot.
    V4l2CameraStream(std::unique_ptr<V4l2Device> device,
                     std::unique_ptr<CameraFrameDecoder> decoder,
                     std::shared_ptr<const HostClock> clock, MediaTime frameDuration,
                     std::string deviceName, CameraStreamHandlers handlers);
    ~V4l2CameraStream() override;
    V4l2CameraStream(const V4l2CameraStream&) = delete;
    V4l2CameraStream& operator=(const V4l2CameraStream&) = delete;

    void stop() override;
    std::string deviceName() const override { return deviceName_; }

  private:
    void run();
    // Dequeues and delivers every waiting buffer; false when none was waiting.
    bool deliverWaitingFrames();
    MediaTime presentationTime(const V4l2Buffer& buffer) const;

    // Owned by the capture thread while it runs.
    std::unique_ptr<V4l2Device> device_;
    std::unique_ptr<CameraFrameDecoder> decoder_;
    std::shared_ptr<const HostClock> clock_;
    MediaTime frameDuration_;
    std::string deviceName_;
    CameraStreamHandlers handlers_;

    std::atomic<bool> stopping_{false};
    int stopEvent_ = -1;
    std::thread thread_;
};

}  // namespace tessera
