#include "media/MediaSample.h"

namespace tessera {

std::shared_ptr<PixelBuffer> PixelBuffer::make(int width, int height) {
    // FFmpeg's converters write whole vector registers: at a width that is
    // not a multiple of their step, a few bytes past the last pixel. The slack
    // keeps such writes inside the allocation.
    constexpr size_t kSlack = 64;
    const size_t size = static_cast<size_t>(width) * 4 * height + kSlack;
    std::shared_ptr<uint8_t[]> storage(new uint8_t[size]());
    return wrap(width, height, width * 4, storage.get(), storage);
}

std::shared_ptr<PixelBuffer> PixelBuffer::wrap(int width, int height, int bytesPerRow,
                                               uint8_t* data, std::shared_ptr<void> owner) {
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->width = width;
    buffer->height = height;
    buffer->bytesPerRow = bytesPerRow;
    buffer->data_ = data;
    buffer->owner_ = std::move(owner);
    return buffer;
}

VideoSample VideoSample::withTiming(const SampleTiming& newTiming) const {
    VideoSample copy = *this;
    copy.timing = newTiming;
    return copy;
}

AudioFormat AudioFormat::float32Interleaved(double sampleRate, int channels) {
    return AudioFormat{sampleRate, channels, 4 * channels, true, AudioSampleType::float32};
}

AudioFormat AudioFormat::float32Planar(double sampleRate, int channels) {
    return AudioFormat{sampleRate, channels, 4, false, AudioSampleType::float32};
}

bool AudioFormat::isUsable() const {
    if (!(sampleRate > 0) || channels < 1 || bytesPerFrame <= 0) {
        return false;
    }
    int expected = interleaved ? bytesPerSample() * channels : bytesPerSample();
    return bytesPerFrame == expected;
}

AudioSample AudioSample::withTimings(std::vector<SampleTiming> newTimings) const {
    AudioSample copy = *this;
    copy.timings = std::move(newTimings);
    return copy;
}

bool AudioSample::hasConsistentPayload() const {
    if (!format || !format->isUsable() || !payload || frameCount < 1) {
        return false;
    }
    const int64_t planes = format->interleaved ? 1 : format->channels;
    return static_cast<int64_t>(payload->size()) == frameCount * format->bytesPerFrame * planes;
}

}  // namespace tessera
