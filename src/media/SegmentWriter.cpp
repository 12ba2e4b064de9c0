#include "media/SegmentWriter.h"

#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <stop_token>
#include <thread>
#include <variant>

#include "media/EncoderSettings.h"
#include "media/FragmentedMp4Encoder.h"
#include "support/Log.h"
#include "support/RecorderError.h"

namespace tessera {

namespace {

struct VideoItem {
    VideoSample sample;
    int64_t ptsTicks = 0;
};
struct AudioItem {
    AudioSample sample;
};
struct EndSessionItem {
    MediaTime time;
};
struct DrainVideoItem {};
using Item = std::variant<VideoItem, AudioItem, EndSessionItem, DrainVideoItem>;

// What the conversion stage passes on to the encoding stage, in append order.
struct ConvertedVideo {
    ff::FramePtr picture;
    int64_t ptsTicks = 0;
    MediaTime duration;
};
struct FinishItem {};
using EncodeItem =
    std::variant<ConvertedVideo, AudioItem, EndSessionItem, DrainVideoItem, FinishItem>;

}  // namespace

struct SegmentWriter::Impl {
    Configuration config;
    SegmentHandler onSegment;

    // Guarded by mutex: shared between the appending threads, the caller of
    // start/finish/cancel and the writer's two threads.
    mutable std::mutex mutex;
    std::condition_variable_any wakeup;
    WriterStatus status = WriterStatus::unknown;
    // Appended media, waiting for the conversion stage.
    std::deque<Item> queue;
    // Converted media, waiting for the encoding stage.
    std::deque<EncodeItem> encodeQueue;
    // Video frames appended and not yet encoded (in either queue or stage).
    int videoInFlight = 0;
    int audioQueued = 0;
    bool videoFinished = false;
    bool audioFinished = false;
    bool finishRequested = false;
    int64_t lastVideoTicks = std::numeric_limits<int64_t>::min();
    std::vector<std::function<void()>> finishWaiters;
    std::optional<std::string> error;

    // Owned by the conversion thread once it runs.
    std::unique_ptr<VideoConverter> converter;
    // Owned by the encoding thread once it runs.
    std::unique_ptr<FragmentedMp4Encoder> encoder;

    // Last members: destroyed (stopped and joined) before everything they use.
    std::jthread convertWorker;
    std::jthread encodeWorker;

    bool acceptsVideo() const {
        return status == WriterStatus::writing && !finishRequested && !videoFinished;
    }
    bool acceptsAudio() const {
        return status == WriterStatus::writing && !finishRequested && !audioFinished;
    }

