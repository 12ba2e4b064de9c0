#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapturedLog.h"
#include "support/AsyncQueue.h"
#include "support/ManualExecutor.h"
#include "support/SerialQueue.h"
#include "support/Task.h"

namespace tessera {
namespace {

using testing::CapturedLog;

// Counts live instances, so a leaked or twice-destroyed coroutine frame shows.
struct Lifetime {
    static inline int live = 0;
    Lifetime() { ++live; }
    Lifetime(const Lifetime&) { ++live; }
    ~Lifetime() { --live; }
};

Task<int> answer(std::vector<std::string>& log) {
    log.push_back("child");
    co_return 42;
}

Task<int> parent(std::vector<std::string>& log) {
    log.push_back("parent before");
    int value = co_await answer(log);
    log.push_back("parent after");
    co_return value + 1;
}

Task<void> thrower() {
    co_await sleepFor(seconds(1));
    throw std::runtime_error("broken");
}

Task<double> sleeper(Executor& executor, double secondsToSleep) {
    const TimePoint before = executor.now();
    co_await sleepFor(seconds(secondsToSleep));
    co_return toSeconds(executor.now() - before);
}

Task<int> slowValue(int value, double delay) {
    co_await sleepFor(seconds(delay));
    co_return value;
}

Task<int> joins(TaskHandle<int> handle) {
    co_return co_await handle.join() * 2;
}

Task<std::unique_ptr<int>> makeUnique(int value) {
    co_await sleepFor(seconds(1));
    co_return std::make_unique<int>(value);
}

Task<int> joinsUnique(TaskHandle<std::unique_ptr<int>> handle) {
    auto value = co_await handle.join();
    co_return *value;
}

TEST(Task, ResultsAndErrorsTravelThroughCoAwaitAndJoin) {
    ManualExecutor executor;
    std::vector<std::string> log;
    {
        auto unstarted = parent(log);  // never awaited: runs nothing, frees its frame
    }
    auto handle = spawn(executor, parent(log));
    EXPECT_TRUE(log.empty()) << "tasks are lazy and spawn starts them on the next turn";
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"parent before", "child", "parent after"}));
    EXPECT_EQ(handle.result(), 43);

    auto uncaught = spawn(executor, thrower());
    auto worker = spawn(executor, slowValue(5, 1));
    auto first = spawn(executor, joins(worker));
    auto second = spawn(executor, joins(worker));
    auto producer = spawn(executor, makeUnique(4));
    auto consumer = spawn(executor, joinsUnique(producer));
    executor.runUntilIdle();
    EXPECT_THROW(TaskHandle<int>().result(), std::logic_error);
    EXPECT_THROW(worker.result(), std::logic_error) << "not finished yet";
    executor.advance(seconds(1));
    EXPECT_THROW(uncaught.result(), std::runtime_error);
    EXPECT_EQ(first.result(), 10);
    EXPECT_EQ(second.result(), 10);
    auto late = spawn(executor, joins(worker));  // joining a finished task
    executor.runUntilIdle();
    EXPECT_EQ(late.result(), 10);
    EXPECT_EQ(consumer.result(), 4);
    EXPECT_THROW(producer.result(), std::logic_error) << "the joiner took the move-only value";
}

Task<void> recordsThenSleeps(std::vector<std::string>& log) {
    Lifetime alive;
    log.push_back("body ran");
    co_await sleepFor(seconds(10));
    log.push_back("after sleep");
}

// Before its start the cancellation surfaces at the first suspension point;
// while sleeping the task resumes at once without moving the clock.
TEST(Task, CancelEndsTheTaskAndFreesItsFrameAndTimer) {
    for (const bool startFirst : {false, true}) {
        SCOPED_TRACE(startFirst ? "while sleeping" : "before start");
        ManualExecutor executor;
        std::vector<std::string> log;
        auto handle = spawn(executor, recordsThenSleeps(log));
        if (startFirst) {
            executor.advance(seconds(1));
        }
        handle.cancel();
        EXPECT_FALSE(handle.isDone()) << "cancel() must not resume the task inline";
        executor.runUntilIdle();
        ASSERT_TRUE(handle.isDone());
        EXPECT_THROW(handle.result(), CancelledError);
        EXPECT_EQ(log, (std::vector<std::string>{"body ran"}));
        EXPECT_EQ(executor.pendingTimerCount(), 0u);
        EXPECT_EQ(Lifetime::live, 0);
    }
}

Task<std::string> awaitsChild(std::vector<std::string>& log) {
    try {
        co_await recordsThenSleeps(log);
    } catch (const CancelledError&) {
        co_return "parent saw cancellation";
    }
    co_return "no cancellation";
}

Task<int> cleanupAfterCancellation(std::vector<std::string>& log) {
    try {
        co_await sleepFor(seconds(5));
    } catch (const CancelledError&) {
        log.push_back("cancelled");
    }
    // Clean-up must run to its end although the task is cancelled.
    co_await shielded(sleeper(*(co_await currentContext()).executor, 2));
    log.push_back("cleanup done");
    try {
        co_await checkCancellation();
    } catch (const CancelledError&) {
        co_return 1;
    }
    co_return 0;
}

