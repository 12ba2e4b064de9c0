#include "platform/v4l2/CameraFrameDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <string>

#include "support/RecorderError.h"

namespace tessera {

void CameraFrameDecoder::Free::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}
void CameraFrameDecoder::Free::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}
void CameraFrameDecoder::Free::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}
void CameraFrameDecoder::Free::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

namespace {

// The YUVJ formats are their plain YUV counterparts in full range; swscale
// wants the plain format and the range said explicitly.
AVPixelFormat withoutJpegRange(AVPixelFormat format, bool& fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            fullRange = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            fullRange = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            fullRange = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

std::string averrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

CameraFrameDecoder::CameraFrameDecoder(CameraPixelFormat format, int width, int height,
                                       int bytesPerLine)
    : format_(format),
      width_(width),
      height_(height),
      bytesPerLine_(bytesPerLine > 0 ? bytesPerLine : width * 2) {
    if (width <= 0 || height <= 0 ||
        (format == CameraPixelFormat::yuyv422 && bytesPerLine_ < width * 2)) {
        throw RecorderError("Camera picture size " + std::to_string(width) + "×" +
                            std::to_string(height) + " is not usable");
    }
    if (format_ != CameraPixelFormat::mjpeg) {
        return;
    }
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!codec) {
        throw RecorderError("The MJPEG decoder is not available");
    }
    codec_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!codec_ || !frame_ || !packet_) {
        throw RecorderError("Out of memory for the camera decoder");
    }
    // One picture in, one out: no frame threads, which would delay output.
    codec_->thread_count = 1;
    if (int code = avcodec_open2(codec_.get(), codec, nullptr); code < 0) {
        throw RecorderError("The MJPEG decoder cannot be opened (" + averrorText(code) + ")");
    }
}

CameraFrameDecoder::~CameraFrameDecoder() = default;

VideoSample CameraFrameDecoder::decode(const std::uint8_t* data, std::size_t size,
                                       const SampleTiming& timing) {
    if (!data || size == 0) {
        throw RecorderError("The camera frame is empty");
    }
    VideoSample sample;
    sample.pixels =
        format_ == CameraPixelFormat::mjpeg ? decodeJpeg(data, size) : convertYuyv(data, size);
    sample.timing = timing;
    return sample;
}

std::shared_ptr<PixelBuffer> CameraFrameDecoder::convertYuyv(const std::uint8_t* data,
                                                             std::size_t size) {
    // The last row needs only its pixels, not the padding after them.
    const std::size_t needed = static_cast<std::size_t>(bytesPerLine_) * (height_ - 1) + width_ * 2;
    if (size < needed) {
        throw RecorderError("The camera frame holds " + std::to_string(size) + " bytes, not " +
                            std::to_string(needed));
    }
    const std::uint8_t* planes[4] = {data, nullptr, nullptr, nullptr};
    const int strides[4] = {bytesPerLine_, 0, 0, 0};
    return toBgra(planes, strides, AV_PIX_FMT_YUYV422, false, width_, height_);
}

std::shared_ptr<PixelBuffer> CameraFrameDecoder::decodeJpeg(const std::uint8_t* data,
                                                            std::size_t size) {
    if (size > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
        throw RecorderError("The camera frame is too large");
    }
    // The decoder reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end,
    // so the driver's buffer is copied into a padded packet.
    if (av_new_packet(packet_.get(), static_cast<int>(size)) < 0) {
        throw RecorderError("Out of memory for a camera frame");
    }
    std::memcpy(packet_->data, data, size);
    int code = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (code >= 0) {
        code = avcodec_receive_frame(codec_.get(), frame_.get());
    }
    if (code < 0) {
        avcodec_flush_buffers(codec_.get());
        throw RecorderError("The camera's JPEG picture cannot be decoded (" + averrorText(code) +
                            ")");
    }
    bool fullRange = frame_->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source =
        withoutJpegRange(static_cast<AVPixelFormat>(frame_->format), fullRange);
    auto pixels =
        toBgra(frame_->data, frame_->linesize, source, fullRange, frame_->width, frame_->height);
    av_frame_unref(frame_.get());
    return pixels;
}

std::shared_ptr<PixelBuffer> CameraFrameDecoder::toBgra(const std::uint8_t* const planes[],
                                                        const int strides[], int sourceFormat,
                                                        bool fullRange, int width, int height) {
    if (width <= 0 || height <= 0 || sourceFormat == AV_PIX_FMT_NONE) {
        throw RecorderError("The camera frame has no picture");
    }
    if (!scaler_ || scalerFormat_ != sourceFormat || scalerFullRange_ != fullRange ||
        scalerWidth_ != width || scalerHeight_ != height) {
        // Same size in and out, so the filter only matters for chroma
        // upsampling; bicubic matches what the ffmpeg tool does by default.
        scaler_.reset(sws_getContext(width, height, static_cast<AVPixelFormat>(sourceFormat), width,
                                     height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr,
                                     nullptr));
        if (!scaler_) {
            throw RecorderError(std::string("The camera's pixel format ") +
                                av_get_pix_fmt_name(static_cast<AVPixelFormat>(sourceFormat)) +
                                " cannot be converted");
        }
        const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler_.get(), bt601, fullRange ? 1 : 0, bt601, 1, 0, 1 << 16,
                                 1 << 16);
        scalerFormat_ = sourceFormat;
        scalerFullRange_ = fullRange;
        scalerWidth_ = width;
        scalerHeight_ = height;
    }
    auto buffer = pool_.take(width, height);
    std::uint8_t* destination[4] = {buffer->row(0), nullptr, nullptr, nullptr};
    const int destinationStrides[4] = {buffer->bytesPerRow, 0, 0, 0};
    const int rows =
        sws_scale(scaler_.get(), planes, strides, 0, height, destination, destinationStrides);
    if (rows != height) {
        throw RecorderError("The camera frame cannot be converted");
    }
    return buffer;
}

}  // namespace tessera
