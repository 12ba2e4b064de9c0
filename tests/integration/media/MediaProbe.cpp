#include "MediaProbe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "support/SyntheticCapture.h"

namespace tessera::testing {

namespace {

struct InputDeleter {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

double seconds(int64_t ts, AVRational tb) {
    return static_cast<double>(ts) * av_q2d(tb);
}

}  // namespace

std::filesystem::path makeTempDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tessera-media-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

MediaProbe probeFile(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path.string());
    }
    std::unique_ptr<AVFormatContext, InputDeleter> input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        throw std::runtime_error("no stream info in " + path.string());
    }
    MediaProbe probe;
    int videoIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    int audioIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    std::unique_ptr<AVCodecContext, CodecDeleter> decoder;
    std::unique_ptr<AVCodecContext, CodecDeleter> audioDecoder;
    std::vector<double> sumSquares;
    std::vector<int64_t> counts;
    if (videoIndex >= 0) {
        const AVCodecParameters* par = input->streams[videoIndex]->codecpar;
        VideoProbe v;
        v.codec = avcodec_get_name(par->codec_id);
        v.profile = par->profile;
        v.colorPrimaries = par->color_primaries;
        v.colorTransfer = par->color_trc;
        v.colorSpace = par->color_space;
        v.width = par->width;
        v.height = par->height;
        v.startSeconds = 1e9;
        probe.video = v;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        decoder.reset(avcodec_alloc_context3(codec));
        avcodec_parameters_to_context(decoder.get(), par);
        if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
            throw std::runtime_error("cannot open the video decoder");
        }
    }
    if (audioIndex >= 0) {
        const AVCodecParameters* par = input->streams[audioIndex]->codecpar;
        AudioProbe a;
        a.codec = avcodec_get_name(par->codec_id);
        a.sampleRate = par->sample_rate;
        a.channels = par->ch_layout.nb_channels;
        a.profile = par->profile;
        a.startSeconds = 1e9;
        probe.audio = a;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        audioDecoder.reset(avcodec_alloc_context3(codec));
        avcodec_parameters_to_context(audioDecoder.get(), par);
        audioDecoder->pkt_timebase = input->streams[audioIndex]->time_base;
        if (avcodec_open2(audioDecoder.get(), codec, nullptr) < 0) {
            throw std::runtime_error("cannot open the audio decoder");
        }
    }
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    auto receive = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            VideoProbe& v = *probe.video;
            if (v.decodedFrames == 0) {
                probe.firstFrameCentreLuma =
                    frame->data[0][(frame->height / 2) * frame->linesize[0] + frame->width / 2];
            }
            ++v.decodedFrames;
            const int64_t pts = frame->best_effort_timestamp;
            v.frameSeconds.push_back(
                pts == AV_NOPTS_VALUE ? -1 : seconds(pts, input->streams[videoIndex]->time_base));
            v.centreLuma.push_back(
                frame->data[0][(frame->height / 2) * frame->linesize[0] + frame->width / 2]);
            v.counters.push_back(
                SyntheticFrames::readCounter(frame->data[0], frame->linesize[0], frame->width));
            av_frame_unref(frame.get());
        }
    };
    auto receiveAudio = [&] {
        while (avcodec_receive_frame(audioDecoder.get(), frame.get()) == 0) {
            const AVRational tb = input->streams[audioIndex]->time_base;
            const int64_t first = frame->pts == AV_NOPTS_VALUE
                                      ? 0
                                      : av_rescale_q(frame->pts, tb, {1, frame->sample_rate});
            const auto* left = reinterpret_cast<const float*>(frame->extended_data[0]);
            for (int i = 0; i < frame->nb_samples; ++i) {
                const int64_t tenth = (first + i) * 10 / frame->sample_rate;
                if (tenth < 0) {
                    continue;
                }
                if (static_cast<size_t>(tenth) >= sumSquares.size()) {
                    sumSquares.resize(tenth + 1);
                    counts.resize(tenth + 1);
                }
                sumSquares[tenth] += static_cast<double>(left[i]) * left[i];
                ++counts[tenth];
                auto& peaks = probe.audio->peakPerMillisecond;
                if (first + i < 0) {
                    continue;
                }
                const auto ms = static_cast<size_t>((first + i) * 1000 / frame->sample_rate);
                if (ms >= peaks.size()) {
                    peaks.resize(ms + 1, 0.0f);
                }
                peaks[ms] = std::max(peaks[ms], std::abs(left[i]));
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const AVStream* st = input->streams[packet->stream_index];
        if (packet->stream_index == videoIndex) {
            VideoProbe& v = *probe.video;
            v.startSeconds = std::min(v.startSeconds, seconds(packet->pts, st->time_base));
            v.endSeconds =
                std::max(v.endSeconds, seconds(packet->pts + packet->duration, st->time_base));
            if (avcodec_send_packet(decoder.get(), packet.get()) < 0) {
                throw std::runtime_error("video does not decode");
            }
            receive();
        } else if (packet->stream_index == audioIndex) {
            AudioProbe& a = *probe.audio;
            a.startSeconds = std::min(a.startSeconds, seconds(packet->pts, st->time_base));
            a.endSeconds =
                std::max(a.endSeconds, seconds(packet->pts + packet->duration, st->time_base));
            if (avcodec_send_packet(audioDecoder.get(), packet.get()) >= 0) {
                receiveAudio();
            }
        }
        av_packet_unref(packet.get());
    }
    if (decoder) {
        avcodec_send_packet(decoder.get(), nullptr);
        receive();
    }
    if (audioDecoder) {
        avcodec_send_packet(audioDecoder.get(), nullptr);
        receiveAudio();
        for (size_t i = 0; i < sumSquares.size(); ++i) {
            probe.audio->rmsPerTenth.push_back(counts[i] ? std::sqrt(sumSquares[i] / counts[i])
                                                         : 0.0);
        }
    }
    // Fragmented files do not always give packet durations; the stream's own
    // duration covers the last sample.
    auto streamEnd = [&](int index) {
        const AVStream* st = input->streams[index];
        if (st->duration <= 0 || st->duration == AV_NOPTS_VALUE) {
            return 0.0;
        }
        const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
        return seconds(start + st->duration, st->time_base);
    };
    if (probe.video) {
        probe.video->endSeconds = std::max(probe.video->endSeconds, streamEnd(videoIndex));
    }
    if (probe.audio) {
        probe.audio->endSeconds = std::max(probe.audio->endSeconds, streamEnd(audioIndex));
    }
    return probe;
}

namespace {

uint64_t readBig(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Calls visit(type, body, bodySize) for each box in [data, data + size).
template <class F>
void forEachBox(const uint8_t* data, size_t size, F visit) {
    size_t at = 0;
    while (at + 8 <= size) {
        const auto boxSize = static_cast<size_t>(readBig(data + at, 4));
        if (boxSize < 8 || at + boxSize > size) {
            throw std::runtime_error("malformed box");
        }
        visit(std::string(reinterpret_cast<const char*>(data + at + 4), 4), data + at + 8,
              boxSize - 8);
        at += boxSize;
    }
}

TrackFragment readTraf(const uint8_t* data, size_t size) {
    TrackFragment track;
    uint32_t defaultDuration = 0;
    forEachBox(data, size, [&](const std::string& type, const uint8_t* body, size_t) {
        const uint32_t flags = static_cast<uint32_t>(readBig(body, 4)) & 0xFFFFFF;
        const uint8_t* p = body + 4;
        if (type == "tfhd") {
            track.trackId = static_cast<uint32_t>(readBig(p, 4));
            p += 4 + ((flags & 0x01) ? 8 : 0) + ((flags & 0x02) ? 4 : 0);
            if (flags & 0x08) {
                defaultDuration = static_cast<uint32_t>(readBig(p, 4));
            }
        } else if (type == "tfdt") {
            track.baseDecodeTime = readBig(p, body[0] == 1 ? 8 : 4);
        } else if (type == "trun") {
            const auto count = static_cast<uint32_t>(readBig(p, 4));
            p += 4 + ((flags & 0x01) ? 4 : 0) + ((flags & 0x04) ? 4 : 0);
            const int perSample = ((flags & 0x100) ? 4 : 0) + ((flags & 0x200) ? 4 : 0) +
                                  ((flags & 0x400) ? 4 : 0) + ((flags & 0x800) ? 4 : 0);
            for (uint32_t i = 0; i < count; ++i, p += perSample) {
                track.duration += (flags & 0x100) ? readBig(p, 4) : defaultDuration;
            }
            track.samples += count;
        }
    });
    return track;
}

}  // namespace

std::vector<TrackFragment> trackFragments(const std::vector<uint8_t>& segment) {
    std::vector<TrackFragment> tracks;
    forEachBox(segment.data(), segment.size(),
               [&](const std::string& type, const uint8_t* body, size_t size) {
                   if (type != "moof") {
                       return;
                   }
                   forEachBox(body, size,
                              [&](const std::string& inner, const uint8_t* traf, size_t length) {
                                  if (inner == "traf") {
                                      tracks.push_back(readTraf(traf, length));
                                  }
                              });
               });
    return tracks;
}

MediaProbe probeBytes(const std::vector<uint8_t>& bytes) {
    const auto dir = makeTempDirectory();
    const auto path = dir / "probe.mp4";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    MediaProbe probe = probeFile(path);
    std::filesystem::remove_all(dir);
    return probe;
}

}  // namespace tessera::testing
