#include "media/FragmentedMp4Encoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

#include "media/Bt709Conversion.h"
#include "media/EncoderSettings.h"

namespace tessera {

namespace {

constexpr const char* kWhat = "Screen encoding";
constexpr int kIoBufferSize = 32 * 1024;

ff::PacketPtr clonePacket(AVPacket* packet) {
    ff::PacketPtr copy = ff::makePacket();
    av_packet_move_ref(copy.get(), packet);
    return copy;
}

struct DictionaryDeleter {
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

// Frees the reference that keeps the shared pixels alive while FFmpeg holds them.
void releasePixels(void* opaque, uint8_t*) {
    delete static_cast<std::shared_ptr<const PixelBuffer>*>(opaque);
}

ff::FramePtr cloneFrame(const AVFrame* frame) {
    ff::FramePtr copy(av_frame_clone(frame));
    if (!copy) {
        throw RecorderError("Screen encoding: out of memory");
    }
    return copy;
}

}  // namespace

VideoConverter::VideoConverter(int width, int height, int threads, int preparedFrames)
    : width_(width), height_(height), threads_(std::max(threads, 1)) {
    source_ = ff::makeFrame();
    // Allocated and written once now rather than while recording: a fresh
    // frame's pages are faulted in on first write, which at 4K costs more than
    // a conversion and would make the first frames late.
    for (int i = 0; i < preparedFrames; ++i) {
        AVFrame* frame = newFrame();
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height_ : (height_ + 1) / 2;
            std::memset(frame->data[plane], plane == 0 ? 16 : 128,
                        static_cast<size_t>(frame->linesize[plane]) * rows);
        }
    }
}

void VideoConverter::prepareScaler(const PixelBuffer& pixels) {
    if (scaler_ && scalerWidth_ == pixels.width && scalerHeight_ == pixels.height) {
        return;
    }
    scaler_.reset(sws_alloc_context());
    if (!scaler_) {
        throw RecorderError("Screen encoding: out of memory");
    }
    SwsContext* s = scaler_.get();
    av_opt_set_int(s, "srcw", pixels.width, 0);
    av_opt_set_int(s, "srch", pixels.height, 0);
    // Read as BGR0: the video carries no alpha, and the fourth byte of a
    // screen grab is padding of undefined value.
    av_opt_set_int(s, "src_format", AV_PIX_FMT_BGR0, 0);
    av_opt_set_int(s, "dstw", width_, 0);
    av_opt_set_int(s, "dsth", height_, 0);
    av_opt_set_int(s, "dst_format", AV_PIX_FMT_YUV420P, 0);
    av_opt_set_int(s, "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(s, "threads", threads_, 0);
    ff::check(sws_init_context(s, nullptr, nullptr), kWhat, "sws_init_context");
    // The default matrix is BT.601; the stream is tagged BT.709, limited range.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    ff::check(sws_setColorspaceDetails(s, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16), kWhat,
              "sws_setColorspaceDetails");
    scalerWidth_ = pixels.width;
    scalerHeight_ = pixels.height;
}

AVFrame* VideoConverter::writableFrame() {
    for (const auto& frame : frames_) {
        // Writable once the encoder has dropped its reference (its stage
        // releases it after handing the frame to x264, which copies it).
        if (av_frame_is_writable(frame.get())) {
            return frame.get();
        }
    }
    return newFrame();
}

AVFrame* VideoConverter::newFrame() {
    ff::FramePtr frame = ff::makeFrame();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width_;
    frame->height = height_;
    ff::check(av_frame_get_buffer(frame.get(), 0), kWhat, "av_frame_get_buffer");
    frames_.push_back(std::move(frame));
    return frames_.back().get();
}

ff::FramePtr VideoConverter::convert(std::shared_ptr<const PixelBuffer> pixels) {
    AVFrame* target = writableFrame();
    if (pixels->width == width_ && pixels->height == height_ && width_ % 2 == 0 &&
        height_ % 2 == 0) {
        // Same size: no scaling, only the colour conversion.
        convertBgrxToYuv420Bt709(
            pixels->data(), pixels->bytesPerRow, width_, height_,
            Yuv420Planes{target->data[0], target->data[1], target->data[2], target->linesize[0],
                         target->linesize[1], target->linesize[2]});
        return cloneFrame(target);
    }
    prepareScaler(*pixels);
    // Wrap the shared pixels without copying them: the scaler takes a
    // reference to its source and would copy one that is not counted.
    av_frame_unref(source_.get());
    const PixelBuffer& picture = *pixels;
    auto* keep = new std::shared_ptr<const PixelBuffer>(std::move(pixels));
    AVBufferRef* ref = av_buffer_create(const_cast<uint8_t*>(picture.data()),
                                        static_cast<int>(picture.sizeInBytes()), &releasePixels,
                                        keep, AV_BUFFER_FLAG_READONLY);
    if (!ref) {
        delete keep;
        throw RecorderError("Screen encoding: out of memory");
    }
    source_->buf[0] = ref;
    source_->data[0] = ref->data;
    source_->linesize[0] = picture.bytesPerRow;
    source_->width = picture.width;
    source_->height = picture.height;
    source_->format = AV_PIX_FMT_BGR0;
    const int rc = sws_scale_frame(scaler_.get(), target, source_.get());
    av_frame_unref(source_.get());
    ff::check(rc, kWhat, "sws_scale_frame");
    return cloneFrame(target);
}

FragmentedMp4Encoder::FragmentedMp4Encoder(const SegmentWriter::Configuration& configuration,
                                           Deliver deliver)
    : config_(configuration), deliver_(std::move(deliver)) {
    if (config_.frameRate <= 0) {
        config_.frameRate = 30;
    }
    if (config_.segmentSeconds <= 0) {
        config_.segmentSeconds = 2;
    }
    segmentTicks_ = config_.segmentSeconds * kVideoTimescale;
    nextCutSeconds_ = config_.segmentSeconds;
    lastFrameDurationTicks_ = kVideoTimescale / config_.frameRate;
    packet_ = ff::makePacket();
    openVideo();
    if (config_.systemAudio) {
        audio_ = std::make_unique<AacEncoder>(true, [this](AVPacket* p) { onAudioPacket(p); });
    }
    openMuxer();
}

void FragmentedMp4Encoder::openVideo() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        throw RecorderError("Screen encoding: the H.264 encoder (libx264) is not available");
    }
    if (config_.width < 2 || config_.height < 2 || config_.width > 8192 || config_.height > 8192) {
        throw RecorderError("Screen encoding: unsupported video size " +
                            std::to_string(config_.width) + " x " + std::to_string(config_.height));
    }
    video_.reset(avcodec_alloc_context3(codec));
    if (!video_) {
        throw RecorderError("Screen encoding: out of memory");
    }
    const VideoEncoderSettings settings = encoderSettingsFor(config_.width, config_.height);
    video_->width = static_cast<int>(config_.width);
    video_->height = static_cast<int>(config_.height);
    video_->pix_fmt = AV_PIX_FMT_YUV420P;
    video_->time_base = AVRational{1, kVideoTimescale};
    video_->framerate = AVRational{static_cast<int>(config_.frameRate), 1};
    video_->bit_rate = config_.bitrate;
    // No B-frames: packets leave the encoder in presentation order, so every
    // frame's duration is known from the next one and the session end can trim
    // the last frame exactly; it also keeps the encoder's latency low.
    video_->max_b_frames = 0;
    video_->thread_count = settings.threads;
    video_->profile = FF_PROFILE_H264_HIGH;
    video_->color_primaries = AVCOL_PRI_BT709;
    video_->color_trc = AVCOL_TRC_BT709;
    video_->colorspace = AVCOL_SPC_BT709;
    video_->color_range = AVCOL_RANGE_MPEG;
    video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "preset", settings.preset.c_str(), 0);
    av_dict_set(&raw, "profile", "high", 0);
    av_dict_set(&raw, "forced-idr", "1", 0);
    if (!settings.x264Params.empty()) {
        av_dict_set(&raw, "x264-params", settings.x264Params.c_str(), 0);
    }
    std::unique_ptr<AVDictionary, DictionaryDeleter> options(raw);
    raw = options.release();
    int rc = avcodec_open2(video_.get(), codec, &raw);
    options.reset(raw);
    ff::check(rc, kWhat, "avcodec_open2");
}

