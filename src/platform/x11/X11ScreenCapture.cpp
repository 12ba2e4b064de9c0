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
        deadline += interval;
        const auto now = Clock::now();
        if (deadline < now) {
            // Fell behind (a slow grab, a busy machine): drop the missed ticks
            // rather than bursting to catch up.
            deadline = now;
        }
        std::unique_lock lock(mutex_);
        wakeup_.wait_until(lock, stop, deadline, [] { return false; });
    }
}

}  // namespace tessera
