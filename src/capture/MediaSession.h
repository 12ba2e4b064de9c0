#pragma once

#include <memory>

#include "capture/ControllerPorts.h"
#include "media/CaptureStream.h"
#include "media/MicLevelMeter.h"
#include "support/HostClock.h"

namespace tessera {

// Makes the real recorders of a session: a SegmentWriter and a ScreenRecorder
// on the given capture source, and a MicFileWriter in the temporary folder.
// The factory and the clock must outlive every recorder made.
class MediaSessionFactory final : public SessionMediaFactory {
  public:
    MediaSessionFactory(CaptureStreamFactory& streams, const HostClock& clock)
        : streams_(streams), clock_(clock) {}

    SessionRecorders makeRecorders(const SegmentWriter::Configuration& writer,
                                   std::function<void(SegmentBytes)> onSegment,
                                   bool withMicrophone) override;

  private:
    CaptureStreamFactory& streams_;
    const HostClock& clock_;
};

// The microphone level meter as the controller's meter.
class LevelMeterPort final : public MicMeter {
  public:
    explicit LevelMeterPort(MicLevelMeter& meter) : meter_(meter) {}
    void start() override { meter_.start(); }
    void stop() override { meter_.stop(); }
    bool isActive() const override { return meter_.isActive(); }

  private:
    MicLevelMeter& meter_;
};

}  // namespace tessera
