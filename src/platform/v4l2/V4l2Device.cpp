#include "platform/v4l2/V4l2Device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "support/UniqueFd.h"

namespace tessera {

V4l2Error::V4l2Error(const std::string& call, int code)
    : std::runtime_error(call + " failed: " + std::strerror(code)), code_(code) {}

namespace {

// Repeats a call that a signal interrupted; returns 0 or the errno value.
int xioctl(int fd, unsigned long request, void* argument) {
    int result = 0;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? errno : 0;
}

void checkedIoctl(int fd, unsigned long request, void* argument, const char* name) {
    if (int code = xioctl(fd, request, argument); code != 0) {
        throw V4l2Error(name, code);
    }
}

std::string fixedText(const __u8* bytes, std::size_t size) {
    const auto* text = reinterpret_cast<const char*>(bytes);
    return std::string(text, strnlen(text, size));
}

// One memory-mapped capture buffer.
struct Mapping {
    void* address = MAP_FAILED;
    std::size_t length = 0;
};

class SystemV4l2Device final : public V4l2Device {
  public:
    explicit SystemV4l2Device(int fd) : fd_(fd) {}
    ~SystemV4l2Device() override { stopStreaming(); }

    V4l2Capabilities capabilities() override {
        v4l2_capability cap{};
        checkedIoctl(fd_.get(), VIDIOC_QUERYCAP, &cap, "VIDIOC_QUERYCAP");
        // The capabilities field describes the whole physical device; a node
        // of it (for example a metadata node) reports its own in device_caps.
        const std::uint32_t caps =
            (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        V4l2Capabilities result;
        result.card = fixedText(cap.card, sizeof cap.card);
        result.busInfo = fixedText(cap.bus_info, sizeof cap.bus_info);
        result.videoCapture = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
        result.streaming = (caps & V4L2_CAP_STREAMING) != 0;
        return result;
    }

    std::vector<std::uint32_t> pixelFormats() override {
        std::vector<std::uint32_t> formats;
        for (std::uint32_t index = 0;; ++index) {
            v4l2_fmtdesc description{};
            description.index = index;
            description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            int code = xioctl(fd_.get(), VIDIOC_ENUM_FMT, &description);
            if (code == EINVAL) {
                break;
            }
            if (code != 0) {
                throw V4l2Error("VIDIOC_ENUM_FMT", code);
            }
            formats.push_back(description.pixelformat);
        }
        return formats;
    }

    std::vector<V4l2FrameSizes> frameSizes(std::uint32_t pixelFormat) override {
        std::vector<V4l2FrameSizes> sizes;
        for (std::uint32_t index = 0;; ++index) {
            v4l2_frmsizeenum size{};
            size.index = index;
            size.pixel_format = pixelFormat;
            int code = xioctl(fd_.get(), VIDIOC_ENUM_FRAMESIZES, &size);
            if (code == EINVAL || code == ENOTTY) {
                break;
            }
            if (code != 0) {
                throw V4l2Error("VIDIOC_ENUM_FRAMESIZES", code);
            }
            V4l2FrameSizes entry;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                entry.minWidth = entry.maxWidth = static_cast<int>(size.discrete.width);
                entry.minHeight = entry.maxHeight = static_cast<int>(size.discrete.height);
                sizes.push_back(entry);
                continue;
            }
            entry.discrete = false;
            entry.minWidth = static_cast<int>(size.stepwise.min_width);
            entry.maxWidth = static_cast<int>(size.stepwise.max_width);
            entry.minHeight = static_cast<int>(size.stepwise.min_height);
            entry.maxHeight = static_cast<int>(size.stepwise.max_height);
            entry.stepWidth = std::max(1, static_cast<int>(size.stepwise.step_width));
            entry.stepHeight = std::max(1, static_cast<int>(size.stepwise.step_height));
            sizes.push_back(entry);
            break;  // a stepwise or continuous range is the only entry
        }
        return sizes;
    }

    V4l2Format setFormat(std::uint32_t pixelFormat, int width, int height) override {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.pixelformat = pixelFormat;
        format.fmt.pix.width = static_cast<__u32>(width);
        format.fmt.pix.height = static_cast<__u32>(height);
        format.fmt.pix.field = V4L2_FIELD_ANY;
        checkedIoctl(fd_.get(), VIDIOC_S_FMT, &format, "VIDIOC_S_FMT");
        V4l2Format result;
        result.pixelFormat = format.fmt.pix.pixelformat;
        result.width = static_cast<int>(format.fmt.pix.width);
        result.height = static_cast<int>(format.fmt.pix.height);
        result.bytesPerLine = static_cast<int>(format.fmt.pix.bytesperline);
        result.sizeImage = format.fmt.pix.sizeimage;
        return result;
    }

