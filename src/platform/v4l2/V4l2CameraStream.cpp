#include "platform/v4l2/V4l2CameraStream.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace tessera {

V4l2CameraStream::V4l2CameraStream(std::unique_ptr<V4l2Device> device,
                                   std::unique_ptr<CameraFrameDecoder> decoder,
                                   std::shared_ptr<const HostClock> clock, MediaTime frameDuration,
                                   std::string deviceName, CameraStreamHandlers handlers)
    : device_(std::move(device)),
      decoder_(std::move(decoder)),
      clock_(std::move(clock)),
      frameDuration_(frameDuration),
      deviceName_(std::move(deviceName)),
      handlers_(std::move(handlers)) {
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ < 0) {
        throw RecorderError("Camera " + deviceName_ + " can't be used");
    }
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        ::close(stopEvent_);
        throw RecorderError("Camera " + deviceName_ + " can't be used");
    }
}

V4l2CameraStream::~V4l2CameraStream() {
    stop();
    if (thread_.joinable()) {
        // stop() was called on the capture thread itself; the contract forbids
        // destroying the stream there, but a detached thread would outlive us.
        thread_.join();
    }
    ::close(stopEvent_);
}

void V4l2CameraStream::stop() {
    stopping_.store(true);
    const std::uint64_t one = 1;
    // The eventfd counter cannot overflow with one write per stop.
    [[maybe_unused]] ssize_t written = ::write(stopEvent_, &one, sizeof one);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void V4l2CameraStream::run() {
    pthread_setname_np(pthread_self(), "camera-capture");
    pollfd fds[2] = {{device_->pollDescriptor(), POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    bool failed = false;
    while (!stopping_.load()) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            failed = true;
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        try {
            const bool delivered = deliverWaitingFrames();
            // V4L2 reports POLLERR when the device is gone or no longer
            // streams; with nothing to dequeue that would spin, so it ends
            // the capture.
            if (!delivered && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
                failed = true;
                break;
            }
        } catch (const V4l2Error&) {
            failed = true;
            break;
        }
    }
    device_->stopStreaming();
    if (failed && !stopping_.load() && handlers_.onStopped) {
        handlers_.onStopped(RecorderError("Camera " + deviceName_ + " can't be used"));
    }
}

bool V4l2CameraStream::deliverWaitingFrames() {
    bool any = false;
    while (!stopping_.load()) {
        std::optional<V4l2Buffer> buffer = device_->dequeue();
        if (!buffer) {
            break;
        }
        any = true;
        std::optional<VideoSample> sample;
        if (!buffer->error && buffer->bytesUsed > 0) {
            SampleTiming timing{frameDuration_, presentationTime(*buffer), MediaTime::invalid()};
            try {
                sample = decoder_->decode(buffer->data, buffer->bytesUsed, timing);
            } catch (const RecorderError&) {
                // A damaged frame (common with USB cameras at the start of a
                // stream) is dropped; the next one usually decodes.
            }
        }
        // The pixels were copied out, so the driver gets its buffer back
        // before the frame is handed on.
        device_->requeue(buffer->index);
        if (sample && handlers_.onFrame) {
            handlers_.onFrame(std::move(*sample));
        }
    }
    return any;
}

MediaTime V4l2CameraStream::presentationTime(const V4l2Buffer& buffer) const {
    // A monotonic driver stamp is when the frame was captured (on the host
    // clock); otherwise the stamp is on another clock and the dequeue time is
    // the best that is known. Some drivers claim monotonic but leave it zero.
    const bool stamped = buffer.timestamp.tv_sec != 0 || buffer.timestamp.tv_usec != 0;
    if (buffer.monotonicTimestamp && stamped) {
        return MediaTime::fromNanoseconds(static_cast<int64_t>(buffer.timestamp.tv_sec) *
                                              1'000'000'000 +
                                          static_cast<int64_t>(buffer.timestamp.tv_usec) * 1'000);
    }
    return clock_->now();
}

}  // namespace tessera
