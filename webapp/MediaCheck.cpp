#include "MediaCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "FileDescriptor.h"

namespace tessera::webapp {
namespace {

// Frames decoded from the start of each checked region. A broken initialization
// segment, codec configuration or bitstream shows up in these already.
constexpr int kFramesToDecode = 30;
constexpr int kIoBufferSize = 64 * 1024;

struct FormatCloser {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct IoFreer {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
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
using IoPtr = std::unique_ptr<AVIOContext, IoFreer>;
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

// Presents byte ranges of a file as one seekable file to libavformat.
class RangeReader {
  public:
    RangeReader(int fd, std::vector<ByteRange> ranges) : fd_(fd), ranges_(std::move(ranges)) {
        for (const ByteRange& r : ranges_) {
            starts_.push_back(size_);
            size_ += r.end - r.begin;
        }
    }
    // Offset of range `i` in the joined view.
    int64_t startOf(size_t i) const { return starts_[i]; }

    static int read(void* opaque, uint8_t* buf, int size) {
        auto* self = static_cast<RangeReader*>(opaque);
        if (self->pos_ >= self->size_) {
            return AVERROR_EOF;
        }
        size_t i = 0;
        while (i + 1 < self->starts_.size() && self->starts_[i + 1] <= self->pos_) {
            ++i;
        }
        const int64_t within = self->pos_ - self->starts_[i];
        const int64_t left = self->ranges_[i].end - self->ranges_[i].begin - within;
        const auto wanted = static_cast<size_t>(std::min<int64_t>(size, left));
        ssize_t n;
        do {
            n = ::pread(self->fd_, buf, wanted, self->ranges_[i].begin + within);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            return AVERROR(errno);
        }
        if (n == 0) {
            return AVERROR_EOF;
        }
        self->pos_ += n;
        return static_cast<int>(n);
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<RangeReader*>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
            case AVSEEK_SIZE:
                return self->size_;
            case SEEK_SET:
                break;
            case SEEK_CUR:
                offset += self->pos_;
                break;
            case SEEK_END:
                offset += self->size_;
                break;
            default:
                return AVERROR(EINVAL);
        }
        if (offset < 0) {
            return AVERROR(EINVAL);
        }
        self->pos_ = offset;
        return offset;
    }

  private:
    int fd_;
    std::vector<ByteRange> ranges_;
    std::vector<int64_t> starts_;
    int64_t size_ = 0;
    int64_t pos_ = 0;
};

// The demuxer and the decoder of the main stream of one opened file.
struct Opened {
    IoPtr io;  // declared first: the format context is closed before it is freed
    FormatPtr format;
    CodecPtr codec;
    int main = -1;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
};

// Finds the streams and opens the main stream's decoder; returns an error text.
std::string prepare(Opened& media, MediaReport& report) {
    AVFormatContext* format = media.format.get();
    if (int rc = avformat_find_stream_info(format, nullptr); rc < 0) {
        return "cannot read the stream layout (" + avError(rc) + ")";
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const auto type = format->streams[i]->codecpar->codec_type;
        report.hasVideo |= type == AVMEDIA_TYPE_VIDEO;
        report.hasAudio |= type == AVMEDIA_TYPE_AUDIO;
    }
    const AVCodec* decoder = nullptr;
    media.main = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (media.main < 0) {
        media.main = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    }
    if (media.main < 0 || decoder == nullptr) {
        return "no decodable audio or video stream";
    }
    media.codec.reset(avcodec_alloc_context3(decoder));
    if (!media.codec ||
        avcodec_parameters_to_context(media.codec.get(), format->streams[media.main]->codecpar) <
            0 ||
        avcodec_open2(media.codec.get(), decoder, nullptr) < 0) {
        return "cannot open the decoder";
    }
    if (!media.packet || !media.frame) {
        return "out of memory";
    }
    return {};
}

// Sends one packet (or, with null, the end of the stream) and counts the frames
// that come out. Returns a negative AVERROR on a decoding failure.
int decodeSome(Opened& media, const AVPacket* packet, int& decoded) {
    int rc = avcodec_send_packet(media.codec.get(), packet);
    if (rc < 0 && rc != AVERROR_EOF) {
        return rc;
    }
    while ((rc = avcodec_receive_frame(media.codec.get(), media.frame.get())) >= 0) {
        ++decoded;
        av_frame_unref(media.frame.get());
    }
    return (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) ? 0 : rc;
}

// Tracks the extent of the main stream's timestamps and the frames decoded per region.
class Walk {
  public:
    explicit Walk(Opened& media) : media_(media) {}

    // Ends the current region: drains the decoder and starts it afresh.
    std::string nextRegion() {
        if (auto problem = endRegion(); !problem.empty()) {
            return problem;
        }
        avcodec_flush_buffers(media_.codec.get());
        decoded_ = 0;
        keyInRegion_ = false;
        return {};
    }

