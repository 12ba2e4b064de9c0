#pragma once

// Media samples as they travel from a capture source through the retimer into the
// writers. A sample is a small value: its payload (pixels or audio bytes) is
// reference-counted and immutable, so copies — including copies with new timing —
// share it and cost no pixel or audio copy. Samples may be moved between threads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "support/MediaTime.h"

namespace tessera {

// The timing of one media sample; any of the three may be invalid.
struct SampleTiming {
    MediaTime duration;
    MediaTime presentationTimeStamp;
    MediaTime decodeTimeStamp;
};

// One BGRA picture (8 bits per channel, B G R A byte order), rows top to bottom.
// Immutable once shared.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    std::vector<uint8_t> bytes;

    static std::shared_ptr<PixelBuffer> make(int width, int height);
    uint8_t* row(int y) { return bytes.data() + static_cast<size_t>(y) * bytesPerRow; }
    const uint8_t* row(int y) const { return bytes.data() + static_cast<size_t>(y) * bytesPerRow; }
};

// What a capture source says about a screen frame. Only complete frames carry a
// new picture worth encoding.
enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

struct VideoSample {
    std::shared_ptr<const PixelBuffer> pixels;
    SampleTiming timing;
    // The frame-status attachment; absent when the source attached none.
    std::optional<FrameStatus> frameStatus;

    bool isValid() const { return pixels != nullptr && pixels->width > 0 && pixels->height > 0; }
    // A copy with one timing entry; the pixels are shared.
    VideoSample withTiming(const SampleTiming& newTiming) const;
};

enum class AudioSampleType { float32, int16 };

// The stream description of an audio buffer. For interleaved audio bytesPerFrame
// covers all channels of one frame; for non-interleaved audio it covers one
// channel (each channel is one plane of frameCount * bytesPerFrame bytes).
struct AudioFormat {
    double sampleRate = 0;
    int channels = 0;
    int bytesPerFrame = 0;
    bool interleaved = true;
    AudioSampleType sampleType = AudioSampleType::float32;

    static AudioFormat float32Interleaved(double sampleRate, int channels);
    static AudioFormat float32Planar(double sampleRate, int channels);
    int bytesPerSample() const { return sampleType == AudioSampleType::float32 ? 4 : 2; }
    bool isUsable() const;
};

struct AudioSample {
    // Absent when the buffer has no audio format description.
    std::optional<AudioFormat> format;
    int64_t frameCount = 0;
    // Usually one entry: the duration of one frame and the first frame's time.
    std::vector<SampleTiming> timings;
    // Interleaved frames, or the planes one after another when non-interleaved.
    std::shared_ptr<const std::vector<uint8_t>> payload;

    // A copy with new timing entries; the payload is shared.
    AudioSample withTimings(std::vector<SampleTiming> newTimings) const;
    MediaTime presentationTimeStamp() const {
        return timings.empty() ? MediaTime::invalid() : timings.front().presentationTimeStamp;
    }
    // True when the payload holds frameCount frames of the described format.
    bool hasConsistentPayload() const;
};

}  // namespace tessera
