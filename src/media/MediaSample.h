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

// One 32-bit picture in B G R A byte order, rows top to bottom, bytesPerRow
// apart. When alphaIsPadding is set the fourth byte is undefined padding (BGRX,
// as an X server hands out a 24-bit visual) and the picture is opaque;
// otherwise it is alpha. Immutable once shared.
//
// The pixels live either in storage of the buffer's own (make) or in memory
// owned by someone else (wrap), such as a shared-memory segment the X server
// grabs into; the owner is kept alive as long as the buffer is.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    int bytesPerRow = 0;
    bool alphaIsPadding = false;

    // Zeroed storage of width x height tightly packed pixels.
    static std::shared_ptr<PixelBuffer> make(int width, int height);
    // Pixels at `data` (at least bytesPerRow x height bytes), kept valid by `owner`.
    static std::shared_ptr<PixelBuffer> wrap(int width, int height, int bytesPerRow, uint8_t* data,
                                             std::shared_ptr<void> owner);

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t sizeInBytes() const { return static_cast<size_t>(bytesPerRow) * height; }
    uint8_t* row(int y) { return data_ + static_cast<size_t>(y) * bytesPerRow; }
    const uint8_t* row(int y) const { return data_ + static_cast<size_t>(y) * bytesPerRow; }

  private:
    uint8_t* data_ = nullptr;
    std::shared_ptr<void> owner_;
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
