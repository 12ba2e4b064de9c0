#pragma once

// A synthetic capture source for tests and benchmarks: screen-like BGRA frames
// (a mostly static desktop with a moving bar and a frame counter drawn as 16
// black/white blocks), a 440 Hz system-audio tone and a 660 Hz microphone tone,
// all stamped on the host clock. It runs either at a real pace (its own thread,
// CLOCK_MONOTONIC) or at a virtual pace, where the test emits each sample with
// the time it chooses, on the test's thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "media/CaptureStream.h"

namespace tessera::testing {

// Frame pictures, made once per index and shared.
class SyntheticFrames {
  public:
    SyntheticFrames(int width, int height, int distinctFrames = 60);
    std::shared_ptr<const PixelBuffer> frame(int64_t index) const;
    // The counter painted into frame `index`, read back from a decoded luma
    // plane (same size as the frames). -1 when unreadable.
    static int readCounter(const uint8_t* luma, int lumaStride, int width);
    static constexpr int kCounterBits = 16;

  private:
    std::vector<std::shared_ptr<const PixelBuffer>> frames_;
};

// Interleaved float32 stereo 48 kHz sine; `frames` frames starting at `pts`.
AudioSample makeTone(MediaTime pts, int frames, double frequency, int64_t firstFrameIndex = 0);

class SyntheticCaptureStream final : public CaptureStream {
  public:
    struct Options {
        int width = 320;
        int height = 180;
        int frameRate = 30;
        bool realPace = false;
        // Real pace: audio buffer length in frames (10 ms by default).
        int audioFrames = 480;
        // Every frame in pixels of its own, counted while alive (see
        // livePixelBuffers), as a capture source that grabs into fresh memory.
        bool countedPixels = false;
    };

    explicit SyntheticCaptureStream(Options options);
    ~SyntheticCaptureStream() override;

    void addScreenOutput(VideoHandler handler) override;
    void addAudioOutput(StreamOutputType type, AudioHandler handler) override;
    Task<void> startCapture() override;
    Task<void> stopCapture() override;

    // Virtual pace: deliver one sample now, on the calling thread. Ignored
    // unless capture is running.
    void emitFrame(MediaTime pts, FrameStatus status = FrameStatus::complete);
    void emitFrame(MediaTime pts, std::optional<FrameStatus> status);
    void emitSystemAudio(MediaTime pts, int frames = 480);
    void emitMicrophone(MediaTime pts, int frames = 480);

    // The status given to frames at real pace.
    void setFrameStatus(FrameStatus status) { realPaceStatus_ = status; }
    // Reports an error through the stream-stopped handler, on a new thread.
    void failWithError(const std::string& message);

    bool hasAudioOutput() const { return static_cast<bool>(audio_); }
    bool hasMicrophoneOutput() const { return static_cast<bool>(microphone_); }
    int64_t framesEmitted() const { return framesEmitted_; }
    // With countedPixels: frames whose pixels are still held by anyone, and
    // the most that were at once.
    int64_t livePixelBuffers() const { return pixelCount_->live; }
    int64_t peakLivePixelBuffers() const { return pixelCount_->peak; }

    // Set by the factory.
    StreamStoppedHandler onStoppedWithError;
    bool failStart = false;
    bool failStop = false;

  private:
    struct PixelCount {
        std::atomic<int64_t> live = 0;
        std::atomic<int64_t> peak = 0;
    };

    void runRealPace(std::stop_token stop);
    std::shared_ptr<const PixelBuffer> countedCopy(const PixelBuffer& source);

    Options options_;
    SyntheticFrames frames_;
    VideoHandler screen_;
    AudioHandler audio_;
    AudioHandler microphone_;
    std::atomic<bool> running_ = false;
    std::atomic<FrameStatus> realPaceStatus_ = FrameStatus::complete;
    std::atomic<int64_t> framesEmitted_ = 0;
    // Shared with the pixel buffers, which may outlive the stream.
    std::shared_ptr<PixelCount> pixelCount_ = std::make_shared<PixelCount>();
    int64_t systemAudioFrames_ = 0;
    int64_t micFrames_ = 0;
    std::mutex emitMutex_;
    std::jthread errorThread_;
    std::jthread pacer_;
};

class SyntheticCaptureFactory final : public CaptureStreamFactory {
  public:
    explicit SyntheticCaptureFactory(SyntheticCaptureStream::Options options) : options_(options) {}

    std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              StreamStoppedHandler onStoppedWithError) override;

    // The last stream made; valid while its owner keeps it.
    SyntheticCaptureStream* lastStream = nullptr;
    std::optional<StreamConfiguration> lastConfiguration;
    bool failMicrophoneOutput = false;
    bool failStart = false;
    bool failStop = false;

  private:
    SyntheticCaptureStream::Options options_;
};

}  // namespace tessera::testing
