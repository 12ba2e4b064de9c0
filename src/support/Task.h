#pragma once

#include <concepts>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "support/Cancellation.h"
#include "support/Executor.h"

namespace tessera {

// Where a task runs and the cancellation flag it answers to. A task awaited
// with co_await shares the context of the task that awaits it.
struct TaskContext {
    Executor* executor = nullptr;
    std::shared_ptr<CancelState> cancel;

    bool isCancelled() const { return cancel && cancel->isCancelled(); }
};

namespace detail {

struct PromiseBase {
    TaskContext context;
};

template <class P>
concept TaskPromise = std::derived_from<P, PromiseBase>;

template <class T>
struct ResultStore {
    std::variant<std::monostate, T, std::exception_ptr> result;

    template <class U>
    void return_value(U&& value) {
        result.template emplace<1>(std::forward<U>(value));
    }
    void unhandled_exception() { result.template emplace<2>(std::current_exception()); }
    T take() {
        if (result.index() == 2) {
            std::rethrow_exception(std::get<2>(result));
        }
        return std::move(std::get<1>(result));
    }
};

template <>
struct ResultStore<void> {
    std::exception_ptr error;

    void return_void() {}
    void unhandled_exception() { error = std::current_exception(); }
    void take() {
        if (error) {
            std::rethrow_exception(error);
        }
    }
};

}  // namespace detail

template <class T>
class ShieldedTask;

// A lazy coroutine: nothing runs until it is awaited or spawned. Exceptions
// travel through co_await to the awaiting task.
template <class T = void>
class [[nodiscard]] Task {
  public:
    struct promise_type : detail::PromiseBase, detail::ResultStore<T> {
        // The continuation: the awaiting task's frame, resumed (by symmetric
        // transfer) when this task finishes. Null for a task nobody awaits.
        std::coroutine_handle<> continuation;

        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }

        struct FinalAwaiter {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(
                std::coroutine_handle<promise_type> self) noexcept {
                auto next = self.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        FinalAwaiter final_suspend() noexcept { return {}; }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (handle_) {
                handle_.destroy();
            }
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (handle_) {
            handle_.destroy();
        }
    }

    struct Awaiter {
        Handle child;
        bool shielded;

        bool await_ready() noexcept { return false; }
        template <detail::TaskPromise P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
            auto& promise = child.promise();
            promise.context = parent.promise().context;
            if (shielded) {
                promise.context.cancel = std::make_shared<CancelState>();
            }
            promise.continuation = parent;
            return child;
        }
        T await_resume() { return child.promise().take(); }
    };

    // Starts the task on the awaiting task's thread, with its executor and its
    // cancellation. The awaiting task resumes on the same thread when this one
    // finishes, with its result or its exception.
    Awaiter operator co_await() && noexcept { return Awaiter{handle_, false}; }

  private:
    friend class ShieldedTask<T>;
    explicit Task(Handle handle) : handle_(handle) {}
    Handle handle_;
};

// Awaiting a shielded task runs it like a child task, but with a cancellation
// flag of its own: clean-up that must finish (tear-down after a cancelled
// start, a delete request) runs to its end inside a cancelled task.
template <class T>
class [[nodiscard]] ShieldedTask {
  public:
    explicit ShieldedTask(Task<T> task) : task_(std::move(task)) {}
    typename Task<T>::Awaiter operator co_await() && noexcept {
        return typename Task<T>::Awaiter{task_.handle_, true};
    }

  private:
    Task<T> task_;
};

template <class T>
ShieldedTask<T> shielded(Task<T> task) {
    return ShieldedTask<T>(std::move(task));
}

// Reads the awaiting task's context without suspending.
struct ContextProbe {
    TaskContext context;
    bool await_ready() noexcept { return false; }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> self) noexcept {
        context = self.promise().context;
        return false;
    }
};

