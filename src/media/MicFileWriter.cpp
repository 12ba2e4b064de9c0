#include "media/MicFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "media/AacEncoder.h"
#include "media/FfmpegHandles.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

namespace {

constexpr const char* kWhat = "Microphone file";
constexpr const char* kComponent = "mic-file";
constexpr int kIoBufferSize = 32 * 1024;
// A silent buffer larger than this is refused rather than allocated.
constexpr int64_t kMaxSilenceBytes = int64_t{1} << 30;

std::string upperCaseUuid() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37] = {};
    uuid_unparse_upper(id, text);
    return text;
}

}  // namespace

// The open file's encoder and muxer. Member order gives the teardown order.
struct MicFileWriter::Muxer {
    int fd = -1;
    const WriteGate* beforeEachWrite = nullptr;
    ff::IoContextPtr io;
    ff::FormatContextPtr format;
    AVStream* stream = nullptr;
    std::unique_ptr<AacEncoder> encoder;

    void write(AVPacket* packet) {
        packet->stream_index = stream->index;
        av_packet_rescale_ts(packet, encoder->codecContext()->time_base, stream->time_base);
        ff::check(av_write_frame(format.get(), packet), kWhat, "av_write_frame");
    }

    void gate() const {
        if (beforeEachWrite && *beforeEachWrite) {
            (*beforeEachWrite)();
        }
    }

    static int writeAll(void* opaque, uint8_t* data, int size) {
        const auto* self = static_cast<const Muxer*>(opaque);
        self->gate();
        int done = 0;
        while (done < size) {
            ssize_t n = ::write(self->fd, data + done, static_cast<size_t>(size - done));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return AVERROR(errno);
            }
            done += static_cast<int>(n);
        }
        return size;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        const int fd = static_cast<const Muxer*>(opaque)->fd;
        if (whence & AVSEEK_SIZE) {
            struct stat st {};
            return ::fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
        }
        off_t pos = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
        return pos < 0 ? AVERROR(errno) : pos;
    }
};

MicFileWriter::MicFileWriter(WriteGate beforeEachWrite)
    : beforeEachWrite_(std::move(beforeEachWrite)) {
    std::error_code ec;
    std::filesystem::path directory = std::filesystem::temp_directory_path(ec);
    if (ec || !std::filesystem::is_directory(directory, ec)) {
        throw RecorderError("No temporary directory is available for the microphone file");
    }
    url_ = directory / ("tessera-mic-" + upperCaseUuid() + ".m4a");
}

MicFileWriter::~MicFileWriter() {
    bool unfinished = false;
    {
        std::lock_guard lock(mutex_);
        if (status_ == WriterStatus::writing) {
            status_ = WriterStatus::cancelled;
            unfinished = true;
        }
    }
    if (unfinished) {
        // The queue, destroyed first, runs this after what it holds.
        queue_.async([this] { closeMuxer(); });
        std::error_code ec;
        std::filesystem::remove(url_, ec);
    }
}

void MicFileWriter::start() {
    std::lock_guard lock(mutex_);
    if (status_ != WriterStatus::unknown) {
        return;
    }
    fd_ = ::open(url_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        status_ = WriterStatus::failed;
        throw RecorderError("Could not create the microphone file " + url_.string() + ": " +
                            std::strerror(errno));
    }
    try {
        auto muxer = std::make_unique<Muxer>();
        muxer->fd = fd_;
        AVFormatContext* raw = nullptr;
        ff::check(avformat_alloc_output_context2(&raw, nullptr, "ipod", url_.c_str()), kWhat,
                  "avformat_alloc_output_context2");
        muxer->format.reset(raw);
        auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
        if (!buffer) {
            throw std::bad_alloc();
        }
        muxer->io.reset(avio_alloc_context(buffer, kIoBufferSize, 1, muxer.get(), nullptr,
                                           &Muxer::writeAll, &Muxer::seek));
        if (!muxer->io) {
            av_free(buffer);
            throw std::bad_alloc();
        }
        muxer->format->pb = muxer->io.get();
        muxer->format->flags |= AVFMT_FLAG_CUSTOM_IO;
        Muxer* m = muxer.get();
        muxer->encoder = std::make_unique<AacEncoder>(true, [m](AVPacket* p) { m->write(p); });
        muxer->stream = avformat_new_stream(muxer->format.get(), nullptr);
        if (!muxer->stream) {
            throw std::bad_alloc();
        }
        ff::check(avcodec_parameters_from_context(muxer->stream->codecpar,
                                                  muxer->encoder->codecContext()),
                  kWhat, "avcodec_parameters_from_context");
        muxer->stream->time_base = muxer->encoder->codecContext()->time_base;
        ff::check(avformat_write_header(muxer->format.get(), nullptr), kWhat,
                  "avformat_write_header");
        // From here on every write happens on the file's thread.
        muxer->beforeEachWrite = &beforeEachWrite_;
        muxer_ = std::move(muxer);
        status_ = WriterStatus::writing;
    } catch (const std::exception& e) {
        std::string message = dynamic_cast<const std::bad_alloc*>(&e)
                                  ? std::string("Microphone file: out of memory")
                                  : std::string(e.what());
        muxer_.reset();
        ::close(fd_);
        fd_ = -1;
        std::error_code ec;
        std::filesystem::remove(url_, ec);
        status_ = WriterStatus::failed;
        throw RecorderError(message);
    }
}