void FragmentedMp4Encoder::openMuxer() {
    AVFormatContext* raw = nullptr;
    ff::check(avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr), kWhat,
              "avformat_alloc_output_context2");
    muxer_.reset(raw);
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer) {
        throw RecorderError("Screen encoding: out of memory");
    }
    io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr,
                                 &FragmentedMp4Encoder::onWrite, nullptr));
    if (!io_) {
        av_free(buffer);
        throw RecorderError("Screen encoding: out of memory");
    }
    muxer_->pb = io_.get();
    muxer_->flags |= AVFMT_FLAG_CUSTOM_IO;

    videoStream_ = avformat_new_stream(muxer_.get(), nullptr);
    if (!videoStream_) {
        throw RecorderError("Screen encoding: out of memory");
    }
    ff::check(avcodec_parameters_from_context(videoStream_->codecpar, video_.get()), kWhat,
              "avcodec_parameters_from_context");
    videoStream_->time_base = video_->time_base;
    if (audio_) {
        audioStream_ = avformat_new_stream(muxer_.get(), nullptr);
        if (!audioStream_) {
            throw RecorderError("Screen encoding: out of memory");
        }
        ff::check(avcodec_parameters_from_context(audioStream_->codecpar, audio_->codecContext()),
                  kWhat, "avcodec_parameters_from_context");
        audioStream_->time_base = audio_->codecContext()->time_base;
    }
    // frag_custom: fragments are cut only where flushFragment() says. delay_moov
    // writes the header with the first fragment so that it carries the edit list.
    // skip_trailer leaves out the mfra index, which a stream of segments cannot use.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags",
                "frag_custom+empty_moov+delay_moov+default_base_moof+skip_trailer", 0);
    int rc = avformat_write_header(muxer_.get(), &options);
    av_dict_free(&options);
    ff::check(rc, kWhat, "avformat_write_header");
}

