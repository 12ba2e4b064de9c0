#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tessera::testing {

// Polls `condition` in real time until it holds; false after `limit`. The
// limit only guards a hang.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace tessera::testing
