#include "server/SegmentUploader.h"

#include "support/Log.h"
#include "support/Retry.h"

namespace tessera {
namespace {

constexpr const char* kComponent = "uploader";
constexpr RetryPolicy kUploadRetry{2, seconds(0.3)};

}  // namespace

SegmentUploader::SegmentUploader(APIClient api, std::string recordingID)
    : api_(std::move(api)), recordingID_(std::move(recordingID)) {}

std::optional<std::string> SegmentUploader::failureSummary() const {
    if (failedKinds_.empty()) {
        return std::nullopt;
    }
    std::string kinds;
    for (const std::string& kind : failedKinds_) {  // std::set: ascending order
        kinds += (kinds.empty() ? "" : ", ") + kind;
    }
    return "some " + kinds + " segments failed to upload (" +
           lastErrorMessage_.value_or("unknown error") + ")";
}

Task<void> SegmentUploader::upload(std::string kind, SharedBytes data) {
    UploadCounters& counters = stats_[kind];  // map nodes stay put across suspensions
    const std::size_t size = data ? data->size() : 0;
    const std::string name = kind + " segment " +
                             std::to_string(counters.uploaded + counters.lost + 1) + " (" +
                             std::to_string(size) + " bytes)";
    const RetryReport onFailure = [&](const RetryFailure& failure) {
        if (failure.willRetry()) {
            ++counters.retried;
            logging::handled(kComponent, name + " failed, retrying", failure.error);
        }
    };
    std::exception_ptr failure;
    try {
        co_await retrying<void>(
            kUploadRetry, [&] { return api_.uploadChunk(recordingID_, kind, data); }, onFailure);
        ++counters.uploaded;
        counters.bytesUploaded += size;
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    // A session being torn down is not a lost segment.
    if (isCancellation(failure)) {
        logging::handled(kComponent, name + " abandoned", failure);
        co_return;
    }
    ++counters.lost;
    failedKinds_.insert(kind);
    lastErrorMessage_ = describeError(failure);
    logging::handled(kComponent, name + " lost; later " + kind + " segments are dropped", failure);
}

namespace {
Task<std::optional<SharedBytes>> nextOf(SegmentQueue queue) {
    std::optional<ByteBuffer> segment = co_await queue.next();
    if (!segment) {
        co_return std::nullopt;
    }
    co_return std::make_shared<const ByteBuffer>(std::move(*segment));
}
}  // namespace

Task<void> SegmentUploader::drain(std::shared_ptr<SegmentUploader> self, std::string kind,
                                  SegmentQueue queue) {
    return drain(std::move(self), std::move(kind), [queue] { return nextOf(queue); });
}

Task<void> SegmentUploader::drain(std::shared_ptr<SegmentUploader> self, std::string kind,
                                  SegmentSource next) {
    std::uint64_t dropped = 0;
    while (true) {
        std::optional<SharedBytes> segment;
        try {
            segment = co_await next();
        } catch (const CancelledError&) {
            break;  // torn down while waiting for the next segment
        }
        if (!segment || (co_await currentContext()).isCancelled()) {
            break;
        }
        if (self->failedKinds_.contains(kind)) {
            ++self->stats_[kind].lost;
            ++dropped;
            continue;
        }
        co_await self->upload(kind, std::move(*segment));
    }
    if (dropped > 0) {
        logging::warning(kComponent, std::to_string(dropped) + " " + kind +
                                         " segments were dropped after an earlier one was lost");
    }
}

SegmentPipe SegmentPipe::start(Executor& executor, APIClient api, std::string recordingID,
                               std::optional<SegmentQueue> cameraQueue) {
    SegmentPipe pipe;
    pipe.uploader = std::make_shared<SegmentUploader>(std::move(api), std::move(recordingID));
    pipe.screenContinuation.emplace();
    pipe.screenUploadTask =
        spawn(executor, SegmentUploader::drain(pipe.uploader, "screen", *pipe.screenContinuation));
    if (cameraQueue) {
        pipe.cameraContinuation = std::move(cameraQueue);
        pipe.cameraUploadTask = spawn(
            executor, SegmentUploader::drain(pipe.uploader, "camera", *pipe.cameraContinuation));
    }
    return pipe;
}

Task<void> SegmentPipe::closeAtStop() {
    if (screenContinuation) {
        screenContinuation->finish();
    }
    if (cameraContinuation) {
        cameraContinuation->finish();
    }
    const TaskHandle<void> screen = screenUploadTask;
    const TaskHandle<void> camera = cameraUploadTask;
    if (screen.valid()) {
        co_await screen.join();
    }
    if (camera.valid()) {
        co_await camera.join();
    }
}

void SegmentPipe::closeAtCancel() {
    if (screenContinuation) {
        screenContinuation->finish();
    }
    if (cameraContinuation) {
        cameraContinuation->finish();
    }
    screenUploadTask.cancel();
    cameraUploadTask.cancel();
}

}  // namespace tessera
