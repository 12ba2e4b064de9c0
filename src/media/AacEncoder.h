#pragma once

// AAC-LC, 48 kHz, stereo, 160 kbit/s, fed with audio sample buffers of any usable
// format. Converts with libswresample, re-blocks into the encoder's 1024-sample
// frames, and keeps the output continuous on the timeline: a hole between two
// buffers becomes silence and an overlap is cut off, and a slow drift is
// resampled away, so the audio stays in step with the buffers' presentation
// times.
//
// Not thread-safe: one owner thread at a time (the writer that uses it).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "media/FfmpegHandles.h"
#include "media/MediaSample.h"

namespace tessera {

class AacEncoder {
  public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr int64_t kBitRate = 160000;
    // Timestamp jitter below this is absorbed without padding or cutting.
    static constexpr int64_t kJitterToleranceSamples = kSampleRate / 25;
    // A drift between the buffers' times and their sample count (two clocks
    // that run at slightly different rates) is corrected once it passes this,
    // by resampling the next second or more of audio a little faster or slower
    // (by at most 0.5 %), so that it never builds up to the tolerance and
    // jumps there with a gap or a cut.
    static constexpr int64_t kDriftCorrectionSamples = kSampleRate / 100;

    // Receives each encoded packet (time base 1/48000); may keep a reference.
    using PacketSink = std::function<void(AVPacket*)>;

    // Opens the encoder; globalHeader for MP4 muxers. Throws RecorderError.
    AacEncoder(bool globalHeader, PacketSink sink);

    AVCodecContext* codecContext() const { return codec_.get(); }

    // Encodes one buffer placed at its presentation time. A buffer without a
    // usable format, payload or time is skipped. Throws RecorderError when the
    // encoder fails.
    void push(const AudioSample& sample);

    // Encodes what is buffered, cutting the audio at endSample (48 kHz units)
    // when given, and drains the encoder. Nothing may be pushed afterwards.
    void finish(std::optional<int64_t> endSample);

  private:
    void configureResampler(const AudioFormat& format);
    void writeSilence(int64_t frames);
    // Converts `frames` frames into the FIFO and encodes what fills a block;
    // no input drains what the resampler holds back.
    void convertIntoFifo(const uint8_t* const* in, int frames);
    void encodeBlocks(bool final, std::optional<int64_t> endSample);
    void sendFrame(AVFrame* frame);

    PacketSink sink_;
    ff::CodecContextPtr codec_;
    ff::SwrPtr resampler_;
    std::optional<AudioFormat> resamplerFormat_;
    ff::FifoPtr fifo_;
    ff::FramePtr frame_;
    ff::PacketPtr packet_;
    // Timeline position (48 kHz units) of the first sample in the FIFO, and of
    // the end of everything handed to the FIFO so far.
    std::optional<int64_t> fifoStart_;
    double writtenEnd_ = 0;
    // Where on the timeline the drift correction under way ends; a new one
    // starts only after it.
    double correctedUntil_ = 0;
    // Scratch space for each buffer's planes and converted samples, kept
    // between buffers so that pushing allocates nothing once warmed up.
    std::vector<const uint8_t*> inPlanes_;
    std::array<std::vector<float>, kChannels> converted_;
};

}  // namespace tessera
