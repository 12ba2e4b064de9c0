#pragma once

// A scripted V4L2 device for unit tests: capabilities, formats and failures are
// set up front; frames are pushed by the test and dequeued by the capture
// thread, which polls a real eventfd standing in for the device descriptor.

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
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

// One camera node's behaviour and what was done to it. Thread-safe.
class FakeCamera {
  public:
    FakeCamera() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeCamera() { ::close(event_); }

    // Set up before use.
    V4l2Capabilities capabilities{"Fake Camera", "usb-0000:00:14.0-1", true, true};
    // The errno of each open, in turn, after the list runs out: success.
    std::vector<int> openErrors;
    std::vector<std::uint32_t> formats{kPixelFormatYuyv};
    std::map<std::uint32_t, std::vector<V4l2FrameSizes>> sizes;
    // errno of setFormat per pixel format; absent: the request is granted.
    std::map<std::uint32_t, int> setFormatErrors;
    // The pixel format the driver answers with instead of the one asked for.
    std::optional<std::uint32_t> substitutedFormat;
    int streamingError = 0;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> frameInterval;

    void push(FakeFrame frame) {
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(frame));
        signal();
    }
    // The device goes away: the next dequeue fails with ENODEV.
    void disconnect() {
        std::lock_guard lock(mutex_);
        gone_ = true;
        signal();
    }

    struct Record {
        int opens = 0;
        std::vector<std::pair<std::uint32_t, PixelSize>> formatRequests;
        int bufferCount = 0;
        bool streaming = false;
        bool stoppedStreaming = false;
        int dequeued = 0;
        int requeued = 0;
    };
    Record record() {
        std::lock_guard lock(mutex_);
        return record_;
    }

    // Device side, called by FakeV4l2Device.
    int openError() {
        std::lock_guard lock(mutex_);
        const int index = record_.opens++;
        return index < static_cast<int>(openErrors.size()) ? openErrors[index] : 0;
    }
    V4l2Format setFormat(std::uint32_t pixelFormat, int width, int height) {
        std::lock_guard lock(mutex_);
        record_.formatRequests.push_back({pixelFormat, {width, height}});
        if (auto error = setFormatErrors.find(pixelFormat); error != setFormatErrors.end()) {
            throw V4l2Error("VIDIOC_S_FMT", error->second);
        }
        const std::uint32_t answered = substitutedFormat.value_or(pixelFormat);
        const int bytesPerLine = answered == kPixelFormatYuyv ? width * 2 : 0;
        return {answered, width, height, bytesPerLine,
                static_cast<std::size_t>(width) * height * 2};
    }
    void startStreaming(int bufferCount) {
        std::lock_guard lock(mutex_);
        if (streamingError != 0) {
            throw V4l2Error("VIDIOC_REQBUFS", streamingError);
        }
        record_.bufferCount = bufferCount;
        record_.streaming = true;
    }
    int descriptor() const { return event_; }
    std::optional<V4l2Buffer> dequeue() {
        std::lock_guard lock(mutex_);
        if (frames_.empty()) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t read = ::read(event_, &count, sizeof count);
            if (gone_) {
                throw V4l2Error("VIDIOC_DQBUF", ENODEV);
            }
            return std::nullopt;
        }
        const std::uint32_t index = nextIndex_++;
        held_[index] = std::move(frames_.front());
        frames_.pop_front();
        const FakeFrame& frame = held_[index];
        ++record_.dequeued;
        return V4l2Buffer{index,           frame.bytes.data(), frame.bytes.size(),
                          frame.monotonic, frame.timestamp,    frame.error};
    }
    void requeue(std::uint32_t index) {
        std::lock_guard lock(mutex_);
        if (held_.erase(index) == 1) {
            ++record_.requeued;
        }
    }
    void stopStreaming() {
        std::lock_guard lock(mutex_);
        if (record_.streaming) {
            record_.streaming = false;
            record_.stoppedStreaming = true;
        }
    }

  private:
    void signal() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(event_, &one, sizeof one);
    }

    std::mutex mutex_;
    int event_;
    std::deque<FakeFrame> frames_;
    std::map<std::uint32_t, FakeFrame> held_;
    std::uint32_t nextIndex_ = 0;
    bool gone_ = false;
    Record record_;
};

class FakeV4l2Device final : public V4l2Device {
  public:
    explicit FakeV4l2Device(std::shared_ptr<FakeCamera> camera) : camera_(std::move(camera)) {}
    ~FakeV4l2Device() override { stopStreaming(); }

    V4l2Capabilities capabilities() override { return camera_->capabilities; }
    std::vector<std::uint32_t> pixelFormats() override { return camera_->formats; }
    std::vector<V4l2FrameSizes> frameSizes(std::uint32_t pixelFormat) override {
        auto found = camera_->sizes.find(pixelFormat);
        return found == camera_->sizes.end() ? std::vector<V4l2FrameSizes>{} : found->second;
    }
    V4l2Format setFormat(std::uint32_t pixelFormat, int width, int height) override {
        return camera_->setFormat(pixelFormat, width, height);
    }
    std::optional<std::pair<std::uint32_t, std::uint32_t>> setFrameRate(int) override {
        return camera_->frameInterval;
    }
    void startStreaming(int bufferCount) override { camera_->startStreaming(bufferCount); }
    int pollDescriptor() const override { return camera_->descriptor(); }
    std::optional<V4l2Buffer> dequeue() override { return camera_->dequeue(); }
    void requeue(std::uint32_t index) override { camera_->requeue(index); }
    void stopStreaming() noexcept override { camera_->stopStreaming(); }

  private:
    std::shared_ptr<FakeCamera> camera_;
};

// Opens the fake camera registered for a path; any other path is not a video
// device (ENOTTY, as QUERYCAP on an ordinary file answers).
class FakeV4l2Opener final : public V4l2Opener {
  public:
    std::shared_ptr<FakeCamera> add(const std::string& path) {
        auto camera = std::make_shared<FakeCamera>();
        cameras_[path] = camera;
        return camera;
    }
    std::unique_ptr<V4l2Device> open(const std::string& path) override {
        auto found = cameras_.find(path);
        if (found == cameras_.end()) {
            throw V4l2Error("VIDIOC_QUERYCAP", ENOTTY);
        }
        if (int error = found->second->openError(); error != 0) {
            throw V4l2Error("open " + path, error);
        }
        return std::make_unique<FakeV4l2Device>(found->second);
    }

  private:
    std::map<std::string, std::shared_ptr<FakeCamera>> cameras_;
};

}  // namespace tessera::testing
