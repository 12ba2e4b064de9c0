#include "camera/effects/PictureFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libswscale/swscale.h>
}

#include <cstdlib>
#include <memory>
#include <opencv2/core.hpp>

#include "support/Log.h"

namespace tessera::effects {

namespace {

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct DecoderFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct ScalerFreer {
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};

// The first picture of the decoder's output: sends packets until one comes
// out, then drains.
bool decodeFirst(AVFormatContext* input, int stream, AVCodecContext* decoder, AVFrame* frame) {
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) {
        return false;
    }
    while (av_read_frame(input, packet.get()) >= 0) {
        const bool ours = packet->stream_index == stream;
        const int sent = ours ? avcodec_send_packet(decoder, packet.get()) : 0;
        av_packet_unref(packet.get());
        if (sent < 0) {
            return false;
        }
        if (ours && avcodec_receive_frame(decoder, frame) == 0) {
            return true;
        }
    }
    avcodec_send_packet(decoder, nullptr);
    return avcodec_receive_frame(decoder, frame) == 0;
}

// Turns a decoded picture upright by its EXIF orientation (1 to 8), which
// phones write instead of rotating the pixels. FFmpeg's JPEG decoder hands the
// tag over as the frame's "Orientation" metadata.
cv::Mat upright(cv::Mat picture, const AVFrame& frame) {
    const AVDictionaryEntry* tag = av_dict_get(frame.metadata, "Orientation", nullptr, 0);
    const int orientation = tag ? std::atoi(tag->value) : 1;
    cv::Mat turned;
    switch (orientation) {
        case 2:
            cv::flip(picture, turned, 1);
            return turned;
        case 3:
            cv::rotate(picture, turned, cv::ROTATE_180);
            return turned;
        case 4:
            cv::flip(picture, turned, 0);
            return turned;
        case 5:
            cv::transpose(picture, turned);
            return turned;
        case 6:
            cv::rotate(picture, turned, cv::ROTATE_90_CLOCKWISE);
            return turned;
        case 7: {
            cv::Mat transposed;
            cv::transpose(picture, transposed);
            cv::flip(transposed, turned, -1);
            return turned;
        }
        case 8:
            cv::rotate(picture, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
            return turned;
        default:
            return picture;
    }
}

}  // namespace

std::optional<cv::Mat> decodePictureFile(const std::string& path) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) {
        logging::warning("camera-effects", "cannot open the picture " + path);
        return std::nullopt;
    }
    std::unique_ptr<AVFormatContext, InputCloser> input(opened);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        logging::warning("camera-effects", "cannot read the picture " + path);
        return std::nullopt;
    }
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || codec == nullptr) {
        logging::warning("camera-effects", "no picture in " + path);
        return std::nullopt;
    }
    std::unique_ptr<AVCodecContext, DecoderFreer> decoder(avcodec_alloc_context3(codec));
    if (!decoder ||
        avcodec_parameters_to_context(decoder.get(), input->streams[stream]->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        logging::warning("camera-effects", "cannot decode the picture " + path);
        return std::nullopt;
    }
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!frame || !decodeFirst(input.get(), stream, decoder.get(), frame.get()) ||
        frame->width <= 0 || frame->height <= 0) {
        logging::warning("camera-effects", "the picture " + path + " does not decode");
        return std::nullopt;
    }
    std::unique_ptr<SwsContext, ScalerFreer> scaler(sws_getContext(
        frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
        frame->height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler) {
        logging::warning("camera-effects", "cannot convert the picture " + path);
        return std::nullopt;
    }
    // The converter writes whole vector registers, past the last pixel of a
    // row whose width is not a multiple of their step: convert into storage
    // with room after the picture, then keep the picture alone.
    const int stride = frame->width * 4;
    cv::Mat storage(1, stride * frame->height + 64, CV_8U);
    std::uint8_t* planes[1] = {storage.data};
    const int strides[1] = {stride};
    sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    const cv::Mat converted(frame->height, frame->width, CV_8UC4, storage.data,
                            static_cast<size_t>(stride));
    return upright(converted.clone(), *frame);
}

}  // namespace tessera::effects