    std::optional<std::pair<std::uint32_t, std::uint32_t>> setFrameRate(
        int framesPerSecond) override {
        // Best effort: many drivers cannot set or report a rate.
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_.get(), VIDIOC_G_PARM, &parameters) != 0) {
            return std::nullopt;
        }
        if (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) {
            parameters.parm.capture.timeperframe.numerator = 1;
            parameters.parm.capture.timeperframe.denominator = static_cast<__u32>(framesPerSecond);
            if (xioctl(fd_.get(), VIDIOC_S_PARM, &parameters) != 0) {
                return std::nullopt;
            }
        }
        const v4l2_fract interval = parameters.parm.capture.timeperframe;
        if (interval.numerator == 0 || interval.denominator == 0) {
            return std::nullopt;
        }
        return std::make_pair(interval.numerator, interval.denominator);
    }

    void startStreaming(int bufferCount) override {
        v4l2_requestbuffers request{};
        request.count = static_cast<__u32>(bufferCount);
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        checkedIoctl(fd_.get(), VIDIOC_REQBUFS, &request, "VIDIOC_REQBUFS");
        requested_ = true;
        if (request.count < 2) {
            throw V4l2Error("VIDIOC_REQBUFS", ENOMEM);
        }
        for (std::uint32_t index = 0; index < request.count; ++index) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = index;
            checkedIoctl(fd_.get(), VIDIOC_QUERYBUF, &buffer, "VIDIOC_QUERYBUF");
            Mapping mapping;
            mapping.length = buffer.length;
            mapping.address =
                ::mmap(nullptr, buffer.length, PROT_READ, MAP_SHARED, fd_.get(), buffer.m.offset);
            if (mapping.address == MAP_FAILED) {
                throw V4l2Error("mmap", errno);
            }
            mappings_.push_back(mapping);
        }
        for (std::uint32_t index = 0; index < request.count; ++index) {
            requeue(index);
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        checkedIoctl(fd_.get(), VIDIOC_STREAMON, &type, "VIDIOC_STREAMON");
        streaming_ = true;
    }

    int pollDescriptor() const override { return fd_.get(); }

    std::optional<V4l2Buffer> dequeue() override {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        int code = xioctl(fd_.get(), VIDIOC_DQBUF, &buffer);
        if (code == EAGAIN) {
            return std::nullopt;
        }
        if (code != 0) {
            throw V4l2Error("VIDIOC_DQBUF", code);
        }
        if (buffer.index >= mappings_.size()) {
            throw V4l2Error("VIDIOC_DQBUF", EINVAL);
        }
        const Mapping& mapping = mappings_[buffer.index];
        V4l2Buffer result;
        result.index = buffer.index;
        result.data = static_cast<const std::uint8_t*>(mapping.address);
        result.bytesUsed = std::min<std::size_t>(buffer.bytesused, mapping.length);
        result.monotonicTimestamp =
            (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        result.timestamp = buffer.timestamp;
        result.error = (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0;
        return result;
    }

    void requeue(std::uint32_t index) override {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        checkedIoctl(fd_.get(), VIDIOC_QBUF, &buffer, "VIDIOC_QBUF");
    }

    void stopStreaming() noexcept override {
        if (streaming_) {
            v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(fd_.get(), VIDIOC_STREAMOFF, &type);
            streaming_ = false;
        }
        for (const Mapping& mapping : mappings_) {
            ::munmap(mapping.address, mapping.length);
        }
        mappings_.clear();
        if (requested_) {
            // Gives the driver's buffers back so that another client can stream.
            v4l2_requestbuffers request{};
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            xioctl(fd_.get(), VIDIOC_REQBUFS, &request);
            requested_ = false;
        }
    }

  private:
    UniqueFd fd_;
    std::vector<Mapping> mappings_;
    bool requested_ = false;
    bool streaming_ = false;
};

}  // namespace

std::unique_ptr<V4l2Device> SystemV4l2Opener::open(const std::string& path) {
    int fd = 0;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw V4l2Error("open " + path, errno);
    }
    return std::make_unique<SystemV4l2Device>(fd);
}

}  // namespace tessera
