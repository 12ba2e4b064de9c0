#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "capture/spool/SessionSpool.h"
#include "support/AsyncQueue.h"
#include "support/Task.h"

namespace tessera {

// The upload queue of one video kind, backed by the session's spool: every
// segment pushed is appended to the spool, and while more than `memoryBytes`
// of segments wait for their upload, later ones wait on disk only and are read
// back when their turn comes. Order is kept either way. Without a spool (or
// once it has stopped) every segment waits in memory, as an unbounded queue.
//
// push() and finish() from any thread without blocking; next() from the one
// consumer task.
class SpoolWindow {
  public:
    SpoolWindow(std::shared_ptr<SessionSpool> spool, std::string kind, std::size_t memoryBytes);

    const std::string& kind() const { return kind_; }

    // False (and the segment is dropped) once finished.
    bool push(ByteBuffer segment);
    void finish() { queue_.finish(); }

    // The next segment in push order, or none once finished and drained.
    // Resumes on the consumer's executor. Throws only CancelledError; a segment
    // that cannot be read back is logged and ends the queue (see readFailed()).
    Task<std::optional<SharedBytes>> next();

    // Bytes of waiting segments held in memory; any thread.
    std::size_t bytesInMemory() const { return bytesInMemory_.load(); }
    // Segments that waited on disk only; any thread.
    std::uint64_t segmentsOnDisk() const { return segmentsOnDisk_.load(); }
    // Whether a segment could not be read back; any thread.
    bool readFailed() const { return readFailed_.load(); }

  private:
    struct Waiting {
        SharedBytes bytes;  // none while it waits on disk only
        std::optional<SpooledRange> range;
    };

    std::shared_ptr<SessionSpool> spool_;
    std::string kind_;
    std::size_t memoryBytes_;
    AsyncQueue<Waiting> queue_;
    std::atomic<std::size_t> bytesInMemory_{0};
    std::atomic<std::uint64_t> segmentsOnDisk_{0};
    std::atomic<bool> readFailed_{false};
};

}  // namespace tessera
