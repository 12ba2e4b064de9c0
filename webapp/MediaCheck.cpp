#include "MediaCheck.h"

#include <algorithm>
#include <limits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace tessera::webapp {
namespace {

constexpr int kFramesToDecode = 30;

struct FormatCloser {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct CodecFreer {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;

std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

MediaReport fail(std::string error) {
    MediaReport r;
    r.error = std::move(error);
    return r;
}

// Sends one packet (or the flush signal) and counts the frames that come out.
// Returns a negative AVERROR on a decoding failure.
int decodeSome(AVCodecContext* codec, const AVPacket* packet, AVFrame* frame, int& decoded) {
    int rc = avcodec_send_packet(codec, packet);
    if (rc < 0 && rc != AVERROR_EOF) {
        return rc;
    }
    while ((rc = avcodec_receive_frame(codec, frame)) >= 0) {
        ++decoded;
        av_frame_unref(frame);
    }
    return (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) ? 0 : rc;
}

}  // namespace

MediaReport checkMedia(const std::filesystem::path& file) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, file.c_str(), nullptr, nullptr);
    if (rc < 0) {
        return fail("cannot open the joined file (" + avError(rc) + ")");
    }
    FormatPtr format(raw);
    if ((rc = avformat_find_stream_info(format.get(), nullptr)) < 0) {
        return fail("cannot read the stream layout (" + avError(rc) + ")");
    }

    MediaReport report;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const auto type = format->streams[i]->codecpar->codec_type;
        report.hasVideo |= type == AVMEDIA_TYPE_VIDEO;
        report.hasAudio |= type == AVMEDIA_TYPE_AUDIO;
    }
    const AVCodec* decoder = nullptr;
    int main = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (main < 0) {
        main = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    }
    if (main < 0 || decoder == nullptr) {
        return fail("no decodable audio or video stream");
    }
    AVStream* stream = format->streams[main];
    CodecPtr codec(avcodec_alloc_context3(decoder));
    if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0 ||
        (rc = avcodec_open2(codec.get(), decoder, nullptr)) < 0) {
        return fail("cannot open the decoder");
    }

    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    int decoded = 0;
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t end = std::numeric_limits<int64_t>::min();
    while ((rc = av_read_frame(format.get(), packet.get())) >= 0) {
        if (packet->stream_index == main && packet->pts != AV_NOPTS_VALUE) {
            first = std::min(first, packet->pts);
            end = std::max(end, packet->pts + packet->duration);
            if (decoded < kFramesToDecode) {
                if (int d = decodeSome(codec.get(), packet.get(), frame.get(), decoded); d < 0) {
                    return fail("the stream does not decode (" + avError(d) + ")");
                }
            }
        }
        av_packet_unref(packet.get());
    }
    if (rc != AVERROR_EOF) {
        return fail("the file is damaged (" + avError(rc) + ")");
    }
    if (decoded < kFramesToDecode) {
        if (int d = decodeSome(codec.get(), nullptr, frame.get(), decoded); d < 0) {
            return fail("the stream does not decode (" + avError(d) + ")");
        }
    }
    if (decoded == 0 || end <= first) {
        return fail("the stream holds no decodable frame");
    }
    report.ok = true;
    report.durationSeconds = static_cast<double>(end - first) * av_q2d(stream->time_base);
    return report;
}

}  // namespace tessera::webapp
