#pragma once

#include <atomic>

namespace tessera {

// Takes one place of `limit` in `counter`, which counts the items on their way
// to a queue; false, and nothing taken, when all are in use. The caller gives
// the place back (fetch_sub) once the item has been handled. Any thread.
inline bool tryAdmit(std::atomic<int>& counter, int limit) {
    int current = counter.load(std::memory_order_relaxed);
    while (current < limit) {
        if (counter.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

}  // namespace tessera
