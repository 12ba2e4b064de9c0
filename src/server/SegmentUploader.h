#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "server/APIClient.h"
#include "support/AsyncQueue.h"
#include "support/Executor.h"
#include "support/Task.h"

namespace tessera {

// The queue of one video kind between its segment writer and the uploader:
// unbounded, ordered, pushed from any thread without blocking, finished by its
// producer.
using SegmentQueue = AsyncQueue<ByteBuffer>;

// What happened to the segments of one kind, for the recording's summary.
struct UploadCounters {
    std::uint64_t uploaded = 0;       // segments the server accepted
    std::uint64_t retried = 0;        // segments whose first attempt failed
    std::uint64_t lost = 0;           // failed twice, or dropped after such a loss
    std::uint64_t bytesUploaded = 0;  // bytes of the accepted segments

    friend bool operator==(const UploadCounters&, const UploadCounters&) = default;
};

// Sends a recording's segments as chunk uploads, one request at a time per kind,
// retrying a failed segment once 0.3 s later, and remembers which kinds lost a
// segment for good. Once a kind has lost one, its later segments are dropped
// without a request: a fragmented stream with a hole cannot be played past it.
// Retries and losses are logged with the component "uploader".
//
// Executor thread only. Everything it does runs on the one executor its drain
// tasks are spawned on, so its operations never overlap, while each kind may have
// one request in flight at the same time as the other.
class SegmentUploader {
  public:
    SegmentUploader(APIClient api, std::string recordingID);

    const APIClient& api() const { return api_; }
    const std::string& recordingID() const { return recordingID_; }
    const std::set<std::string>& failedKinds() const { return failedKinds_; }
    const std::optional<std::string>& lastErrorMessage() const { return lastErrorMessage_; }

    // Counters per kind ("screen", "camera"); a kind appears once its drain
    // loop has taken a segment.
    const std::map<std::string, UploadCounters>& stats() const { return stats_; }

    // None when no segment was lost; otherwise "some <kinds in ascending order,
    // joined with ", "> segments failed to upload (<last error or "unknown error">)".
    std::optional<std::string> failureSummary() const;

    // The drain loop of one kind: takes each segment in queue order and uploads it
    // (or drops it after a loss of that kind) until the queue is finished and empty
    // or the task is cancelled. Never throws. Keeps the uploader alive while it runs.
    static Task<void> drain(std::shared_ptr<SegmentUploader> self, std::string kind,
                            SegmentQueue queue);

    // Where a drain takes its segments from: the next one in order, or none at
    // the end. It may throw only CancelledError.
    using SegmentSource = std::function<Task<std::optional<SharedBytes>>()>;

    // The drain loop over any ordered source of segments.
    static Task<void> drain(std::shared_ptr<SegmentUploader> self, std::string kind,
                            SegmentSource next);

  private:
    // One segment: an attempt, and after a failure other than cancellation one more
    // attempt 0.3 s later; a second failure marks the kind as failed. Throws only
    // CancelledError.
    Task<void> upload(std::string kind, SharedBytes data);

    APIClient api_;
    std::string recordingID_;
    std::set<std::string> failedKinds_;
    std::optional<std::string> lastErrorMessage_;
    std::map<std::string, UploadCounters> stats_;
};

// The upload pipe of one recording session: the uploader, the producer ends of
// the queues and the drain tasks. The capture controller owns it on the main
// executor; writers push segments into the queues from their own threads.
struct SegmentPipe {
    std::shared_ptr<SegmentUploader> uploader;
    std::optional<SegmentQueue> screenContinuation;
    std::optional<SegmentQueue> cameraContinuation;
    TaskHandle<void> screenUploadTask;
    TaskHandle<void> cameraUploadTask;

    // Creates the uploader and the screen queue and starts the screen drain task;
    // with a camera queue (made when the camera was prepared), starts its drain task
    // too. The tasks start at the executor's next turn. Executor thread.
    static SegmentPipe start(Executor& executor, APIClient api, std::string recordingID,
                             std::optional<SegmentQueue> cameraQueue);

    // At stop: finishes the screen queue, then the camera queue, then awaits the
    // screen task and then the camera task, so every queued segment has been sent,
    // retried or dropped when this returns. The pipe must outlive the await.
    Task<void> closeAtStop();

    // At cancel and restart: finishes both queues and cancels both tasks without
    // waiting; a request in flight is abandoned.
    void closeAtCancel();
};

}  // namespace tessera
