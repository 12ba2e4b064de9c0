#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tessera {

// The one error that cancellation raises, at the next cancellation-aware
// suspension point of a cancelled task (sleep, network, recorder wait, queue
// wait, an explicit check).
class CancelledError : public std::exception {
  public:
    const char* what() const noexcept override { return "cancelled"; }
};

bool isCancellation(const std::exception_ptr& error);

// The user-facing description of a caught error: what() of a std::exception,
// else a generic text.
std::string describeError(const std::exception_ptr& error);

// The cancellation flag of one task tree. Executor thread only: cancel(),
// callback registration and callbacks all run on the thread of the executor
// the task runs on.
class CancelState {
  public:
    bool isCancelled() const { return cancelled_; }

    // Sets the flag and runs the registered callbacks once, in registration
    // order; a callback that throws is logged and the rest still run. Later
    // calls do nothing.
    void cancel();

    // Runs `callback` when the state is cancelled; at once when it already is.
    // The returned id removes it again.
    std::uint64_t onCancel(std::function<void()> callback);
    void removeCallback(std::uint64_t id);

  private:
    bool cancelled_ = false;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, std::function<void()>> callbacks_;
};

// A registered cancellation callback that is removed when this goes away.
class CancelRegistration {
  public:
    CancelRegistration() = default;
    CancelRegistration(std::shared_ptr<CancelState> state, std::function<void()> callback);
    ~CancelRegistration() { reset(); }
    CancelRegistration(CancelRegistration&& other) noexcept;
    CancelRegistration& operator=(CancelRegistration&& other) noexcept;
    CancelRegistration(const CancelRegistration&) = delete;
    CancelRegistration& operator=(const CancelRegistration&) = delete;

    void reset();

  private:
    std::shared_ptr<CancelState> state_;
    std::uint64_t id_ = 0;
};

}  // namespace tessera
