#pragma once

// A synthetic capture source for tests and benchmarks: screen-like BGRA frames
// (a mostly static desktop with a moving bar and a frame counter drawn as 16
// black/white blocks), a 440 Hz system-audio tone and a 660 Hz microphone tone.
// The test emits each sample with the host time it chooses, on its own thread.
// Also the small helpers the media tests share.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "media/CaptureStream.h"
#include "support/WaitUntil.h"

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

// 320x180 frames at 30 fps, each in pixels of its own that are counted while
// alive (see livePixelBuffers), as a capture source that grabs into fresh memory.
class SyntheticCaptureStream final : public CaptureStream {
  public:
    SyntheticCaptureStream();
    ~SyntheticCaptureStream() override;

    void addScreenOutput(VideoHandler handler) override;
    void addAudioOutput(StreamOutputType type, AudioHandler handler) override;
    Task<void> startCapture() override;
    Task<void> stopCapture() override;

    // Delivers one sample now, on the calling thread. Ignored unless capture
    // is running.
    void emitFrame(MediaTime pts, std::optional<FrameStatus> status = FrameStatus::complete);
    void emitSystemAudio(MediaTime pts, int frames = 480);
    void emitMicrophone(MediaTime pts, int frames = 480);

    // Reports an error through the stream-stopped handler, on a new thread.
    void failWithError(const std::string& message);

    int64_t framesEmitted() const { return framesEmitted_; }
    // Frames whose pixels are still held by anyone, and the most that were at once.
    int64_t livePixelBuffers() const { return pixelCount_->live; }
    int64_t peakLivePixelBuffers() const { return pixelCount_->peak; }

    // Set by the factory.
    StreamStoppedHandler onStoppedWithError;
    bool failStart = false;
    bool failStop = false;
    // Runs at the start of stopCapture(), while capture still runs: a source
    // that goes on delivering for a while after it was told to stop.
    std::function<void()> whileStopping;
    // A source without a microphone: adding that output fails.
    bool failMicrophoneOutput = false;

  private:
    struct PixelCount {
        std::atomic<int64_t> live = 0;
        std::atomic<int64_t> peak = 0;
    };

    std::shared_ptr<const PixelBuffer> countedCopy(const PixelBuffer& source);

    SyntheticFrames frames_{320, 180};
    VideoHandler screen_;
    AudioHandler audio_;
    AudioHandler microphone_;
    bool running_ = false;
    std::atomic<int64_t> framesEmitted_ = 0;
    // Shared with the pixel buffers, which may outlive the stream.
    std::shared_ptr<PixelCount> pixelCount_ = std::make_shared<PixelCount>();
    int64_t systemAudioFrames_ = 0;
    int64_t micFrames_ = 0;
    std::mutex emitMutex_;
    std::jthread errorThread_;
};

class SyntheticCaptureFactory final : public CaptureStreamFactory {
  public:
    std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              StreamStoppedHandler onStoppedWithError) override;

    // The last stream made; valid while its owner keeps it.
    SyntheticCaptureStream* lastStream = nullptr;
    bool failMicrophoneOutput = false;
    bool failStart = false;
    bool failStop = false;
};

// Holds whoever passes it while closed, standing in for a stalled disk, encoder
// or queue; counts who is waiting.
class Gate {
  public:
    void pass() {
        std::unique_lock lock(mutex_);
        if (open_) {
            return;
        }
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        --waiting_;
    }
    std::function<void()> passer() {
        return [this] {
            pass();
        };
    }
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool hasWaiter() {
        std::lock_guard lock(mutex_);
        return waiting_ > 0;
    }
    bool waitUntilSomeoneWaits() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return waiting_ > 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool open_ = true;
};

// The fMP4 segments a writer delivered, from any thread.
class SegmentCollector {
  public:
    std::function<void(std::vector<uint8_t>)> handler(Gate* gate = nullptr) {
        return [this, gate](std::vector<uint8_t> bytes) {
            if (gate) {
                gate->pass();
            }
            std::lock_guard lock(mutex_);
            list_.push_back(std::move(bytes));
        };
    }
    std::vector<std::vector<uint8_t>> list() {
        std::lock_guard lock(mutex_);
        return list_;
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return list_.size();
    }
    std::vector<uint8_t> joined() {
        std::lock_guard lock(mutex_);
        std::vector<uint8_t> all;
        for (const auto& s : list_) {
            all.insert(all.end(), s.begin(), s.end());
        }
        return all;
    }

  private:
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> list_;
};

// Points TMPDIR at a fresh private directory while it lives.
class ScopedTmpDir {
  public:
    ScopedTmpDir();
    ~ScopedTmpDir();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
};

}  // namespace tessera::testing
