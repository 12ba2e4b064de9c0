#include "server/SegmentUploader.h"

namespace tessera {
namespace {

constexpr int kUploadAttempts = 2;
constexpr Duration kRetryDelay = seconds(0.3);

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
    std::exception_ptr error;
    for (int attempt = 1; attempt <= kUploadAttempts; ++attempt) {
        if (attempt > 1) {
            try {
                co_await sleepFor(kRetryDelay);
            } catch (const CancelledError&) {
                // An interrupted wait does not skip the next attempt.
            }
        }
        try {
            co_await api_.uploadChunk(recordingID_, kind, data);
            co_return;
        } catch (...) {
            error = std::current_exception();
        }
        // A session being torn down is not a lost segment, and is not retried.
        if (isCancellation(error)) {
            co_return;
        }
    }
    failedKinds_.insert(kind);
    lastErrorMessage_ = describeError(error);
}

Task<void> SegmentUploader::drain(std::shared_ptr<SegmentUploader> self, std::string kind,
                                  SegmentQueue queue) {
    while (true) {
        std::optional<ByteBuffer> segment;
        try {
            segment = co_await queue.next();
        } catch (const CancelledError&) {
            co_return;
        }
        if (!segment || (co_await currentContext()).isCancelled()) {
            co_return;
        }
        if (self->failedKinds_.contains(kind)) {
            continue;
        }
        co_await self->upload(kind, std::make_shared<const ByteBuffer>(std::move(*segment)));
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
