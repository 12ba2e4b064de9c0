#include "support/SyntheticCapture.h"

#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

#include "support/RecorderError.h"

namespace tessera::testing {

namespace {

constexpr int kBlock = 16;

void fillRect(PixelBuffer& p, int x0, int y0, int w, int h, uint8_t b, uint8_t g, uint8_t r) {
    for (int y = std::max(0, y0); y < std::min(p.height, y0 + h); ++y) {
        uint8_t* row = p.row(y);
        for (int x = std::max(0, x0); x < std::min(p.width, x0 + w); ++x) {
            row[4 * x + 0] = b;
            row[4 * x + 1] = g;
            row[4 * x + 2] = r;
            row[4 * x + 3] = 255;
        }
    }
}

std::shared_ptr<const PixelBuffer> paint(int width, int height, int index) {
    auto p = PixelBuffer::make(width, height);
    // A desktop: a soft gradient, a few "windows" with text-like lines.
    for (int y = 0; y < height; ++y) {
        uint8_t* row = p->row(y);
        const auto shade = static_cast<uint8_t>(60 + 80 * y / std::max(1, height));
        for (int x = 0; x < width; ++x) {
            row[4 * x + 0] = static_cast<uint8_t>(120 + 60 * x / std::max(1, width));
            row[4 * x + 1] = shade;
            row[4 * x + 2] = 40;
            row[4 * x + 3] = 255;
        }
    }
    fillRect(*p, width / 10, height / 5, width / 2, height / 2, 245, 245, 245);
    for (int line = 0; line < height / 2 - 20; line += 12) {
        fillRect(*p, width / 10 + 10, height / 5 + 10 + line,
                 (width / 3) * ((line / 12) % 3 + 1) / 3, 4, 40, 40, 40);
    }
    // A bar that moves with the frame index.
    const int barX = (index * 7 * std::max(1, width / 320)) % std::max(1, width - 40);
    fillRect(*p, barX, height * 3 / 4, 40, height / 8, 30, 30, 220);
    // The counter: 16 blocks in the top-left corner, white for 1.
    for (int bit = 0; bit < SyntheticFrames::kCounterBits; ++bit) {
        const uint8_t v = ((index >> bit) & 1) ? 255 : 0;
        fillRect(*p, bit * kBlock, 0, kBlock, kBlock, v, v, v);
    }
    return p;
}

}  // namespace

SyntheticFrames::SyntheticFrames(int width, int height, int distinctFrames) {
    for (int i = 0; i < distinctFrames; ++i) {
        frames_.push_back(paint(width, height, i));
    }
}

std::shared_ptr<const PixelBuffer> SyntheticFrames::frame(int64_t index) const {
    return frames_[static_cast<size_t>(index % static_cast<int64_t>(frames_.size()))];
}

int SyntheticFrames::readCounter(const uint8_t* luma, int lumaStride, int width) {
    if (width < kCounterBits * kBlock) {
        return -1;
    }
    int value = 0;
    for (int bit = 0; bit < kCounterBits; ++bit) {
        const int y = kBlock / 2;
        const int x = bit * kBlock + kBlock / 2;
        if (luma[y * lumaStride + x] > 128) {
            value |= 1 << bit;
        }
    }
    return value;
}

AudioSample makeTone(MediaTime pts, int frames, double frequency, int64_t firstFrameIndex) {
    auto payload = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(frames) * 8);
    auto* samples = reinterpret_cast<float*>(payload->data());
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(firstFrameIndex + i) / 48000.0;
        const auto v = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * frequency * t));
        samples[2 * i] = v;
        samples[2 * i + 1] = v;
    }
    AudioSample sample;
    sample.format = AudioFormat::float32Interleaved(48000, 2);
    sample.frameCount = frames;
    sample.timings = {SampleTiming{MediaTime(1, 48000), pts, MediaTime::invalid()}};
    sample.payload = std::move(payload);
    return sample;
}

SyntheticCaptureStream::SyntheticCaptureStream() = default;