    void runConversion(std::stop_token stop);
    void runEncoding(std::stop_token stop);
    void deliver(std::vector<uint8_t> bytes);
    void end(WriterStatus final, std::optional<std::string> message);
};

// The conversion thread: turns appended pictures into encoder frames while the
// encoding thread works on earlier ones, and passes everything on in order.
void SegmentWriter::Impl::runConversion(std::stop_token stop) {
    try {
        while (true) {
            Item item;
            {
                std::unique_lock lock(mutex);
                wakeup.wait(lock, stop, [&] {
                    return !queue.empty() || finishRequested || status != WriterStatus::writing;
                });
                if (stop.stop_requested() || status != WriterStatus::writing) {
                    return;
                }
                if (queue.empty()) {
                    encodeQueue.emplace_back(FinishItem{});
                    wakeup.notify_all();
                    return;
                }
                item = std::move(queue.front());
                queue.pop_front();
            }
            EncodeItem next;
            if (auto* video = std::get_if<VideoItem>(&item)) {
                next = ConvertedVideo{converter->convert(std::move(video->sample.pixels)),
                                      video->ptsTicks, video->sample.timing.duration};
            } else if (auto* audio = std::get_if<AudioItem>(&item)) {
                next = std::move(*audio);
            } else if (auto* endItem = std::get_if<EndSessionItem>(&item)) {
                next = *endItem;
            } else {
                next = DrainVideoItem{};
            }
            std::lock_guard lock(mutex);
            if (status != WriterStatus::writing) {
                return;
            }
            encodeQueue.push_back(std::move(next));
            wakeup.notify_all();
        }
    } catch (const std::exception& e) {
        // Kept as the writer's error, which the stop sequence reports.
        logging::error("segment-writer", e.what());
        end(WriterStatus::failed, e.what());
    }
}

// The encoding thread: x264, AAC and the muxer, in append order.
void SegmentWriter::Impl::runEncoding(std::stop_token stop) {
    try {
        while (true) {
            EncodeItem item;
            {
                std::unique_lock lock(mutex);
                wakeup.wait(lock, stop, [&] {
                    return !encodeQueue.empty() || status != WriterStatus::writing;
                });
                if (stop.stop_requested() || status != WriterStatus::writing) {
                    return;
                }
                item = std::move(encodeQueue.front());
                encodeQueue.pop_front();
            }
            if (auto* video = std::get_if<ConvertedVideo>(&item)) {
                encoder->encodeVideo(std::move(video->picture), video->ptsTicks, video->duration);
                std::lock_guard lock(mutex);
                --videoInFlight;
            } else if (auto* audio = std::get_if<AudioItem>(&item)) {
                {
                    std::lock_guard lock(mutex);
                    --audioQueued;
                }
                encoder->encodeAudio(audio->sample);
            } else if (auto* endItem = std::get_if<EndSessionItem>(&item)) {
                encoder->endSession(endItem->time);
            } else if (std::holds_alternative<DrainVideoItem>(item)) {
                encoder->drainVideo();
            } else {
                break;
            }
        }
        encoder->finishStream();
        end(WriterStatus::completed, std::nullopt);
    } catch (const std::exception& e) {
        // Kept as the writer's error, which the stop sequence reports.
        logging::error("segment-writer", e.what());
        end(WriterStatus::failed, e.what());
    }
}

void SegmentWriter::Impl::deliver(std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(mutex);
        if (status != WriterStatus::writing) {
            return;
        }
    }
    // Called outside the lock: cancelWriting() joins this thread, so no delivery
    // can outlive it.
    if (onSegment) {
        onSegment(std::move(bytes));
    }
}

void SegmentWriter::Impl::end(WriterStatus final, std::optional<std::string> message) {
    std::vector<std::function<void()>> waiters;
    {
        std::lock_guard lock(mutex);
        if (status != WriterStatus::writing) {
            return;
        }
        status = final;
        error = std::move(message);
        queue.clear();
        encodeQueue.clear();
        waiters = std::move(finishWaiters);
    }
    for (auto& waiter : waiters) {
        waiter();
    }
}

SegmentWriter::SegmentWriter(Configuration configuration, SegmentHandler onSegment)
    : impl_(std::make_unique<Impl>()) {
    impl_->config = configuration;
    impl_->onSegment = std::move(onSegment);
    videoInput_.reset(new VideoInput(*impl_));
    if (configuration.systemAudio) {
        audioInput_.reset(new AudioInput(*impl_));
    }
}

SegmentWriter::~SegmentWriter() {
    cancelWriting();
}

const SegmentWriter::Configuration& SegmentWriter::configuration() const {
    return impl_->config;
}

void SegmentWriter::start() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->status != WriterStatus::unknown) {
            return;
        }
    }
    try {
        impl_->encoder = std::make_unique<FragmentedMp4Encoder>(
            impl_->config,
            [impl = impl_.get()](std::vector<uint8_t> bytes) { impl->deliver(std::move(bytes)); });
        impl_->converter = std::make_unique<VideoConverter>(
            static_cast<int>(impl_->config.width), static_cast<int>(impl_->config.height),
            encoderSettingsFor(impl_->config.width, impl_->config.height).scalerThreads,
            kVideoHandOffDepth + 1);
    } catch (const std::exception& e) {
        std::lock_guard lock(impl_->mutex);
        impl_->status = WriterStatus::failed;
        impl_->error = e.what();
        throw RecorderError(e.what());
    }
    std::lock_guard lock(impl_->mutex);
    impl_->status = WriterStatus::writing;
    impl_->convertWorker =
        std::jthread([impl = impl_.get()](std::stop_token stop) { impl->runConversion(stop); });
    impl_->encodeWorker =
        std::jthread([impl = impl_.get()](std::stop_token stop) { impl->runEncoding(stop); });
}

