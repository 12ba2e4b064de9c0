#pragma once

#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "support/Task.h"

namespace tessera {

// An unbounded, ordered, thread-safe queue of values with one consumer task.
// Producers on any thread push without ever blocking on the consumer; the
// producer finishes the queue, and the consumer then drains what is left and
// sees the end. Copies of an AsyncQueue share one queue, so the producer end and
// the consumer end can be handed to different owners.
template <class T>
class AsyncQueue {
  public:
    AsyncQueue() : state_(std::make_shared<State>()) {}

    // Any thread. False (and the value is dropped) once the queue is finished.
    bool push(T value) {
        Waiter waiter;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->finished) {
                return false;
            }
            state_->items.push_back(std::move(value));
            waiter = std::exchange(state_->waiter, {});
        }
        waiter.wake();
        return true;
    }

    // Any thread. No value is accepted afterwards; the consumer ends after the
    // values already queued. Finishing twice is harmless.
    void finish() {
        Waiter waiter;
        {
            std::lock_guard lock(state_->mutex);
            state_->finished = true;
            waiter = std::exchange(state_->waiter, {});
        }
        waiter.wake();
    }

    // Any thread: values waiting to be taken.
    std::size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->items.size();
    }

    // co_await queue.next(): the next value in push order, or none once the
    // queue is finished and drained. Resumes on the consumer's executor.
    // Cancellation-aware: a cancelled consumer resumes with CancelledError and
    // the values stay queued. One consumer at a time.
    auto next() { return NextAwaiter(state_); }

  private:
    // The waiting consumer. A producer may wake it after the consumer's
    // executor (and with it the consumer frame) is gone; the post through the
    // ExecutorRef is then a no-op.
    struct Waiter {
        ExecutorRef executor;
        std::coroutine_handle<> handle;
        void wake() const {
            if (handle) {
                executor.post([h = handle] { h.resume(); });
            }
        }
    };
    struct State {
        mutable std::mutex mutex;
        std::deque<T> items;
        bool finished = false;
        Waiter waiter;
    };

    class NextAwaiter {
      public:
        explicit NextAwaiter(std::shared_ptr<State> state) : state_(std::move(state)) {}
        NextAwaiter(const NextAwaiter&) = delete;
        NextAwaiter& operator=(const NextAwaiter&) = delete;
        ~NextAwaiter() {
            // A consumer frame destroyed while waiting must not be resumed later.
            std::lock_guard lock(state_->mutex);
            if (state_->waiter.handle == self_ && self_) {
                state_->waiter = {};
            }
        }

        bool await_ready() noexcept { return false; }
        template <detail::TaskPromise P>
        bool await_suspend(std::coroutine_handle<P> self) {
            context_ = self.promise().context;
            if (context_.isCancelled()) {
                return false;
            }
            {
                std::lock_guard lock(state_->mutex);
                if (!state_->items.empty() || state_->finished) {
                    return false;
                }
                self_ = self;
                state_->waiter = Waiter{context_.executor->ref(), self};
            }
            registration_ = CancelRegistration(context_.cancel, [this] {
                bool wasWaiting = false;
                {
                    std::lock_guard lock(state_->mutex);
                    if (state_->waiter.handle == self_) {
                        state_->waiter = {};
                        wasWaiting = true;
                    }
                }
                // When a producer already took the waiter, its wake-up is on
                // the way; await_resume then reports the cancellation.
                if (wasWaiting) {
                    context_.executor->post([h = self_] { h.resume(); });
                }
            });
            return true;
        }
        std::optional<T> await_resume() {
            registration_.reset();
            self_ = {};
            if (context_.isCancelled()) {
                throw CancelledError();
            }
            std::lock_guard lock(state_->mutex);
            if (state_->items.empty()) {
                return std::nullopt;  // finished and drained
            }
            T value = std::move(state_->items.front());
            state_->items.pop_front();
            return value;
        }

      private:
        std::shared_ptr<State> state_;
        TaskContext context_;
        std::coroutine_handle<> self_;
        CancelRegistration registration_;
    };

    std::shared_ptr<State> state_;
};

}  // namespace tessera