TEST(Task, ShieldedWorkRunsToItsEndInsideACancelledTask) {
    ManualExecutor executor;
    std::vector<std::string> log;
    auto handle = spawn(executor, cleanupAfterCancellation(log));
    executor.runUntilIdle();
    handle.cancel();
    executor.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"cancelled"}));
    executor.advance(seconds(2));
    EXPECT_EQ(log, (std::vector<std::string>{"cancelled", "cleanup done"}));
    ASSERT_TRUE(handle.isDone());
    EXPECT_EQ(handle.result(), 1) << "the outer task is still cancelled after the shield";
}

Task<int> spawnsLinkedChild(Executor& executor, TaskHandle<int>& child) {
    auto context = co_await currentContext();
    child = spawn(executor, slowValue(7, 10), context.cancel);
    co_return co_await child.join();
}

TEST(Task, CancellingAParentCancelsTheChildItAwaitsAndTheChildItSpawnedLinked) {
    ManualExecutor executor;
    std::vector<std::string> log;
    auto awaiting = spawn(executor, awaitsChild(log));
    TaskHandle<int> child;
    auto linking = spawn(executor, spawnsLinkedChild(executor, child));
    executor.advance(seconds(1));
    ASSERT_TRUE(child.valid());
    awaiting.cancel();
    linking.cancel();
    executor.runUntilIdle();
    EXPECT_EQ(awaiting.result(), "parent saw cancellation");
    EXPECT_EQ(log, (std::vector<std::string>{"body ran"}));
    EXPECT_TRUE(child.isCancelled());
    EXPECT_THROW(child.result(), CancelledError);
    EXPECT_THROW(linking.result(), CancelledError);
}

TEST(Cancellation, AThrowingCallbackIsLoggedAndTheOthersStillRun) {
    CapturedLog log;
    auto state = std::make_shared<CancelState>();
    std::vector<int> ran;
    CancelRegistration first(state, [&] {
        ran.push_back(1);
        throw std::runtime_error("callback broke");
    });
    CancelRegistration second(state, [&] { ran.push_back(2); });
    state->cancel();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    ASSERT_EQ(log.problems("cancel").size(), 1u);
    EXPECT_NE(log.problems("cancel")[0].message.find("callback broke"), std::string::npos);
}

Task<std::string> awaitsQueue(SerialQueue& queue, std::latch& workStarted, std::latch& release,
                              std::atomic<bool>& workFinished) {
    try {
        co_await queue.onQueue([&] {
            workStarted.count_down();
            release.wait();
            workFinished = true;
            return 1;
        });
    } catch (const CancelledError&) {
        co_return "cancelled after the work ran";
    }
    co_return "completed";
}

TEST(Task, CancelWhileAwaitingOnQueueSurfacesWhenTheWorkHasRun) {
    ManualExecutor executor;
    SerialQueue queue("com.tessera.recorder.test");
    std::latch workStarted(1);
    std::latch release(1);
    std::atomic<bool> workFinished = false;
    auto handle = spawn(executor, awaitsQueue(queue, workStarted, release, workFinished));
    executor.runUntilIdle();
    workStarted.wait();
    handle.cancel();
    executor.runUntilIdle();
    EXPECT_FALSE(handle.isDone()) << "the task must not resume before its work has run";
    release.count_down();
    ASSERT_TRUE(executor.runUntil([&] { return handle.isDone(); }));
    EXPECT_TRUE(workFinished);
    EXPECT_EQ(handle.result(), "cancelled after the work ran");
}

Task<void> waitsForever(AsyncQueue<int> queue) {
    Lifetime alive;
    co_await sleepFor(seconds(0));
    co_await queue.next();
}

Task<int> neverJoined(TaskHandle<int> other) {
    Lifetime alive;
    co_return co_await other.join();
}

TEST(Task, DestroyingTheExecutorDestroysUnfinishedTasksAndDropsTheirTimers) {
    {
        ManualExecutor executor;
        std::vector<std::string> log;
        AsyncQueue<int> queue;
        auto sleeping = spawn(executor, recordsThenSleeps(log));
        auto waiting = spawn(executor, waitsForever(queue));
        auto slow = spawn(executor, slowValue(1, 100));
        auto joining = spawn(executor, neverJoined(slow));
        auto notStarted = spawn(executor, recordsThenSleeps(log));
        executor.advance(seconds(1));
        // Run the last one's start only partly: it is queued but never run.
        auto queuedOnly = spawn(executor, recordsThenSleeps(log));
        EXPECT_EQ(Lifetime::live, 4);
        queue.push(1);  // wakes the consumer through a post that never runs
    }
    EXPECT_EQ(Lifetime::live, 0);
}

}  // namespace
}  // namespace tessera
