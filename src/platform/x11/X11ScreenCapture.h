#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/x11/X11FrameSource.h"

namespace tessera {

// When the grab after `deadline` is due, with the previous one due at
// `deadline` and finished at `now`. The grabs stay on the grid of frame
// intervals: one that wakes late is taken at once and the next is due on time
// again, so late wake-ups on a busy machine do not cost frames; only ticks
// missed altogether are skipped, never grabbed in a burst.
std::chrono::steady_clock::time_point nextGrabDeadline(
    std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now,
    std::chrono::steady_clock::duration interval);

// A running X11 screen capture: a thread of its own that takes one frame per
// frame interval from an X11FrameSource and hands it on.
class X11ScreenCapture {
  public:
    struct Callbacks {
        // Capture thread, once per frame interval, in order.
        std::function<void(VideoSample)> onFrame;
        // Capture thread, at most once, when the capture ends by itself (the
        // window or display went away, the X connection broke). No frame
        // follows.
        std::function<void(std::exception_ptr)> onStopped;
    };

    X11ScreenCapture(std::optional<std::string> displayName, X11CaptureTarget target,
                     X11CaptureSettings settings, const HostClock& clock, Callbacks callbacks);
    ~X11ScreenCapture();
    X11ScreenCapture(const X11ScreenCapture&) = delete;
    X11ScreenCapture& operator=(const X11ScreenCapture&) = delete;

    // Any thread. Opens the capture and starts the thread; throws
    // RecorderError when the target cannot be captured. Call once.
    void start();
    // Any thread but the capture thread. Ends the thread and waits for it; no
    // callback runs after it returns. Idempotent.
    void stop();
    // Changed pictures skipped because every frame was still held downstream
    // (see X11CaptureSettings::queueDepth). Any thread; kept after stop().
    std::uint64_t droppedFrames() const { return droppedFrames_.load(std::memory_order_relaxed); }

  private:
    void run(std::stop_token stop);

    std::optional<std::string> displayName_;
    X11CaptureTarget target_;
    X11CaptureSettings settings_;
    const HostClock& clock_;
    Callbacks callbacks_;
    std::unique_ptr<X11FrameSource> source_;
    std::mutex mutex_;
    std::condition_variable_any wakeup_;
    std::atomic<std::uint64_t> droppedFrames_ = 0;
    std::jthread thread_;
};

}  // namespace tessera