SyntheticCaptureStream::~SyntheticCaptureStream() {
    errorThread_ = {};
}

void SyntheticCaptureStream::addScreenOutput(VideoHandler handler) {
    screen_ = std::move(handler);
}

void SyntheticCaptureStream::addAudioOutput(StreamOutputType type, AudioHandler handler) {
    if (type != StreamOutputType::microphone) {
        audio_ = std::move(handler);
    } else if (failMicrophoneOutput) {
        throw RecorderError("No microphone is available");
    } else {
        microphone_ = std::move(handler);
    }
}

Task<void> SyntheticCaptureStream::startCapture() {
    if (failStart) {
        throw RecorderError("The synthetic source failed to start");
    }
    std::lock_guard lock(emitMutex_);
    running_ = true;
    co_return;
}

Task<void> SyntheticCaptureStream::stopCapture() {
    if (whileStopping) {
        whileStopping();
    }
    std::lock_guard lock(emitMutex_);
    running_ = false;
    if (failStop) {
        throw RecorderError("The synthetic source failed to stop");
    }
    co_return;
}

void SyntheticCaptureStream::emitFrame(MediaTime pts, std::optional<FrameStatus> status) {
    std::lock_guard lock(emitMutex_);
    if (!running_ || !screen_) {
        return;
    }
    VideoSample sample;
    sample.pixels = countedCopy(*frames_.frame(framesEmitted_));
    sample.timing = SampleTiming{MediaTime(1, 30), pts, MediaTime::invalid()};
    sample.frameStatus = status;
    ++framesEmitted_;
    screen_(std::move(sample));
}

std::shared_ptr<const PixelBuffer> SyntheticCaptureStream::countedCopy(const PixelBuffer& source) {
    auto storage =
        std::make_shared<std::vector<uint8_t>>(source.data(), source.data() + source.sizeInBytes());
    const int64_t live = ++pixelCount_->live;
    int64_t peak = pixelCount_->peak;
    while (live > peak && !pixelCount_->peak.compare_exchange_weak(peak, live)) {
    }
    std::shared_ptr<void> owner(storage.get(),
                                [storage, count = pixelCount_](void*) { --count->live; });
    return PixelBuffer::wrap(source.width, source.height, source.bytesPerRow, storage->data(),
                             std::move(owner));
}

void SyntheticCaptureStream::emitSystemAudio(MediaTime pts, int frames) {
    std::lock_guard lock(emitMutex_);
    if (running_ && audio_) {
        audio_(makeTone(pts, frames, 440, systemAudioFrames_));
        systemAudioFrames_ += frames;
    }
}

void SyntheticCaptureStream::emitMicrophone(MediaTime pts, int frames) {
    std::lock_guard lock(emitMutex_);
    if (running_ && microphone_) {
        microphone_(makeTone(pts, frames, 660, micFrames_));
        micFrames_ += frames;
    }
}

void SyntheticCaptureStream::failWithError(const std::string& message) {
    errorThread_ = std::jthread([this, message] {
        if (onStoppedWithError) {
            onStoppedWithError(std::make_exception_ptr(RecorderError(message)));
        }
    });
}

std::unique_ptr<CaptureStream> SyntheticCaptureFactory::makeStream(
    const ContentFilter&, const StreamConfiguration&, StreamStoppedHandler onStoppedWithError) {
    auto stream = std::make_unique<SyntheticCaptureStream>();
    stream->onStoppedWithError = std::move(onStoppedWithError);
    stream->failStart = failStart;
    stream->failStop = failStop;
    stream->failMicrophoneOutput = failMicrophoneOutput;
    lastStream = stream.get();
    return stream;
}

ScopedTmpDir::ScopedTmpDir() {
    if (const char* previous = getenv("TMPDIR")) {
        previous_ = previous;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tessera-media-XXXXXX");
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
    setenv("TMPDIR", path_.c_str(), 1);
}

ScopedTmpDir::~ScopedTmpDir() {
    previous_ ? setenv("TMPDIR", previous_->c_str(), 1) : unsetenv("TMPDIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace tessera::testing
