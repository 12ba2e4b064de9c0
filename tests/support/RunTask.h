#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "support/Task.h"

namespace tessera::testing {

// Runs `task` on `executor` until it ends and returns its result or rethrows
// its error. For the manual executor (which meanwhile waits in real time for
// work other threads post) and the event loop alike; `limit` only guards a hang.
template <class AnyExecutor, class T>
T runTask(AnyExecutor& executor, Task<T> task,
          std::chrono::seconds limit = std::chrono::seconds(60)) {
    auto handle = spawn(executor, std::move(task));
    EXPECT_TRUE(executor.runUntil([&] { return handle.isDone(); }, limit));
    return handle.result();
}

}  // namespace tessera::testing
