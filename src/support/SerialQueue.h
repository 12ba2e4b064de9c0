#pragma once

#include <condition_variable>
#include <coroutine>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>

#include "support/Task.h"

namespace tessera {

// One named worker thread that runs work items one at a time in the order they
// were queued. A recorder keeps all its sample handling and state changes on
// its own queue.
//
// Shutting the queue down (shutdown() or the destructor) runs every work item
// accepted so far, including items queued by that work, then joins the thread.
// Work queued after that is refused: async() drops it with a warning in the
// log and onQueue() fails with QueueShutDownError.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Any thread. Queues work behind everything queued before; never blocks on
    // the work itself. An exception that escapes the work is logged. Returns
    // false when the queue has shut down; the work is then dropped unrun.
    bool async(std::function<void()> work);

    // Any thread but the worker. Runs what is queued, then stops the worker
    // and waits for it. Later calls do nothing.
    void shutdown();

    // Whether the calling thread is this queue's worker.
    bool isCurrent() const;

    // co_await queue.onQueue(work): runs work on the queue and resumes the
    // awaiting task on its executor with work's result or exception. The work
    // closure is destroyed on the queue before the task resumes. The task
    // resumes only after the work has run; a task cancelled meanwhile then
    // throws CancelledError instead of returning the result. On a queue that
    // has shut down the task resumes at once with QueueShutDownError.
    template <class F>
    auto onQueue(F work);

  private:
    template <class R>
    friend class OnQueueAwaiter;

    // async() without the warning; the caller reports the refusal.
    bool enqueue(std::function<void()> work);
    void runWorker(std::stop_token stop);

    std::string label_;
    std::mutex mutex_;
    std::condition_variable_any wakeup_;
    // Guarded by mutex_.
    std::deque<std::function<void()>> work_;
    // Set by the worker as it ends; guarded by mutex_.
    bool closed_ = false;
    std::jthread worker_;
};

// Work handed to a queue that has shut down.
class QueueShutDownError : public std::runtime_error {
  public:
    explicit QueueShutDownError(const std::string& label)
        : std::runtime_error("work was queued on " + label + " after it shut down") {}
};

namespace detail {
// Logs the error of queue work whose awaiting task can no longer take it.
void reportDroppedQueueError(const std::string& label, std::string_view why,
                             const std::exception_ptr& error);
}  // namespace detail

template <class R>
class OnQueueAwaiter {
  public:
    OnQueueAwaiter(SerialQueue& queue, std::function<R()> work)
        : queue_(queue), work_(std::move(work)) {}

    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> self) {
        context_ = self.promise().context;
        refused_ = !queue_.enqueue([outcome = outcome_, work = std::move(work_),
                                    executor = context_.executor->ref(), label = queue_.label(),
                                    self = std::coroutine_handle<>(self)]() mutable {
            try {
                if constexpr (std::is_void_v<R>) {
                    work();
                    outcome->value.emplace();
                } else {
                    outcome->value.emplace(work());
                }
            } catch (...) {
                outcome->error = std::current_exception();  // handed to the awaiting task
            }
            // What the work captured must not be torn down on this thread while
            // the awaiting task already runs again.
            work = nullptr;
            if (!executor.post([self] { self.resume(); }) && outcome->error) {
                detail::reportDroppedQueueError(label, "the awaiting task's executor is gone",
                                                outcome->error);
            }
        });
        return !refused_;
    }
    R await_resume() {
        if (refused_) {
            throw QueueShutDownError(queue_.label());
        }
        if (context_.isCancelled()) {
            if (outcome_->error) {
                detail::reportDroppedQueueError(queue_.label(), "the awaiting task was cancelled",
                                                outcome_->error);
            }
            throw CancelledError();
        }
        if (outcome_->error) {
            std::rethrow_exception(outcome_->error);
        }
        if constexpr (!std::is_void_v<R>) {
            return std::move(*outcome_->value);
        }
    }

  private:
    struct Outcome {
        std::optional<std::conditional_t<std::is_void_v<R>, std::monostate, R>> value;
        std::exception_ptr error;
    };
    SerialQueue& queue_;
    std::function<R()> work_;
    TaskContext context_;
    bool refused_ = false;
    std::shared_ptr<Outcome> outcome_ = std::make_shared<Outcome>();
};

template <class F>
auto SerialQueue::onQueue(F work) {
    using R = std::invoke_result_t<F&>;
    return OnQueueAwaiter<R>(*this, std::function<R()>(std::move(work)));
}

}  // namespace tessera
