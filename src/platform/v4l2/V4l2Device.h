#pragma once

// The thin system-call layer of the V4L2 camera: one opened video device and
// the opener that makes them. Everything above it (listing, format choice,
// error mapping, the capture thread, decoding) is written against these
// interfaces so that it runs in tests without a camera; the real
// implementations here only issue the ioctl, mmap and open calls.

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessera {

// A failed system call on a video device; code() is the errno value.
class V4l2Error : public std::runtime_error {
  public:
    V4l2Error(const std::string& call, int code);
    int code() const { return code_; }

  private:
    int code_;
};

struct V4l2Capabilities {
    std::string card;
    std::string busInfo;
    // The node's own capabilities (device_caps when the driver reports them).
    bool videoCapture = false;
    bool streaming = false;
};

// A frame size the driver offers for a pixel format. Stepwise and continuous
// ranges are reported as their bounds with a step of at least 1.
struct V4l2FrameSizes {
    bool discrete = true;
    int minWidth = 0;
    int minHeight = 0;
    int maxWidth = 0;
    int maxHeight = 0;
    int stepWidth = 1;
    int stepHeight = 1;
};

// The format the driver actually set.
struct V4l2Format {
    std::uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    std::size_t sizeImage = 0;
};

// One filled capture buffer, valid until it is given back with requeue().
struct V4l2Buffer {
    std::uint32_t index = 0;
    const std::uint8_t* data = nullptr;
    std::size_t bytesUsed = 0;
    // The driver stamped the buffer on CLOCK_MONOTONIC.
    bool monotonicTimestamp = false;
    timeval timestamp{};
    // The driver flagged the data as damaged.
    bool error = false;
};

// One opened video device. One thread at a time; the capture thread takes it
// over once streaming starts. Calls throw V4l2Error.
class V4l2Device {
  public:
    virtual ~V4l2Device() = default;
    virtual V4l2Capabilities capabilities() = 0;
    // The capture pixel formats (fourcc codes) in the driver's order.
    virtual std::vector<std::uint32_t> pixelFormats() = 0;
    // The sizes offered for a pixel format; empty when the driver does not say.
    virtual std::vector<V4l2FrameSizes> frameSizes(std::uint32_t pixelFormat) = 0;
    // Asks for a capture format; the driver may adjust every field.
    virtual V4l2Format setFormat(std::uint32_t pixelFormat, int width, int height) = 0;
    // Asks for a frame rate; returns the frame interval in effect as
    // numerator/denominator seconds, or nothing when the driver does not say.
    virtual std::optional<std::pair<std::uint32_t, std::uint32_t>> setFrameRate(
        int framesPerSecond) = 0;
    // Requests and maps memory-mapped buffers, queues them all and starts
    // streaming.
    virtual void startStreaming(int bufferCount) = 0;
    // A descriptor that polls readable when a filled buffer waits (and
    // reports POLLERR when the device is gone).
    virtual int pollDescriptor() const = 0;
    // The next filled buffer, or nothing when none is ready yet.
    virtual std::optional<V4l2Buffer> dequeue() = 0;
    virtual void requeue(std::uint32_t index) = 0;
    // Stops streaming; never throws (the device may already be gone).
    virtual void stopStreaming() noexcept = 0;
};

// Opens video devices by path. Any thread.
class V4l2Opener {
  public:
    virtual ~V4l2Opener() = default;
    // Opens the node non-blocking for reading and writing; throws V4l2Error.
    virtual std::unique_ptr<V4l2Device> open(const std::string& path) = 0;
};

// The real devices, through open(2), ioctl(2) and mmap(2).
class SystemV4l2Opener final : public V4l2Opener {
  public:
    std::unique_ptr<V4l2Device> open(const std::string& path) override;
};

// The fourcc code of four characters, as videodev2.h builds it.
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

constexpr std::uint32_t kPixelFormatMjpeg = fourcc('M', 'J', 'P', 'G');
constexpr std::uint32_t kPixelFormatYuyv = fourcc('Y', 'U', 'Y', 'V');

}  // namespace tessera
