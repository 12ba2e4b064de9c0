#pragma once

// A camera source for tests: a list of named cameras, and streams whose frames
// the test emits on its own thread (standing in for the capture thread) with
// the host times it chooses. The pictures move: the left half is bright, the
// right half dark, and a grey bar steps across the bottom quarter frame by
// frame, so a mirrored picture and a repeated one are both visible.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/CameraSource.h"

namespace tessera::testing {

constexpr uint8_t kBrightSide = 220;
constexpr uint8_t kDarkSide = 30;

// One BGRA picture of the pattern above, for frame `index`.
inline std::shared_ptr<PixelBuffer> cameraPicture(int width, int height, int64_t index) {
    auto picture = PixelBuffer::make(width, height);
    const int barWidth = std::max(width / 16, 1);
    const int barX = static_cast<int>((index * barWidth) % width);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture->row(y);
        for (int x = 0; x < width; ++x) {
            uint8_t value = x < width / 2 ? kBrightSide : kDarkSide;
            if (y >= height * 3 / 4 && x >= barX && x < barX + barWidth) {
                value = 128;
            }
            std::memset(row + 4 * x, value, 3);
            row[4 * x + 3] = 255;
        }
    }
    return picture;
}

class ScriptedCameraStream final : public CameraStream {
  public:
    ScriptedCameraStream(std::string name, CameraStreamHandlers handlers)
        : name_(std::move(name)), handlers_(std::move(handlers)) {}
    ~ScriptedCameraStream() override { stop(); }

    void stop() override {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    std::string deviceName() const override { return name_; }

    // Delivers a frame now, on the calling thread; ignored once stopped.
    void deliver(std::shared_ptr<const PixelBuffer> pixels, MediaTime hostTime,
                 MediaTime duration = MediaTime(1, 30)) {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        VideoSample sample;
        sample.pixels = std::move(pixels);
        sample.timing = SampleTiming{duration, hostTime, MediaTime::invalid()};
        handlers_.onFrame(std::move(sample));
    }
    void failUnplugged() {
        std::lock_guard lock(mutex_);
        handlers_.onStopped(RecorderError("The camera was disconnected"));
    }

  private:
    std::string name_;
    CameraStreamHandlers handlers_;
    std::mutex mutex_;
    bool stopped_ = false;
};

class ScriptedCameraSource final : public CameraSource {
  public:
    // Camera ids in order; the first is the default.
    std::vector<std::string> cameras{"cam-front", "cam-desk"};

    std::unique_ptr<CameraStream> startCamera(const std::string& deviceID,
                                              CameraStreamHandlers handlers) override {
        std::string chosen = deviceID;
        if (chosen.empty() && !cameras.empty()) {
            chosen = cameras.front();
        }
        if (std::find(cameras.begin(), cameras.end(), chosen) == cameras.end()) {
            throw RecorderError("No camera available");
        }
        auto stream = std::make_unique<ScriptedCameraStream>(chosen, std::move(handlers));
        last = stream.get();
        return stream;
    }

    // The last stream made; valid while its owner keeps it.
    ScriptedCameraStream* last = nullptr;
};

}  // namespace tessera::testing