void SegmentWriter::endSession(MediaTime sourceTime) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->status == WriterStatus::writing && !impl_->finishRequested) {
        impl_->queue.push_back(EndSessionItem{sourceTime});
        impl_->wakeup.notify_all();
    }
}

void SegmentWriter::drainVideo() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->status == WriterStatus::writing && !impl_->finishRequested) {
        impl_->queue.push_back(DrainVideoItem{});
        impl_->wakeup.notify_all();
    }
}

void SegmentWriter::finish(std::function<void()> completion) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->status == WriterStatus::writing) {
            impl_->finishRequested = true;
            impl_->finishWaiters.push_back(std::move(completion));
            impl_->wakeup.notify_all();
            return;
        }
    }
    if (completion) {
        completion();
    }
}

namespace {

// Suspends until the writer has finished; resumes on the task's executor.
struct FinishAwaiter {
    SegmentWriter& writer;

    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise P>
    void await_suspend(std::coroutine_handle<P> self) {
        Executor* executor = self.promise().context.executor;
        writer.finish([executor, self = std::coroutine_handle<>(self)] {
            executor->post([self] { self.resume(); });
        });
    }
    void await_resume() const noexcept {}
};

}  // namespace

Task<void> SegmentWriter::finish() {
    co_await FinishAwaiter{*this};
}

void SegmentWriter::cancelWriting() {
    std::vector<std::function<void()>> waiters;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->status == WriterStatus::writing || impl_->status == WriterStatus::unknown) {
            impl_->status = WriterStatus::cancelled;
            impl_->queue.clear();
            impl_->encodeQueue.clear();
            waiters = std::move(impl_->finishWaiters);
        }
        impl_->wakeup.notify_all();
    }
    for (auto* worker : {&impl_->convertWorker, &impl_->encodeWorker}) {
        if (worker->joinable() && worker->get_id() != std::this_thread::get_id()) {
            worker->request_stop();
            worker->join();
        }
    }
    for (auto& waiter : waiters) {
        waiter();
    }
}

WriterStatus SegmentWriter::status() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->status;
}

std::optional<std::string> SegmentWriter::error() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error;
}

bool SegmentWriter::VideoInput::isReadyForMoreMediaData() const {
    std::lock_guard lock(impl_.mutex);
    return impl_.acceptsVideo() && impl_.videoInFlight < kVideoHandOffDepth;
}

bool SegmentWriter::VideoInput::append(const VideoSample& sample) {
    if (!sample.isValid()) {
        return false;
    }
    const MediaTime pts = sample.timing.presentationTimeStamp;
    if (!pts.isValid()) {
        return false;
    }
    const int64_t ticks = pts.convertScale(FragmentedMp4Encoder::kVideoTimescale).value();
    std::lock_guard lock(impl_.mutex);
    if (!impl_.acceptsVideo() || impl_.videoInFlight >= kVideoHandOffDepth) {
        return false;
    }
    // A frame not later than the previous one would make the muxer fail the
    // whole recording; it is refused instead.
    if (ticks <= impl_.lastVideoTicks) {
        return false;
    }
    impl_.lastVideoTicks = ticks;
    impl_.queue.push_back(VideoItem{sample, ticks});
    ++impl_.videoInFlight;
    impl_.wakeup.notify_all();
    return true;
}

void SegmentWriter::VideoInput::markAsFinished() {
    std::lock_guard lock(impl_.mutex);
    impl_.videoFinished = true;
}

bool SegmentWriter::AudioInput::isReadyForMoreMediaData() const {
    std::lock_guard lock(impl_.mutex);
    return impl_.acceptsAudio() && impl_.audioQueued < kAudioHandOffDepth;
}

bool SegmentWriter::AudioInput::append(const AudioSample& sample) {
    if (!sample.hasConsistentPayload() || !sample.presentationTimeStamp().isValid()) {
        return false;
    }
    std::lock_guard lock(impl_.mutex);
    if (!impl_.acceptsAudio() || impl_.audioQueued >= kAudioHandOffDepth) {
        return false;
    }
    impl_.queue.push_back(AudioItem{sample});
    ++impl_.audioQueued;
    impl_.wakeup.notify_all();
    return true;
}

void SegmentWriter::AudioInput::markAsFinished() {
    std::lock_guard lock(impl_.mutex);
    impl_.audioFinished = true;
}

}  // namespace tessera
