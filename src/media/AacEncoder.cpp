#include "media/AacEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace tessera {

namespace {

constexpr const char* kWhat = "Audio encoding";

AVSampleFormat sampleFormatOf(const AudioFormat& format) {
    if (format.sampleType == AudioSampleType::float32) {
        return format.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
    }
    return format.interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
}

bool sameFormat(const AudioFormat& a, const AudioFormat& b) {
    return a.sampleRate == b.sampleRate && a.channels == b.channels &&
           a.interleaved == b.interleaved && a.sampleType == b.sampleType;
}

}  // namespace

AacEncoder::AacEncoder(bool globalHeader, PacketSink sink) : sink_(std::move(sink)) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        throw RecorderError("Audio encoding: no AAC encoder is available");
    }
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_) {
        throw RecorderError("Audio encoding: out of memory");
    }
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = kSampleRate;
    av_channel_layout_default(&codec_->ch_layout, kChannels);
    codec_->bit_rate = kBitRate;
    codec_->profile = FF_PROFILE_AAC_LOW;
    codec_->time_base = AVRational{1, kSampleRate};
    if (globalHeader) {
        codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    ff::check(avcodec_open2(codec_.get(), codec, nullptr), kWhat, "avcodec_open2");
    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kChannels, 4096));
    if (!fifo_) {
        throw RecorderError("Audio encoding: out of memory");
    }
    frame_ = ff::makeFrame();
    packet_ = ff::makePacket();
}

void AacEncoder::configureResampler(const AudioFormat& format) {
    if (resampler_ && resamplerFormat_ && sameFormat(*resamplerFormat_, format)) {
        return;
    }
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, format.channels);
    SwrContext* swr = nullptr;
    int rc = swr_alloc_set_opts2(&swr, &codec_->ch_layout, AV_SAMPLE_FMT_FLTP, kSampleRate,
                                 &inLayout, sampleFormatOf(format),
                                 static_cast<int>(std::lround(format.sampleRate)), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    ff::SwrPtr owned(swr);
    ff::check(rc, kWhat, "swr_alloc_set_opts2");
    ff::check(swr_init(owned.get()), kWhat, "swr_init");
    resampler_ = std::move(owned);
    resamplerFormat_ = format;
}

void AacEncoder::writeSilence(int64_t frames) {
    std::vector<float> zeros(4096, 0.0f);
    while (frames > 0) {
        int n = static_cast<int>(std::min<int64_t>(frames, static_cast<int64_t>(zeros.size())));
        void* planes[kChannels] = {zeros.data(), zeros.data()};
        if (av_audio_fifo_write(fifo_.get(), planes, n) < n) {
            throw RecorderError("Audio encoding: out of memory");
        }
        frames -= n;
        writtenEnd_ += n;
        encodeBlocks(false, std::nullopt);
    }
}

void AacEncoder::push(const AudioSample& sample) {
    if (!sample.hasConsistentPayload()) {
        return;
    }
    const MediaTime pts = sample.presentationTimeStamp();
    if (!pts.isValid()) {
        return;
    }
    const AudioFormat& format = *sample.format;
    const int64_t start = pts.convertScale(kSampleRate).value();
    int64_t skipFrames = 0;
    int64_t drift = 0;
    if (!fifoStart_) {
        fifoStart_ = start;
        writtenEnd_ = static_cast<double>(start);
        correctedUntil_ = writtenEnd_;
    } else {
        const double gap = static_cast<double>(start) - writtenEnd_;
        if (gap > kJitterToleranceSamples) {
            writeSilence(std::llround(gap));
        } else if (gap < -kJitterToleranceSamples) {
            skipFrames = std::llround(-gap * format.sampleRate / kSampleRate);
            if (skipFrames >= sample.frameCount) {
                return;
            }
        } else if (std::abs(gap) > kDriftCorrectionSamples && writtenEnd_ >= correctedUntil_) {
            drift = std::llround(gap);
        }
    }
    configureResampler(format);
    if (drift != 0) {
        // Positive: the buffers' times ran ahead of the audio written, which
        // is stretched by that many samples; negative: squeezed.
        const int64_t distance = std::max<int64_t>(kSampleRate, std::abs(drift) * 200);
        ff::check(swr_set_compensation(resampler_.get(), static_cast<int>(drift),
                                       static_cast<int>(distance)),
                  kWhat, "swr_set_compensation");
        writtenEnd_ += static_cast<double>(drift);
        correctedUntil_ = writtenEnd_ + static_cast<double>(distance);
    }

    const int inFrames = static_cast<int>(sample.frameCount - skipFrames);
    const uint8_t* base = sample.payload->data();
    inPlanes_.clear();
    if (format.interleaved) {
        inPlanes_.push_back(base + skipFrames * format.bytesPerFrame);
    } else {
        for (int c = 0; c < format.channels; ++c) {
            inPlanes_.push_back(base + (c * sample.frameCount + skipFrames) * format.bytesPerFrame);
        }
    }
    writtenEnd_ += inFrames * static_cast<double>(kSampleRate) / format.sampleRate;
    convertIntoFifo(inPlanes_.data(), inFrames);
}