    // Takes one demuxed packet of any stream.
    std::string take(const AVPacket* packet) {
        if (packet->stream_index != media_.main || packet->pts == AV_NOPTS_VALUE) {
            return {};
        }
        first_ = std::min(first_, packet->pts);
        end_ = std::max(end_, packet->pts + packet->duration);
        keyInRegion_ |= (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (decoded_ < kFramesToDecode) {
            if (int d = decodeSome(media_, packet, decoded_); d < 0) {
                return "the stream does not decode (" + avError(d) + ")";
            }
        }
        return {};
    }

    // Ends the last region and fills in the report.
    std::string finish(MediaReport& report) {
        if (auto problem = endRegion(); !problem.empty()) {
            return problem;
        }
        if (end_ <= first_ || totalDecoded_ == 0) {
            return "the stream holds no decodable frame";
        }
        report.ok = true;
        report.durationSeconds = static_cast<double>(end_ - first_) *
                                 av_q2d(media_.format->streams[media_.main]->time_base);
        return {};
    }

  private:
    std::string endRegion() {
        if (decoded_ < kFramesToDecode) {
            if (int d = decodeSome(media_, nullptr, decoded_); d < 0) {
                return "the stream does not decode (" + avError(d) + ")";
            }
        }
        totalDecoded_ += decoded_;
        // A region may hold no picture of its own: the last fragment of a
        // still screen carries only audio, or pictures that refer to earlier
        // ones. Only a region that starts a picture afresh must decode.
        return decoded_ == 0 && keyInRegion_ ? "the stream holds no decodable frame"
                                             : std::string();
    }

    Opened& media_;
    int decoded_ = 0;
    int totalDecoded_ = 0;
    bool keyInRegion_ = false;
    int64_t first_ = std::numeric_limits<int64_t>::max();
    int64_t end_ = std::numeric_limits<int64_t>::min();
};

std::string readError(int rc) {
    return rc >= 0 || rc == AVERROR_EOF ? std::string()
                                        : "the file is damaged (" + avError(rc) + ")";
}

}  // namespace

MediaReport checkMediaRanges(const std::filesystem::path& file,
                             const std::vector<ByteRange>& ranges) {
    if (ranges.empty()) {
        return fail("the file is empty");
    }
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return fail("cannot open the joined file");
    }
    RangeReader reader(fd.get(), ranges);
    Opened media;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    media.io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &reader, &RangeReader::read,
                                      nullptr, &RangeReader::seek));
    if (!media.io) {
        av_free(buffer);
        return fail("out of memory");
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        return fail("out of memory");
    }
    raw->pb = media.io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (int rc = avformat_open_input(&raw, nullptr, nullptr, nullptr); rc < 0) {
        return fail("cannot open the joined file (" + avError(rc) + ")");
    }
    media.format.reset(raw);
    MediaReport report;
    if (auto problem = prepare(media, report); !problem.empty()) {
        return fail(problem);
    }
    Walk walk(media);
    size_t region = 0;
    int rc;
    while ((rc = av_read_frame(media.format.get(), media.packet.get())) >= 0) {
        std::string problem;
        while (region + 1 < ranges.size() && media.packet->pos >= reader.startOf(region + 1) &&
               problem.empty()) {
            ++region;
            problem = walk.nextRegion();
        }
        if (problem.empty()) {
            problem = walk.take(media.packet.get());
        }
        av_packet_unref(media.packet.get());
        if (!problem.empty()) {
            return fail(problem);
        }
    }
    if (auto problem = readError(rc); !problem.empty()) {
        return fail(problem);
    }
    if (auto problem = walk.finish(report); !problem.empty()) {
        return fail(problem);
    }
    return report;
}

MediaReport checkMediaEnds(const std::filesystem::path& file) {
    Opened media;
    AVFormatContext* raw = nullptr;
    if (int rc = avformat_open_input(&raw, file.c_str(), nullptr, nullptr); rc < 0) {
        return fail("cannot open the joined file (" + avError(rc) + ")");
    }
    media.format.reset(raw);
    MediaReport report;
    if (auto problem = prepare(media, report); !problem.empty()) {
        return fail(problem);
    }
    AVStream* stream = media.format->streams[media.main];
    Walk walk(media);
    // The start: packets until the first frames have been decoded.
    int rc = 0;
    int taken = 0;
    while (taken < kFramesToDecode &&
           (rc = av_read_frame(media.format.get(), media.packet.get())) >= 0) {
        taken += media.packet->stream_index == media.main ? 1 : 0;
        std::string problem = walk.take(media.packet.get());
        av_packet_unref(media.packet.get());
        if (!problem.empty()) {
            return fail(problem);
        }
    }
    if (auto problem = readError(rc); !problem.empty()) {
        return fail(problem);
    }
    // The end: from the last key frame in the index to the end of the file.
    for (int i = avformat_index_get_entries_count(stream) - 1; i >= 0 && rc >= 0; --i) {
        const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
        if (entry->flags & AVINDEX_KEYFRAME) {
            if (auto problem = walk.nextRegion(); !problem.empty()) {
                return fail(problem);
            }
            if ((rc = av_seek_frame(media.format.get(), media.main, entry->timestamp,
                                    AVSEEK_FLAG_BACKWARD)) < 0) {
                return fail("cannot seek to the end (" + avError(rc) + ")");
            }
            break;
        }
    }
    while ((rc = av_read_frame(media.format.get(), media.packet.get())) >= 0) {
        std::string problem = walk.take(media.packet.get());
        av_packet_unref(media.packet.get());
        if (!problem.empty()) {
            return fail(problem);
        }
    }
    if (auto problem = readError(rc); !problem.empty()) {
        return fail(problem);
    }
    if (auto problem = walk.finish(report); !problem.empty()) {
        return fail(problem);
    }
    return report;
}

}  // namespace tessera::webapp