int FragmentedMp4Encoder::onWrite(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<FragmentedMp4Encoder*>(opaque);
    self->pendingBytes_.insert(self->pendingBytes_.end(), data, data + size);
    return size;
}

void FragmentedMp4Encoder::encodeVideo(ff::FramePtr picture, int64_t ptsTicks, MediaTime duration) {
    if (videoDrained_) {
        reopenVideo();
    }
    picture->pts = ptsTicks;
    if (ptsTicks >= nextForcedKeyTicks_) {
        picture->pict_type = AV_PICTURE_TYPE_I;
        nextForcedKeyTicks_ = (ptsTicks / segmentTicks_ + 1) * segmentTicks_;
    } else {
        picture->pict_type = AV_PICTURE_TYPE_NONE;
    }
    lastFrameDurationTicks_ =
        (duration.isValid() && duration.value() > 0)
            ? std::max<int64_t>(duration.convertScale(kVideoTimescale).value(), 1)
            : kVideoTimescale / config_.frameRate;
    sendVideo(picture.get());
}

void FragmentedMp4Encoder::sendVideo(AVFrame* frame) {
    ff::check(avcodec_send_frame(video_.get(), frame), kWhat, "avcodec_send_frame");
    while (true) {
        int rc = avcodec_receive_packet(video_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            return;
        }
        ff::check(rc, kWhat, "avcodec_receive_packet");
        onVideoPacket(packet_.get());
    }
}

void FragmentedMp4Encoder::onVideoPacket(AVPacket* packet) {
    ff::PacketPtr next = clonePacket(packet);
    if (heldVideo_) {
        heldVideo_->duration = std::max<int64_t>(next->pts - heldVideo_->pts, 1);
        writeVideo(std::move(heldVideo_));
    }
    // The segment before a key packet at a cut is complete as soon as that
    // packet exists: deliver it now instead of when the next packet arrives,
    // which on a screen that stopped changing may be a whole segment later.
    cutBefore(*next);
    heldVideo_ = std::move(next);
}

void FragmentedMp4Encoder::cutBefore(const AVPacket& packet) {
    const bool key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    if (!key || packet.pts < nextCutSeconds_ * kVideoTimescale) {
        return;
    }
    if (fragmentHasSamples_) {
        flushFragment();
    }
    nextCutSeconds_ = (packet.pts / segmentTicks_ + 1) * config_.segmentSeconds;
    writeReadyAudio(false);
}