// co_await currentContext(): the awaiting task's context.
struct CurrentContext : ContextProbe {
    TaskContext await_resume() noexcept { return context; }
};
inline CurrentContext currentContext() {
    return {};
}

// co_await checkCancellation(): throws CancelledError when the awaiting task
// has been cancelled; never suspends.
struct CheckCancellation : ContextProbe {
    void await_resume() const {
        if (context.isCancelled()) {
            throw CancelledError();
        }
    }
};
inline CheckCancellation checkCancellation() {
    return {};
}

// co_await sleepUntil(t) / sleepFor(d): resumes on the task's executor once its
// clock reaches the deadline. Cancellation-aware: a cancelled task resumes at
// once (from the executor's queue, never inside cancel()) with CancelledError.
class SleepAwaiter {
  public:
    explicit SleepAwaiter(std::optional<TimePoint> deadline, Duration delay)
        : deadline_(deadline), delay_(delay) {}
    SleepAwaiter(const SleepAwaiter&) = delete;
    SleepAwaiter& operator=(const SleepAwaiter&) = delete;
    ~SleepAwaiter() {
        if (armed_) {
            context_.executor->cancelTimer(timer_);
        }
    }

    bool await_ready() noexcept { return false; }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> self) {
        context_ = self.promise().context;
        return arm(self);
    }
    void await_resume() const {
        if (cancelled_) {
            throw CancelledError();
        }
    }

  private:
    bool arm(std::coroutine_handle<> self);

    std::optional<TimePoint> deadline_;
    Duration delay_;
    TaskContext context_;
    TimerId timer_ = 0;
    bool armed_ = false;
    bool cancelled_ = false;
    CancelRegistration registration_;
};

inline SleepAwaiter sleepFor(Duration delay) {
    return SleepAwaiter(std::nullopt, delay);
}
inline SleepAwaiter sleepUntil(TimePoint deadline) {
    return SleepAwaiter(deadline, Duration{});
}

namespace detail {

struct JoinWaiter {
    virtual void wake() = 0;

  protected:
    ~JoinWaiter() = default;
};

// Logs the failure of a spawned task whose result nobody took; a
// cancellation is how tasks are meant to end and is not logged.
void reportUnobservedFailure(const std::exception_ptr& error);

template <class T>
struct TaskState {
    using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    TaskState() = default;
    TaskState(const TaskState&) = delete;
    TaskState& operator=(const TaskState&) = delete;
    ~TaskState() {
        if (error && !observed) {
            reportUnobservedFailure(error);
        }
    }

    std::shared_ptr<CancelState> cancel = std::make_shared<CancelState>();
    CancelRegistration parentLink;
    bool done = false;
    // Whether anyone took the outcome (join, result()); an error nobody took
    // is logged when the state goes away.
    bool observed = false;
    std::optional<Stored> value;
    std::exception_ptr error;
    std::vector<JoinWaiter*> waiters;

    void finish() {
        done = true;
        parentLink.reset();
        auto toWake = std::move(waiters);
        waiters.clear();
        for (JoinWaiter* waiter : toWake) {
            waiter->wake();
        }
    }

    // The outcome of a finished task. A copyable result is copied for every
    // taker; a move-only one can be taken once.
    T get() {
        if (!done) {
            throw std::logic_error("the result of a task was asked for before the task finished");
        }
        observed = true;
        if (error) {
            std::rethrow_exception(error);
        }
        if constexpr (std::is_void_v<T>) {
            return;
        } else if constexpr (std::is_copy_constructible_v<T>) {
            return *value;
        } else {
            if (!value) {
                throw std::logic_error("the move-only result of a task was already taken");
            }
            T taken = std::move(*value);
            value.reset();
            return taken;
        }
    }
};

struct RootTask {
    struct promise_type : PromiseBase {
        Executor* owner = nullptr;

