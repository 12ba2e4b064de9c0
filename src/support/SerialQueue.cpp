#include "support/SerialQueue.h"

#include <pthread.h>

namespace tessera {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::jthread([this](std::stop_token stop) { runWorker(stop); });
    // Thread names hold 15 characters; the last part of a reverse-domain label
    // is what tells queues apart.
    std::string name = label_.substr(label_.rfind('.') + 1).substr(0, 15);
    pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    worker_.request_stop();
    wakeup_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    wakeup_.notify_one();
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == worker_.get_id();
}

void SerialQueue::runWorker(std::stop_token stop) {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock lock(mutex_);
            wakeup_.wait(lock, stop, [&] { return !work_.empty(); });
            if (work_.empty()) {
                return;  // stop requested and everything queued has run
            }
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
}

}  // namespace tessera