void FragmentedMp4Encoder::writeVideo(ff::PacketPtr packet) {
    writePacket(packet.get(), videoStream_, video_->time_base);
    ++videoPacketsWritten_;
}

void FragmentedMp4Encoder::drainVideo() {
    if (videoDrained_) {
        return;
    }
    sendVideo(nullptr);
    videoDrained_ = true;
}

void FragmentedMp4Encoder::reopenVideo() {
    // libx264 cannot take frames after a drain; a new encoder with the same
    // settings produces the same parameter sets, which the movie header
    // already carries. Checked, since a mismatch would make every later
    // frame undecodable.
    openVideo();
    const AVCodecParameters* written = videoStream_->codecpar;
    if (video_->extradata_size != written->extradata_size ||
        std::memcmp(video_->extradata, written->extradata,
                    static_cast<size_t>(written->extradata_size)) != 0) {
        throw RecorderError("Screen encoding: the restarted encoder changed its parameter sets");
    }
    videoDrained_ = false;
}

void FragmentedMp4Encoder::encodeAudio(const AudioSample& sample) {
    if (audio_) {
        audio_->push(sample);
    }
}

void FragmentedMp4Encoder::onAudioPacket(AVPacket* packet) {
    heldAudio_.push_back(clonePacket(packet));
    writeReadyAudio(false);
}

void FragmentedMp4Encoder::writeReadyAudio(bool all) {
    const int64_t cut = nextCutSeconds_ * AacEncoder::kSampleRate;
    while (!heldAudio_.empty() && (all || heldAudio_.front()->pts < cut)) {
        writePacket(heldAudio_.front().get(), audioStream_, audio_->codecContext()->time_base);
        heldAudio_.pop_front();
    }
}

void FragmentedMp4Encoder::writePacket(AVPacket* packet, AVStream* stream, AVRational from) {
    packet->stream_index = stream->index;
    av_packet_rescale_ts(packet, from, stream->time_base);
    ff::check(av_write_frame(muxer_.get(), packet), kWhat, "av_write_frame");
    av_packet_unref(packet);
    fragmentHasSamples_ = true;
}

void FragmentedMp4Encoder::endSession(MediaTime end) {
    if (end.isValid()) {
        sessionEnd_ = end;
    }
}

void FragmentedMp4Encoder::finishStream() {
    drainVideo();
    std::optional<int64_t> endTicks;
    if (sessionEnd_) {
        endTicks = sessionEnd_->convertScale(kVideoTimescale).value();
    }
    if (heldVideo_) {
        if (endTicks && heldVideo_->pts >= *endTicks && videoPacketsWritten_ > 0) {
            // The frame at the session end only marks where the previous one
            // stops; the previous packet already lasts until it.
            heldVideo_.reset();
        } else {
            const int64_t untilEnd = endTicks ? *endTicks - heldVideo_->pts : 0;
            heldVideo_->duration = untilEnd > 0 ? untilEnd : lastFrameDurationTicks_;
            writeVideo(std::move(heldVideo_));
        }
    }
    if (audio_) {
        std::optional<int64_t> endSample;
        if (sessionEnd_) {
            endSample = sessionEnd_->convertScale(AacEncoder::kSampleRate).value();
        }
        audio_->finish(endSample);
        writeReadyAudio(true);
    }
    flushFragment();
    ff::check(av_write_trailer(muxer_.get()), kWhat, "av_write_trailer");
    // With skip_trailer nothing of use follows the last fragment.
    pendingBytes_.clear();
}

void FragmentedMp4Encoder::flushMuxer() {
    ff::check(av_write_frame(muxer_.get(), nullptr), kWhat, "av_write_frame");
    avio_flush(io_.get());
    if (!pendingBytes_.empty()) {
        deliver_(std::exchange(pendingBytes_, {}));
    }
}

void FragmentedMp4Encoder::flushFragment() {
    if (!initDelivered_) {
        // With delay_moov the first flush writes only ftyp + moov: the
        // initialization segment. The fragment itself needs a second flush.
        flushMuxer();
        initDelivered_ = true;
    }
    flushMuxer();
    fragmentHasSamples_ = false;
}

}  // namespace tessera
