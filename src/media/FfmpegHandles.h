#pragma once

// RAII owners for the FFmpeg handles used by the writers, and error text.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

#include "support/RecorderError.h"

namespace tessera::ff {

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
// Frees the context's buffer (which FFmpeg may have replaced) and the context.
struct IoContextDeleter {
    void operator()(AVIOContext* io) const {
        if (io) {
            av_freep(&io->buffer);
        }
        avio_context_free(&io);
    }
};
// Frees a muxer context whose pb is owned elsewhere (custom I/O).
struct FormatContextDeleter {
    void operator()(AVFormatContext* f) const { avformat_free_context(f); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

inline std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Throws RecorderError "<what>: <call> failed (<FFmpeg's text>)" when code < 0.
inline int check(int code, const char* what, const char* call) {
    if (code < 0) {
        throw RecorderError(std::string(what) + ": " + call + " failed (" + errorText(code) + ")");
    }
    return code;
}

inline PacketPtr makePacket() {
    PacketPtr p(av_packet_alloc());
    if (!p) {
        throw RecorderError("Out of memory for an encoded packet");
    }
    return p;
}

inline FramePtr makeFrame() {
    FramePtr f(av_frame_alloc());
    if (!f) {
        throw RecorderError("Out of memory for a media frame");
    }
    return f;
}

}  // namespace tessera::ff
