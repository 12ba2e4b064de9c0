#pragma once

// The port through which the screen recorder reaches a capture source: screen
// frames, system audio and microphone audio of one content filter, each sample
// stamped on the host clock (CLOCK_MONOTONIC). The X11/PulseAudio source and the
// synthetic test source implement it.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/MediaSample.h"
#include "support/MediaTime.h"
#include "support/Task.h"

namespace tessera {

// What to capture: one window by id (its own content, even when covered), or one
// display by id with some windows removed and some kept in.
struct ContentFilter {
    enum class Kind { window, display };

    Kind kind = Kind::display;
    uint32_t windowID = 0;
    uint32_t displayID = 0;
    std::vector<uint32_t> excludedWindowIDs;
    // Windows kept in the capture although their application is excluded.
    std::vector<uint32_t> exceptingWindowIDs;

    static ContentFilter window(uint32_t windowID) {
        ContentFilter filter;
        filter.kind = Kind::window;
        filter.windowID = windowID;
        return filter;
    }
    static ContentFilter display(uint32_t displayID, std::vector<uint32_t> excluded = {},
                                 std::vector<uint32_t> excepting = {}) {
        ContentFilter filter;
        filter.kind = Kind::display;
        filter.displayID = displayID;
        filter.excludedWindowIDs = std::move(excluded);
        filter.exceptingWindowIDs = std::move(excepting);
        return filter;
    }
};

// How to capture; every field is set explicitly by the start sequence.
struct StreamConfiguration {
    static constexpr uint32_t kPixelFormatBGRA = 0x42475241;

    int64_t width = 0;
    int64_t height = 0;
    int queueDepth = 6;
    uint32_t pixelFormat = kPixelFormatBGRA;
    std::string colorSpaceName = "sRGB";
    MediaTime minimumFrameInterval{1, 30};
    bool showsCursor = true;
    bool showMouseClicks = false;
    bool capturesAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
    bool excludesCurrentProcessAudio = true;
    bool captureMicrophone = false;
    // None: the default microphone.
    std::optional<std::string> microphoneCaptureDeviceID;
};

enum class StreamOutputType { screen, audio, microphone };

// One running capture. Handlers run on the source's own capture thread(s), one
// call at a time per output and in capture order; they must return quickly (the
// recorder only hands the sample to its queue). After stopCapture() has
// completed, or the stream has been destroyed, no handler is called again.
class CaptureStream {
  public:
    using VideoHandler = std::function<void(VideoSample)>;
    using AudioHandler = std::function<void(AudioSample)>;

    // Destroying a stream stops it (blocking until its threads are gone).
    virtual ~CaptureStream() = default;

    // Before startCapture(); any thread. Throws RecorderError when the output
    // cannot be added (for example, no microphone).
    virtual void addScreenOutput(VideoHandler handler) = 0;
    // type is audio (system audio) or microphone.
    virtual void addAudioOutput(StreamOutputType type, AudioHandler handler) = 0;

    // Starts delivering samples; completes once the source runs. Throws
    // RecorderError when capture cannot start. Resumes on the awaiting task's
    // executor.
    virtual Task<void> startCapture() = 0;
    // Stops delivering; completes once no handler runs or will run.
    virtual Task<void> stopCapture() = 0;
};

// Called, on the source's thread, when the stream stops by itself with an error.
using StreamStoppedHandler = std::function<void(std::exception_ptr)>;

// Makes streams; the application passes the X11 factory, tests a synthetic one.
class CaptureStreamFactory {
  public:
    virtual ~CaptureStreamFactory() = default;
    // Throws RecorderError when the filter names nothing capturable.
    virtual std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      StreamStoppedHandler onStoppedWithError) = 0;
};

}  // namespace tessera
