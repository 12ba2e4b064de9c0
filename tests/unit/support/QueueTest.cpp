#include <gtest/gtest.h>
#include <pthread.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/AsyncQueue.h"
#include "support/ManualExecutor.h"
#include "support/SerialQueue.h"

namespace tessera {
namespace {

TEST(SerialQueue, RunsWorkInOrderOnOneNamedThread) {
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::string threadName;
    {
        SerialQueue queue("com.tessera.recorder.screen-capture");
        for (int i = 0; i < 100; ++i) {
            queue.async([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
        queue.async([&] {
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            threadName = name;
        });
    }  // destruction runs what is queued, then joins
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(threads[i], threads[0]);
    }
    EXPECT_NE(threads[0], std::this_thread::get_id());
    EXPECT_EQ(threadName, "screen-capture") << "the tail of the label names the thread";
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
    auto seen = consumer.result();
    ASSERT_EQ(seen.size(), 2000u);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(seen[i], i);
    }
}

TEST(AsyncQueue, FinishBeforeTheConsumerStartsStillDeliversEverything) {
    ManualExecutor executor;
    AsyncQueue<int> queue;
    for (int i = 0; i < 3; ++i) {
        queue.push(i);
    }
    queue.finish();
    auto consumer = spawn(executor, drain(queue));
    executor.runUntilIdle();
    EXPECT_EQ(consumer.result(), (std::vector<int>{0, 1, 2}));
}

TEST(AsyncQueue, ProducersNeverWaitForAnIdleConsumer) {
    AsyncQueue<std::vector<char>> queue;
    for (int i = 0; i < 1000; ++i) {
        queue.push(std::vector<char>(1024));
    }
    EXPECT_EQ(queue.size(), 1000u);
}

TEST(AsyncQueue, CancellingAWaitingConsumerEndsItAndKeepsLaterValues) {
    ManualExecutor executor;
    AsyncQueue<int> queue;
    auto consumer = spawn(executor, drain(queue));
    executor.runUntilIdle();
    consumer.cancel();
    executor.runUntilIdle();
    ASSERT_TRUE(consumer.isDone());
    EXPECT_THROW(consumer.result(), CancelledError);
    queue.push(5);
    auto second = spawn(executor, drain(queue));
    queue.finish();
    executor.runUntilIdle();
    EXPECT_EQ(second.result(), (std::vector<int>{5}));
}

TEST(AsyncQueue, CancelAfterAPushWokeTheConsumerStillReportsCancellation) {
    ManualExecutor executor;
    AsyncQueue<int> queue;
    auto consumer = spawn(executor, drain(queue));
    executor.runUntilIdle();
    queue.push(1);  // posts the wake-up
    consumer.cancel();
    executor.runUntilIdle();
    EXPECT_THROW(consumer.result(), CancelledError);
    EXPECT_EQ(queue.size(), 1u) << "the value stays queued";
}

}  // namespace
}  // namespace tessera
