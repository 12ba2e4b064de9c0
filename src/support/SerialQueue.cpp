#include "support/SerialQueue.h"

#include <pthread.h>

#include "support/Log.h"

namespace tessera {

void detail::reportDroppedQueueError(const std::string& label, std::string_view why,
                                     const std::exception_ptr& error) {
    logging::handled("queue", label + ": work failed after " + std::string(why), error);
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::jthread([this](std::stop_token stop) { runWorker(stop); });
    // Thread names hold 15 characters; the last part of a reverse-domain label
    // is what tells queues apart.
    std::string name = label_.substr(label_.rfind('.') + 1).substr(0, 15);
    pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    shutdown();
}

void SerialQueue::shutdown() {
    worker_.request_stop();
    if (worker_.joinable()) {
        worker_.join();
    }
}

bool SerialQueue::async(std::function<void()> work) {
    if (enqueue(std::move(work))) {
        return true;
    }
    logging::warning("queue", label_ + ": work queued after the queue shut down was dropped");
    return false;
}

bool SerialQueue::enqueue(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        work_.push_back(std::move(work));
    }
    wakeup_.notify_one();
    return true;
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == worker_.get_id();
}

void SerialQueue::runWorker(std::stop_token stop) {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock lock(mutex_);
            // The stop request wakes this wait through the stop token.
            wakeup_.wait(lock, stop, [&] { return !work_.empty(); });
            if (work_.empty()) {
                closed_ = true;  // stop requested and everything accepted has run
                return;
            }
            next = std::move(work_.front());
            work_.pop_front();
        }
        try {
            next();
        } catch (...) {
            logging::handled("queue", label_ + ": queued work failed", std::current_exception());
        }
    }
}

}  // namespace tessera
