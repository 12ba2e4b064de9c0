#include "DecodedVideo.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

namespace tessera::testing {

namespace {

struct FormatClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

int clamp8(double value) {
    return std::clamp(static_cast<int>(std::lround(value)), 0, 255);
}

}  // namespace

Rgb DecodedFrame::at(int x, int y) const {
    const double luma = (planes_[0][y * strides_[0] + x] - 16) * 255.0 / 219.0;
    const double cb = (planes_[1][(y / 2) * strides_[1] + x / 2] - 128) * 255.0 / 224.0;
    const double cr = (planes_[2][(y / 2) * strides_[2] + x / 2] - 128) * 255.0 / 224.0;
    return {clamp8(luma + 1.5748 * cr), clamp8(luma - 0.1873 * cb - 0.4681 * cr),
            clamp8(luma + 1.8556 * cb)};
}

int forEachVideoFrame(const std::filesystem::path& file,
                      const std::function<void(const DecodedFrame&)>& visit) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, file.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + file.string());
    }
    std::unique_ptr<AVFormatContext, FormatClose> format(opened);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) {
        throw std::runtime_error("no stream info in " + file.string());
    }
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        throw std::runtime_error("no video stream in " + file.string());
    }
    const AVStream* stream = format->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    std::unique_ptr<AVCodecContext, CodecFree> decoder(avcodec_alloc_context3(codec));
    if (!codec || !decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        throw std::runtime_error("cannot open the video decoder");
    }
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    int count = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            if (frame->format != AV_PIX_FMT_YUV420P) {
                throw std::runtime_error("not 8-bit 4:2:0 video");
            }
            const double seconds =
                frame->best_effort_timestamp == AV_NOPTS_VALUE
                    ? 0.0
                    : static_cast<double>(frame->best_effort_timestamp) * av_q2d(stream->time_base);
            const std::uint8_t* planes[3] = {frame->data[0], frame->data[1], frame->data[2]};
            const int strides[3] = {frame->linesize[0], frame->linesize[1], frame->linesize[2]};
            visit(DecodedFrame(planes, strides, frame->width, frame->height, seconds));
            ++count;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            avcodec_send_packet(decoder.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return count;
}

}  // namespace tessera::testing
