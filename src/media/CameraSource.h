#pragma once

// The device side of the camera: a source that opens one camera and delivers
// its frames as BGRA video samples stamped on the host clock. The camera
// recorder depends only on this; the Linux adapter is V4l2CameraSource.

#include <functional>
#include <memory>
#include <string>

#include "media/MediaSample.h"
#include "support/RecorderError.h"

namespace tessera {

// What a running camera calls. Both run on the camera's own capture thread and
// must return quickly: while they run, the camera's next frame waits in the
// driver (and a late one is dropped there, never queued here). Neither may
// stop or destroy the stream that calls it.
struct CameraStreamHandlers {
    // One frame: BGRA pixels, presentation time on the host clock
    // (CLOCK_MONOTONIC) and the nominal frame duration; no decode time.
    std::function<void(VideoSample)> onFrame;
    // The camera stopped on its own (unplugged, or the driver failed). No frame
    // follows. Not called after stop().
    std::function<void(const RecorderError&)> onStopped;
};

// One running camera. Destroying it stops it.
class CameraStream {
  public:
    virtual ~CameraStream() = default;
    // Stops capturing and waits for the capture thread to end; no handler runs
    // after it returns. Idempotent. Any thread but the capture thread.
    virtual void stop() = 0;
    // The camera's name as the device list shows it.
    virtual std::string deviceName() const = 0;
};

// Opens cameras. Main thread; opening may block briefly on the driver.
class CameraSource {
  public:
    virtual ~CameraSource() = default;
    // Opens the camera with that identifier (as the device list gives it) or,
    // for an empty identifier, the default camera, and starts its frames.
    // Throws RecorderError:
    //   "No camera available" when there is no such camera (an identifier that
    //   matches no device is not replaced by the default) or no camera at all;
    //   "Camera <name> can't be used" when it cannot be opened or configured;
    //   "Camera output can't be added" when it offers no picture format that
    //   the recorder can read.
    virtual std::unique_ptr<CameraStream> startCamera(const std::string& deviceID,
                                                      CameraStreamHandlers handlers) = 0;
};

}  // namespace tessera
