#pragma once

// The host time clock: CLOCK_MONOTONIC in nanoseconds, the clock on which every
// capture timestamp is stamped. Recorders read it through the HostClock interface
// so that tests can drive pause, resume and stop times by hand.

#include <time.h>

#include <atomic>

#include "support/MediaTime.h"

namespace tessera {

// Now on CLOCK_MONOTONIC, timescale 1e9. Thread-safe; never blocks.
inline MediaTime hostTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return MediaTime::fromNanoseconds(static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec);
}

// Source of "now" on the host time clock. Implementations are thread-safe.
class HostClock {
  public:
    virtual ~HostClock() = default;
    virtual MediaTime now() const = 0;
};

// The real monotonic clock.
class SystemHostClock final : public HostClock {
  public:
    MediaTime now() const override { return hostTimeNow(); }
};

// A clock that only moves when told to; for tests. Thread-safe.
class ManualHostClock final : public HostClock {
  public:
    explicit ManualHostClock(MediaTime start = MediaTime::zero())
        : ns_(start.convertScale(1'000'000'000).value()) {}
    MediaTime now() const override { return MediaTime::fromNanoseconds(ns_.load()); }
    void set(MediaTime t) { ns_.store(t.convertScale(1'000'000'000).value()); }

  private:
    std::atomic<int64_t> ns_;
};

}  // namespace tessera
