#include "platform/x11/X11ScreenCapture.h"

#include <chrono>

#include "support/Log.h"

namespace tessera {

X11ScreenCapture::X11ScreenCapture(std::optional<std::string> displayName, X11CaptureTarget target,
                                   X11CaptureSettings settings, const HostClock& clock,
                                   Callbacks callbacks)
    : displayName_(std::move(displayName)),
      target_(std::move(target)),
      settings_(settings),
      clock_(clock),
      callbacks_(std::move(callbacks)) {}

X11ScreenCapture::~X11ScreenCapture() {
    stop();
}

void X11ScreenCapture::start() {
    source_ = std::make_unique<X11FrameSource>(displayName_, target_, settings_, clock_);
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void X11ScreenCapture::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wakeup_.notify_all();
        thread_.join();
    }
    source_.reset();
}

std::chrono::steady_clock::time_point nextGrabDeadline(
    std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now,
    std::chrono::steady_clock::duration interval) {
    if (interval <= std::chrono::steady_clock::duration::zero()) {
        return now;
    }
    deadline += interval;
    if (now - deadline >= interval) {
        // A slow grab or a long wait for the processor: the ticks that passed
        // entirely are skipped; the one under way is grabbed at once.
        deadline += (now - deadline) / interval * interval;
    }
    return deadline;
}

void X11ScreenCapture::run(std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / settings_.frameRate));
    auto deadline = Clock::now();
    while (!stop.stop_requested()) {
        try {
            auto frame = source_->nextFrame();
            droppedFrames_.store(source_->droppedFrames(), std::memory_order_relaxed);
            // Before the first successful grab there is no picture to show.
            if (frame.pixels && callbacks_.onFrame) {
                callbacks_.onFrame(std::move(frame));
            }
        } catch (...) {
            if (callbacks_.onStopped) {
                callbacks_.onStopped(std::current_exception());
            } else {
                logging::handled("x11-capture", "the screen capture stopped",
                                 std::current_exception());
            }
            return;
        }
        deadline = nextGrabDeadline(deadline, Clock::now(), interval);
        std::unique_lock lock(mutex_);
        wakeup_.wait_until(lock, stop, deadline, [] { return false; });
    }
}

}  // namespace tessera