        RootTask get_return_object() {
            return RootTask{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
        ~promise_type() {
            if (owner) {
                owner->releaseRoot(std::coroutine_handle<promise_type>::from_promise(*this));
            }
        }
    };
    std::coroutine_handle<promise_type> handle;
};

template <class T>
RootTask runRoot(Task<T> task, std::shared_ptr<TaskState<T>> state) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            state->value.emplace();
        } else {
            state->value.emplace(co_await std::move(task));
        }
    } catch (...) {
        state->error = std::current_exception();
    }
    state->finish();
}

}  // namespace detail

// Awaits a spawned task's end and gives its result or rethrows its error.
// Resumes on the awaiting task's executor. Not cancellation-aware: cancel the
// awaited task to make it end early.
template <class T>
class JoinAwaiter final : detail::JoinWaiter {
  public:
    explicit JoinAwaiter(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
    JoinAwaiter(const JoinAwaiter&) = delete;
    JoinAwaiter& operator=(const JoinAwaiter&) = delete;
    ~JoinAwaiter() { std::erase(state_->waiters, static_cast<detail::JoinWaiter*>(this)); }

    bool await_ready() const noexcept { return state_->done; }
    template <detail::TaskPromise P>
    void await_suspend(std::coroutine_handle<P> self) {
        self_ = self;
        executor_ = self.promise().context.executor->ref();
        state_->waiters.push_back(this);
    }
    T await_resume() const { return state_->get(); }

  private:
    // When the awaiting task's executor is gone, so is the awaiting frame: the
    // post is then a no-op.
    void wake() override {
        executor_.post([self = self_] { self.resume(); });
    }

    std::shared_ptr<detail::TaskState<T>> state_;
    std::coroutine_handle<> self_;
    ExecutorRef executor_;
};

// A spawned task. Dropping the handle does not stop the task. Executor thread
// only.
template <class T = void>
class TaskHandle {
  public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}

    bool valid() const { return state_ != nullptr; }
    bool isDone() const { return state_ && state_->done; }
    bool isCancelled() const { return state_ && state_->cancel->isCancelled(); }

    // Marks the task cancelled; it notices at its next cancellation-aware
    // suspension point. Never resumes it inline.
    void cancel() const {
        if (state_ && !state_->done) {
            state_->cancel->cancel();
        }
    }

    // co_await handle.join(). Throws std::logic_error on an empty handle.
    JoinAwaiter<T> join() const { return JoinAwaiter<T>(checkedState("join()")); }

    // The result of a finished task (rethrows its error). For tests and for
    // code that has checked isDone(). Throws std::logic_error on an empty
    // handle or an unfinished task.
    T result() const { return checkedState("result()")->get(); }

  private:
    const std::shared_ptr<detail::TaskState<T>>& checkedState(const char* operation) const {
        if (!state_) {
            throw std::logic_error(std::string(operation) + " on an empty TaskHandle");
        }
        return state_;
    }

    std::shared_ptr<detail::TaskState<T>> state_;
};

// Starts `task` on `executor`: it begins at the executor's next turn, not
// inside this call. With a parent cancellation state the task is a child:
// cancelling the parent cancels it. Executor thread.
template <class T>
TaskHandle<T> spawn(Executor& executor, Task<T> task,
                    const std::shared_ptr<CancelState>& parent = nullptr) {
    auto state = std::make_shared<detail::TaskState<T>>();
    if (parent) {
        state->parentLink =
            CancelRegistration(parent, [weak = std::weak_ptr<CancelState>(state->cancel)] {
                if (auto cancel = weak.lock()) {
                    cancel->cancel();
                }
            });
    }
    auto root = detail::runRoot(std::move(task), state);
    root.handle.promise().context = TaskContext{&executor, state->cancel};
    root.handle.promise().owner = &executor;
    executor.adoptRoot(root.handle);
    executor.post([handle = root.handle] { handle.resume(); });
    return TaskHandle<T>(std::move(state));
}

}  // namespace tessera