void AacEncoder::convertIntoFifo(const uint8_t* const* in, int frames) {
    const int capacity = std::max(swr_get_out_samples(resampler_.get(), frames), 1);
    uint8_t* out[kChannels];
    void* planes[kChannels];
    for (int c = 0; c < kChannels; ++c) {
        std::vector<float>& plane = converted_[static_cast<size_t>(c)];
        if (plane.size() < static_cast<size_t>(capacity)) {
            plane.resize(static_cast<size_t>(capacity));
        }
        out[c] = reinterpret_cast<uint8_t*>(plane.data());
        planes[c] = plane.data();
    }
    const int converted = ff::check(
        swr_convert(resampler_.get(), out, capacity, const_cast<const uint8_t**>(in), frames),
        kWhat, "swr_convert");
    if (av_audio_fifo_write(fifo_.get(), planes, converted) < converted) {
        throw RecorderError("Audio encoding: out of memory");
    }
    encodeBlocks(false, std::nullopt);
}

void AacEncoder::encodeBlocks(bool final, std::optional<int64_t> endSample) {
    const int blockSize = codec_->frame_size > 0 ? codec_->frame_size : 1024;
    while (fifoStart_) {
        int64_t available = av_audio_fifo_size(fifo_.get());
        if (endSample) {
            available = std::min(available, *endSample - *fifoStart_);
        }
        if (available <= 0 || (available < blockSize && !final)) {
            break;
        }
        const int n = static_cast<int>(std::min<int64_t>(available, blockSize));
        av_frame_unref(frame_.get());
        frame_->nb_samples = n;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = kSampleRate;
        ff::check(av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout), kWhat,
                  "av_channel_layout_copy");
        ff::check(av_frame_get_buffer(frame_.get(), 0), kWhat, "av_frame_get_buffer");
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), n);
        frame_->pts = *fifoStart_;
        *fifoStart_ += n;
        sendFrame(frame_.get());
        if (n < blockSize) {
            // The encoder takes one short frame only, as the last one.
            break;
        }
    }
}

void AacEncoder::finish(std::optional<int64_t> endSample) {
    // A resampler (another rate, or a drift correction) holds back the last
    // few samples until it is drained.
    if (resampler_ && fifoStart_ && swr_get_delay(resampler_.get(), kSampleRate) > 0) {
        convertIntoFifo(nullptr, 0);
    }
    encodeBlocks(true, endSample);
    av_audio_fifo_reset(fifo_.get());
    sendFrame(nullptr);
}

void AacEncoder::sendFrame(AVFrame* frame) {
    ff::check(avcodec_send_frame(codec_.get(), frame), kWhat, "avcodec_send_frame");
    while (true) {
        int rc = avcodec_receive_packet(codec_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return;
        }
        ff::check(rc, kWhat, "avcodec_receive_packet");
        sink_(packet_.get());
        av_packet_unref(packet_.get());
    }
}

}  // namespace tessera
