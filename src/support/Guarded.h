#pragma once

#include <mutex>
#include <utility>

namespace tessera {

// A value bound to its mutex: the only way to reach it is under the lock.
template <class T>
class Guarded {
  public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}

    class Locked {
      public:
        Locked(std::mutex& mutex, T& value) : lock_(mutex), value_(value) {}
        T& operator*() { return value_; }
        T* operator->() { return &value_; }

      private:
        std::unique_lock<std::mutex> lock_;
        T& value_;
    };

    Locked lock() { return Locked(mutex_, value_); }

    template <class F>
    auto with(F&& f) {
        std::lock_guard guard(mutex_);
        return std::forward<F>(f)(value_);
    }

  private:
    std::mutex mutex_;
    T value_{};
};

}  // namespace tessera
