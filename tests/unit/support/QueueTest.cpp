#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CapturedLog.h"
#include "support/AsyncQueue.h"
#include "support/ManualExecutor.h"
#include "support/SerialQueue.h"

namespace tessera {
namespace {

using testing::CapturedLog;

TEST(SerialQueue, RunsWorkInOrderOnOneThread) {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    {
        SerialQueue queue("com.tessera.recorder.screen-capture");
        for (int i = 0; i < 100; ++i) {
            queue.async([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    }  // destruction runs what is queued, then joins
    std::vector<int> expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(std::ranges::count(threads, threads.at(0)), 100);
    EXPECT_NE(threads[0], std::this_thread::get_id());
}

Task<std::string> hopsToQueue(SerialQueue& queue, std::thread::id& workThread,
                              std::thread::id& resumeThread) {
    int value = co_await queue.onQueue([&] {
        workThread = std::this_thread::get_id();
        return 21;
    });
    resumeThread = std::this_thread::get_id();
    try {
        co_await queue.onQueue([]() -> void { throw std::runtime_error("queue work failed"); });
    } catch (const std::runtime_error& error) {
        co_return std::to_string(value * 2) + " / " + error.what();
    }
    co_return "no error";
}

TEST(SerialQueue, OnQueueRunsThereAndResumesOnTheExecutorWithResultOrError) {
    ManualExecutor executor;
    SerialQueue queue("com.tessera.recorder.test");
    std::thread::id workThread;
    std::thread::id resumeThread;
    auto handle = spawn(executor, hopsToQueue(queue, workThread, resumeThread));
    ASSERT_TRUE(executor.runUntil([&] { return handle.isDone(); }));
    EXPECT_EQ(handle.result(), "42 / queue work failed");
    EXPECT_TRUE(workThread != std::this_thread::get_id());
    EXPECT_EQ(resumeThread, std::this_thread::get_id());
}

// Records, when the work closure that owns it is destroyed, whether the
// awaiting task's resumption had already been handed to the executor.
struct ClosureProbe {
    ManualExecutor& executor;
    std::size_t& pendingAtDestruction;
    ~ClosureProbe() { pendingAtDestruction = executor.pendingWorkCount(); }
};

Task<int> awaitsProbedWork(SerialQueue& queue, ManualExecutor& executor, std::size_t& pending) {
    // A named closure: GCC 12 mishandles the captures of a closure created
    // inside a co_await expression.
    auto work = [probe = std::make_shared<ClosureProbe>(executor, pending)] {
        return 5;
    };
    co_return co_await queue.onQueue(std::move(work));
}

TEST(SerialQueue, OnQueueWorkIsDestroyedOnTheQueueBeforeTheTaskResumes) {
    ManualExecutor executor;
    SerialQueue queue("com.tessera.recorder.test");
    std::size_t pendingAtDestruction = 99;
    auto handle = spawn(executor, awaitsProbedWork(queue, executor, pendingAtDestruction));
    executor.runUntilIdle();
    queue.shutdown();  // the work, its destruction and the resume post have all happened
    EXPECT_EQ(pendingAtDestruction, 0u);
    executor.runUntilIdle();
    EXPECT_EQ(handle.result(), 5);
}

Task<std::string> awaitsRefusedWork(SerialQueue& queue, bool& ran) {
    try {
        co_await queue.onQueue([&] { ran = true; });
    } catch (const QueueShutDownError&) {
        co_return "refused";
    }
    co_return "ran";
}

TEST(SerialQueue, AfterShutdownWorkIsRefusedClearlyAndNoWaiterHangs) {
    CapturedLog log;
    ManualExecutor executor;
    SerialQueue queue("com.tessera.recorder.test");
    std::vector<std::string> order;
    queue.async([&] { throw std::runtime_error("first item broke"); });
    queue.async([&] { order.push_back("after the failure"); });
    queue.shutdown();
    EXPECT_EQ(order, std::vector<std::string>{"after the failure"});

    bool ran = false;
    EXPECT_FALSE(queue.async([&] { ran = true; }));
    auto handle = spawn(executor, awaitsRefusedWork(queue, ran));
    executor.runUntilIdle();
    EXPECT_EQ(handle.result(), "refused");
    EXPECT_FALSE(ran);
    const auto problems = log.problems("queue");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].message.find("first item broke"), std::string::npos);
    EXPECT_NE(problems[1].message.find("dropped"), std::string::npos);
}

Task<void> awaitsSlowFailure(SerialQueue& queue, std::latch& started, std::latch& release) {
    co_await queue.onQueue([&] {
        started.count_down();
        release.wait();
        throw std::runtime_error("late failure");
    });
}

TEST(SerialQueue, WorkThatEndsAfterItsExecutorIsGoneDoesNotResumeAndItsErrorIsLogged) {
    CapturedLog log;
    SerialQueue queue("com.tessera.recorder.test");
    std::latch started(1);
    std::latch release(1);
    auto executor = std::make_unique<ManualExecutor>();
    auto handle = spawn(*executor, awaitsSlowFailure(queue, started, release));
    executor->runUntilIdle();
    started.wait();
    executor.reset();  // destroys the waiting task
    release.count_down();
    queue.shutdown();
    const auto problems = log.problems("queue");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].message.find("late failure"), std::string::npos);
}

Task<std::vector<int>> drain(AsyncQueue<int> queue) {
    std::vector<int> seen;
    while (auto value = co_await queue.next()) {
        seen.push_back(*value);
    }
    co_return seen;
}

TEST(AsyncQueue, KeepsOrderAcrossThreadsAndEndsAfterDrainingOnceFinished) {
    ManualExecutor executor;
    AsyncQueue<int> queue;
    queue.push(0);
    auto consumer = spawn(executor, drain(queue));
    executor.runUntilIdle();
    std::thread producer([queue]() mutable {
        for (int i = 1; i < 2000; ++i) {
            EXPECT_TRUE(queue.push(i));
        }
        queue.finish();
        EXPECT_FALSE(queue.push(-1)) << "a finished queue refuses values";
        queue.finish();
    });
    ASSERT_TRUE(executor.runUntil([&] { return consumer.isDone(); }));
    producer.join();
    std::vector<int> expected(2000);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_TRUE(consumer.result() == expected);
}

// A cancelled consumer ends, whether or not a push already posted its wake-up,
// and the values stay queued for the next consumer.
TEST(AsyncQueue, CancellingAWaitingConsumerEndsItAndKeepsTheValues) {
    for (const bool pushedFirst : {false, true}) {
        SCOPED_TRACE(pushedFirst ? "after a push woke it" : "while waiting");
        ManualExecutor executor;
        AsyncQueue<int> queue;
        auto consumer = spawn(executor, drain(queue));
        executor.runUntilIdle();
        if (pushedFirst) {
            queue.push(5);
        }
        consumer.cancel();
        executor.runUntilIdle();
        ASSERT_TRUE(consumer.isDone());
        EXPECT_THROW(consumer.result(), CancelledError);
        if (!pushedFirst) {
            queue.push(5);
        }
        queue.push(6);
        auto second = spawn(executor, drain(queue));
        queue.finish();
        executor.runUntilIdle();
        EXPECT_EQ(second.result(), (std::vector<int>{5, 6}));
    }
}

}  // namespace
}  // namespace tessera
