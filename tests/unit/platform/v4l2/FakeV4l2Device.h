#pragma once

// A scripted V4L2 device: capabilities, formats and failures are set up front;
// frames pushed by the test are dequeued by the capture thread, which polls a
// real eventfd standing in for the device descriptor.

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/v4l2/CameraFormatChoice.h"
#include "platform/v4l2/V4l2Device.h"

namespace tessera::testing {

struct FakeFrame {
    std::vector<std::uint8_t> bytes;
    bool monotonic = true;
    timeval timestamp{};
    bool error = false;
};

// One camera node: its set-up (before use) and what was done to it, under `mutex`.
struct FakeCamera {
    FakeCamera() : event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeCamera() { ::close(event); }

    void push(FakeFrame frame) {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
        signal();
    }
    // The device goes away: the next dequeue fails with ENODEV.
    void disconnect() {
        std::lock_guard lock(mutex);
        gone = true;
        signal();
    }
    void signal() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(event, &one, sizeof one);
    }

    V4l2Capabilities capabilities{"Fake Camera", "usb-0000:00:14.0-1", true, true};
    std::vector<int> openErrors;  // the errno of each open in turn, then success
    std::vector<std::uint32_t> formats{kPixelFormatYuyv};
    std::map<std::uint32_t, std::vector<V4l2FrameSizes>> sizes;
    std::map<std::uint32_t, int> setFormatErrors;    // errno of setFormat per pixel format
    std::optional<std::uint32_t> substitutedFormat;  // what the driver answers instead
    std::optional<std::pair<std::uint32_t, std::uint32_t>> frameInterval;

    std::mutex mutex;
    int event;
    int opens = 0;
    std::deque<FakeFrame> frames;
    std::map<std::uint32_t, FakeFrame> held;
    std::uint32_t nextIndex = 0;
    bool gone = false;
    std::vector<std::pair<std::uint32_t, PixelSize>> formatRequests;
    bool streaming = false;
    bool stoppedStreaming = false;
    int dequeued = 0;
    int requeued = 0;
};

class FakeV4l2Device final : public V4l2Device {
  public:
    explicit FakeV4l2Device(std::shared_ptr<FakeCamera> camera) : c_(std::move(camera)) {}
    ~FakeV4l2Device() override { stopStreaming(); }

    V4l2Capabilities capabilities() override { return c_->capabilities; }
    std::vector<std::uint32_t> pixelFormats() override { return c_->formats; }
    std::vector<V4l2FrameSizes> frameSizes(std::uint32_t pixelFormat) override {
        auto found = c_->sizes.find(pixelFormat);
        return found == c_->sizes.end() ? std::vector<V4l2FrameSizes>{} : found->second;
    }
    V4l2Format setFormat(std::uint32_t pixelFormat, int width, int height) override {
        std::lock_guard lock(c_->mutex);
        c_->formatRequests.push_back({pixelFormat, {width, height}});
        if (auto error = c_->setFormatErrors.find(pixelFormat);
            error != c_->setFormatErrors.end()) {
            throw V4l2Error("VIDIOC_S_FMT", error->second);
        }
        const std::uint32_t answered = c_->substitutedFormat.value_or(pixelFormat);
        return {answered, width, height, answered == kPixelFormatYuyv ? width * 2 : 0,
                static_cast<std::size_t>(width) * height * 2};
    }
    std::optional<std::pair<std::uint32_t, std::uint32_t>> setFrameRate(int) override {
        return c_->frameInterval;
    }
    void startStreaming(int) override {
        std::lock_guard lock(c_->mutex);
        c_->streaming = true;
    }
    int pollDescriptor() const override { return c_->event; }
    std::optional<V4l2Buffer> dequeue() override {
        std::lock_guard lock(c_->mutex);
        if (c_->frames.empty()) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t read = ::read(c_->event, &count, sizeof count);
            if (c_->gone) {
                throw V4l2Error("VIDIOC_DQBUF", ENODEV);
            }
            return std::nullopt;
        }
        const std::uint32_t index = c_->nextIndex++;
        const FakeFrame& frame = c_->held[index] = std::move(c_->frames.front());
        c_->frames.pop_front();
        ++c_->dequeued;
        return V4l2Buffer{index,           frame.bytes.data(), frame.bytes.size(),
                          frame.monotonic, frame.timestamp,    frame.error};
    }
    void requeue(std::uint32_t index) override {
        std::lock_guard lock(c_->mutex);
        c_->requeued += static_cast<int>(c_->held.erase(index));
    }
    void stopStreaming() noexcept override {
        std::lock_guard lock(c_->mutex);
        c_->stoppedStreaming = c_->stoppedStreaming || c_->streaming;
        c_->streaming = false;
    }

  private:
    std::shared_ptr<FakeCamera> c_;
};

// Opens the fake camera registered for a path; any other path is not a video
// device (ENOTTY, as QUERYCAP on an ordinary file answers).
class FakeV4l2Opener final : public V4l2Opener {
  public:
    std::shared_ptr<FakeCamera> add(const std::string& path) {
        return cameras_[path] = std::make_shared<FakeCamera>();
    }
    std::unique_ptr<V4l2Device> open(const std::string& path) override {
        auto found = cameras_.find(path);
        if (found == cameras_.end()) {
            throw V4l2Error("VIDIOC_QUERYCAP", ENOTTY);
        }
        auto& camera = *found->second;
        std::lock_guard lock(camera.mutex);
        const std::size_t index = camera.opens++;
        if (index < camera.openErrors.size() && camera.openErrors[index] != 0) {
            throw V4l2Error("open " + path, camera.openErrors[index]);
        }
        return std::make_unique<FakeV4l2Device>(found->second);
    }

  private:
    std::map<std::string, std::shared_ptr<FakeCamera>> cameras_;
};

}  // namespace tessera::testing
