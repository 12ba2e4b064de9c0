#include "capture/spool/SpoolWindow.h"

#include "support/Log.h"

namespace tessera {

SpoolWindow::SpoolWindow(std::shared_ptr<SessionSpool> spool, std::string kind,
                         std::size_t memoryBytes)
    : spool_(std::move(spool)), kind_(std::move(kind)), memoryBytes_(memoryBytes) {}

bool SpoolWindow::push(ByteBuffer segment) {
    auto bytes = std::make_shared<const ByteBuffer>(std::move(segment));
    const std::size_t size = bytes->size();
    // The check and the add are not one step; a second producer could overshoot
    // the window by one segment, and each kind has one producer.
    const bool fits = bytesInMemory_.load() + size <= memoryBytes_;
    std::optional<SpooledRange> range;
    if (spool_) {
        range = spool_->append(kind_, bytes, !fits);
    }
    Waiting waiting{bytes, range};
    if (!fits && range) {
        waiting.bytes = nullptr;  // the spool's write holds them until they are on disk
    }
    const bool inMemory = waiting.bytes != nullptr;
    if (inMemory) {
        bytesInMemory_ += size;
    }
    if (!queue_.push(std::move(waiting))) {
        if (inMemory) {
            bytesInMemory_ -= size;
        }
        return false;
    }
    if (!inMemory) {
        ++segmentsOnDisk_;
    }
    return true;
}

Task<std::optional<SharedBytes>> SpoolWindow::next() {
    std::optional<Waiting> waiting = co_await queue_.next();
    if (!waiting) {
        co_return std::nullopt;
    }
    if (waiting->bytes) {
        bytesInMemory_ -= waiting->bytes->size();
        co_return std::move(waiting->bytes);
    }
    std::exception_ptr failure;
    try {
        // Named before the co_await: GCC 12 destroys temporaries of a co_await
        // operand twice.
        auto reading = spool_->read(kind_, *waiting->range);
        co_return co_await std::move(reading);
    } catch (const CancelledError&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    // Segments after a missing one cannot be played; the local copy keeps what
    // was written.
    readFailed_ = true;
    logging::handled("spool", "reading back a " + kind_ + " segment; the rest of its upload ends",
                     failure, logging::Level::error);
    queue_.finish();
    co_return std::nullopt;
}

}  // namespace tessera
