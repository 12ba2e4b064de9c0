#pragma once

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace tessera {

// Times on an executor's clock. The real executors use the host clock
// (CLOCK_MONOTONIC, which is std::chrono::steady_clock on Linux); the manual
// executor keeps virtual time.
using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;
using TimerId = std::uint64_t;

class Executor;

namespace detail {
// What an ExecutorRef points at: the executor while it lives, null after.
struct ExecutorAnchor {
    explicit ExecutorAnchor(Executor* e) : executor(e) {}
    std::mutex mutex;
    Executor* executor;
};
}  // namespace detail

// A reference to an executor that other threads may keep for longer than the
// executor lives: posting through it once the executor is being destroyed does
// nothing. Copyable; any thread.
class ExecutorRef {
  public:
    ExecutorRef() = default;

    // Queues fn like Executor::post. Returns false, and drops fn without
    // running it, when the executor is gone (or the reference is empty).
    bool post(std::function<void()> fn) const;

  private:
    friend class Executor;
    explicit ExecutorRef(std::shared_ptr<detail::ExecutorAnchor> anchor)
        : anchor_(std::move(anchor)) {}
    std::shared_ptr<detail::ExecutorAnchor> anchor_;
};

inline constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
inline constexpr double toSeconds(Duration d) {
    return std::chrono::duration<double>(d).count();
}

// The main-thread executor: a FIFO of work items and a set of timers, all run on
// one thread (the executor's thread). Everything of the state model, the
// controller and the views lives on that thread; other threads hand results to
// it with post().
//
// An executor owns the root frames of the tasks spawned on it: destroying the
// executor drops pending work and timers without running them, then destroys
// every unfinished task. Threads that may outlive the executor post through an
// ExecutorRef, which turns a late post into a no-op instead of a use of freed
// memory.
class Executor {
  public:
    virtual ~Executor();
    Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Any thread. Queues fn to run on the executor's thread after the work
    // already queued.
    virtual void post(std::function<void()> fn) = 0;

    // Any thread. The executor clock.
    virtual TimePoint now() const = 0;

    // Executor thread. Runs fn on the executor's thread once the clock has
    // reached deadline. Timers with equal deadlines fire in the order scheduled.
    virtual TimerId schedule(TimePoint deadline, std::function<void()> fn) = 0;

    // Executor thread. A timer that has fired or was cancelled is ignored.
    virtual void cancelTimer(TimerId id) = 0;

    // Any thread. A reference that stops posting once this executor is being
    // destroyed.
    ExecutorRef ref() const { return ExecutorRef(anchor_); }

    // Executor thread. Root task frames, registered by spawn() and destroyed
    // with the executor when still unfinished.
    void adoptRoot(std::coroutine_handle<> root) { roots_.insert(root.address()); }
    void releaseRoot(std::coroutine_handle<> root) { roots_.erase(root.address()); }

  protected:
    // Makes every ExecutorRef a no-op; waits for a post through one that is
    // under way. Subclasses call it first thing in their destructor, while
    // post() still works.
    void closeRefs();

    // Destroys every unfinished root frame. Subclasses call it from their
    // destructor after dropping their pending work, while their members live.
    void destroyRoots();

  private:
    std::shared_ptr<detail::ExecutorAnchor> anchor_;
    std::unordered_set<void*> roots_;
};

}  // namespace tessera
