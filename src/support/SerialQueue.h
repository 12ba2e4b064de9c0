#pragma once

#include <condition_variable>
#include <coroutine>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>

#include "support/Task.h"

namespace tessera {

// One named worker thread that runs work items one at a time in the order they
// were queued. A recorder keeps all its sample handling and state changes on
// its own queue.
//
// Destroying the queue runs the work already queued and then joins the thread;
// so destroy a queue before the executor its onQueue() calls resume on.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Any thread. Queues work behind everything queued before; never blocks on
    // the work itself.
    void async(std::function<void()> work);

    // Whether the calling thread is this queue's worker.
    bool isCurrent() const;

    // co_await queue.onQueue(work): runs work on the queue and resumes the
    // awaiting task on its executor with work's result or exception. The task
    // resumes only after the work has run; a task cancelled meanwhile then
    // throws CancelledError instead of returning the result.
    template <class F>
    auto onQueue(F work);

  private:
    void runWorker(std::stop_token stop);

    std::string label_;
    std::mutex mutex_;
    std::condition_variable_any wakeup_;
    std::deque<std::function<void()>> work_;
    std::jthread worker_;
};

template <class R>
class OnQueueAwaiter {
  public:
    OnQueueAwaiter(SerialQueue& queue, std::function<R()> work)
        : queue_(queue), work_(std::move(work)) {}

    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise P>
    void await_suspend(std::coroutine_handle<P> self) {
        context_ = self.promise().context;
        queue_.async([outcome = outcome_, work = std::move(work_), executor = context_.executor,
                      self = std::coroutine_handle<>(self)] {
            try {
                if constexpr (std::is_void_v<R>) {
                    work();
                    outcome->value.emplace();
                } else {
                    outcome->value.emplace(work());
                }
            } catch (...) {
                outcome->error = std::current_exception();
            }
            executor->post([self] { self.resume(); });
        });
    }
    R await_resume() {
        if (context_.isCancelled()) {
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
    std::shared_ptr<Outcome> outcome_ = std::make_shared<Outcome>();
};

template <class F>
auto SerialQueue::onQueue(F work) {
    using R = std::invoke_result_t<F&>;
    return OnQueueAwaiter<R>(*this, std::function<R()>(std::move(work)));
}

}  // namespace tessera