void MicFileWriter::append(const AudioSample& sample) {
    if (!sample.hasConsistentPayload() || !sample.presentationTimeStamp().isValid()) {
        return;
    }
    const double rate = sample.format->sampleRate;
    const auto lengthNs = static_cast<int64_t>(static_cast<double>(sample.frameCount) / rate * 1e9);
    {
        std::lock_guard lock(mutex_);
        if (status_ != WriterStatus::writing) {
            return;
        }
        if (backlogNs_ + lengthNs > kMaxBacklog.convertScale(1'000'000'000).value()) {
            buffersDropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        backlogNs_ += lengthNs;
    }
    queue_.async([this, sample, lengthNs] { write(sample, lengthNs); });
}

void MicFileWriter::write(const AudioSample& sample, int64_t backlogNs) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        backlogNs_ -= backlogNs;
        if (status_ != WriterStatus::writing) {
            return;
        }
        first = !didAppendSamples_;
    }
    // Encoded and written outside the lock: the disk may be slow, and the
    // appending thread must not wait for it.
    try {
        if (first) {
            if (auto lead = leadingSilence(sample, sample.presentationTimeStamp())) {
                muxer_->encoder->push(*lead);
            }
        }
        muxer_->encoder->push(sample);
    } catch (const std::exception& e) {
        fail(e.what());
        return;
    }
    std::lock_guard lock(mutex_);
    didAppendSamples_ = true;
}

Task<bool> MicFileWriter::finish() {
    co_return co_await queue_.onQueue([this] { return finishOnQueue(); });
}

bool MicFileWriter::finishOnQueue() {
    bool writing = false;
    bool hasSamples = false;
    {
        std::lock_guard lock(mutex_);
        writing = status_ == WriterStatus::writing;
        hasSamples = didAppendSamples_;
    }
    if (writing && hasSamples) {
        try {
            muxer_->encoder->finish(std::nullopt);
            ff::check(av_write_trailer(muxer_->format.get()), kWhat, "av_write_trailer");
            avio_flush(muxer_->io.get());
            muxer_->gate();
            if (::fsync(fd_) != 0 && errno != EINVAL) {
                throw RecorderError(std::string("Microphone file: fsync failed (") +
                                    std::strerror(errno) + ")");
            }
        } catch (const std::exception& e) {
            fail(e.what());
            return false;
        }
        closeMuxer();
        std::lock_guard lock(mutex_);
        // deleteFile() may have removed the file meanwhile.
        if (status_ != WriterStatus::writing) {
            return false;
        }
        status_ = WriterStatus::completed;
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        if (status_ == WriterStatus::writing) {
            status_ = WriterStatus::cancelled;
        }
    }
    closeMuxer();
    std::error_code ec;
    std::filesystem::remove(url_, ec);
    return false;
}

void MicFileWriter::deleteFile() {
    bool wasWriting = false;
    {
        std::lock_guard lock(mutex_);
        if (status_ == WriterStatus::writing) {
            status_ = WriterStatus::cancelled;
            wasWriting = true;
        }
    }
    if (wasWriting) {
        // The file's thread may be writing right now; it closes the file once
        // done. Removing the name meanwhile is safe.
        queue_.async([this] { closeMuxer(); });
    }
    std::error_code ec;
    if (!std::filesystem::remove(url_, ec) && ec) {
        logging::warning(kComponent, "Could not remove " + url_.string() + ": " + ec.message());
    }
}

WriterStatus MicFileWriter::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

MediaTime MicFileWriter::backlog() const {
    std::lock_guard lock(mutex_);
    return MediaTime::fromNanoseconds(backlogNs_);
}

bool MicFileWriter::didAppendSamples() const {
    std::lock_guard lock(mutex_);
    return didAppendSamples_;
}

void MicFileWriter::fail(const std::string& message) {
    // The caller learns of it only through finish() returning false.
    logging::error(kComponent, message);
    {
        std::lock_guard lock(mutex_);
        status_ = WriterStatus::failed;
    }
    closeMuxer();
}

void MicFileWriter::closeMuxer() {
    muxer_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::optional<AudioSample> MicFileWriter::silence(const AudioSample& matching, int64_t frames,
                                                  MediaTime at) {
    if (frames < 1 || !matching.format) {
        return std::nullopt;
    }
    const AudioFormat& format = *matching.format;
    if (!(format.sampleRate > 0) || format.bytesPerFrame <= 0 ||
        format.sampleRate > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    const int64_t bytesPerFrame =
        int64_t{format.bytesPerFrame} * (format.interleaved ? 1 : std::max(format.channels, 1));
    if (frames > kMaxSilenceBytes / bytesPerFrame) {
        return std::nullopt;
    }
    AudioSample silent;
    silent.format = format;
    silent.frameCount = frames;
    silent.timings = {SampleTiming{MediaTime(1, static_cast<int32_t>(format.sampleRate)), at,
                                   MediaTime::invalid()}};
    try {
        silent.payload = std::make_shared<const std::vector<uint8_t>>(
            static_cast<size_t>(frames * bytesPerFrame), 0);
    } catch (const std::bad_alloc&) {
        logging::warning(kComponent, "No memory for " + std::to_string(frames) +
                                         " frames of silence; none written");
        return std::nullopt;
    }
    return silent;
}

std::optional<AudioSample> MicFileWriter::leadingSilence(const AudioSample& matching,
                                                         MediaTime end) {
    const double s = end.seconds();
    if (!(s > 0.001) || !(s < 10.0)) {
        return std::nullopt;
    }
    if (!matching.format || !(matching.format->sampleRate > 0)) {
        return std::nullopt;
    }
    return silence(matching, std::llround(s * matching.format->sampleRate), MediaTime::zero());
}

}  // namespace tessera
