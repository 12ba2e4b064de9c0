#include "support/FragmentedMp4.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

extern "C" {
#include <libavformat/avformat.h>
}

namespace tessera::testing {

std::vector<std::string> splitAtMoof(const std::string& file) {
    std::vector<std::string> segments(1);
    size_t pos = 0;
    while (pos + 8 <= file.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(file.data() + pos);
        const uint32_t size = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]};
        const std::string type = file.substr(pos + 4, 4);
        if (size < 8 || pos + size > file.size()) {
            throw std::runtime_error("malformed MP4 box at " + std::to_string(pos));
        }
        if (type == "moof") {
            segments.emplace_back();
        }
        segments.back() += file.substr(pos, size);
        pos += size;
    }
    return segments;
}

std::vector<std::string> makeFragmentedMp4Segments(const std::filesystem::path& workDir,
                                                   double seconds, const std::string& size) {
    const auto out = workDir / ("pattern-" + size + ".mp4");
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=" + size +
                            ":rate=30 -t " + std::to_string(seconds) +
                            " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 30 -keyint_min 30"
                            " -movflags frag_keyframe+empty_moov+default_base_moof -f mp4 '" +
                            out.string() + "'";
    if (std::system(cmd.c_str()) != 0) {
        throw std::runtime_error("ffmpeg failed: " + cmd);
    }
    std::ifstream in(out, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return splitAtMoof(bytes.str());
}

MediaFacts readMedia(const std::filesystem::path& file) {
    MediaFacts facts;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, file.c_str(), nullptr, nullptr) < 0) {
        return facts;
    }
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        const int video = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        AVPacket* packet = av_packet_alloc();
        int64_t first = std::numeric_limits<int64_t>::max(), end = 0;
        while (video >= 0 && av_read_frame(ctx, packet) >= 0) {
            if (packet->stream_index == video) {
                ++facts.videoPackets;
                first = std::min(first, packet->pts);
                end = std::max(end, packet->pts + packet->duration);
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        if (facts.videoPackets > 0) {
            facts.opened = true;
            facts.videoSeconds =
                static_cast<double>(end - first) * av_q2d(ctx->streams[video]->time_base);
        }
    }
    avformat_close_input(&ctx);
    return facts;
}

}  // namespace tessera::testing
