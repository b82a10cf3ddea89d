// The main queue: posting order, and what happens when a task or an executor misbehaves.
#include <gtest/gtest.h>

#include <tavrello/main_queue.hpp>

#include <atomic>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavrello::MainQueue;
using Loop = std::vector<std::function<void()>>;

class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue.setExecutor(nullptr);
    queue.runPending();
  }
  void TearDown() override { queue.setExecutor(nullptr); }

  // An application loop: the executor only queues, the test runs the loop.
  std::function<void(std::function<void()>)> queueTo(Loop& loop) {
    return [this, &loop](std::function<void()> task) {
      std::lock_guard lock(loopMutex);
      loop.push_back(std::move(task));
    };
  }

  MainQueue& queue = MainQueue::shared();
  std::mutex loopMutex;
};

TEST_F(MainQueueTest, RunsOnlyWhenDrainedInEachPostersOrder) {
  std::vector<std::pair<int, int>> ran;
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) queue.post([&ran, t, i] { ran.emplace_back(t, i); });
    });
  }
  for (auto& poster : posters) poster.join();
  EXPECT_TRUE(ran.empty());  // nothing runs until the application drains
  queue.post([&] { queue.post([&] { ran.emplace_back(9, 0); }); });
  EXPECT_EQ(queue.runPending(), 3001u);  // what was posted while draining waits
  std::vector<int> next(3, 0);
  for (auto [t, i] : ran) ASSERT_EQ(i, next[t]++);
  EXPECT_EQ(queue.runPending(), 1u);
}

TEST_F(MainQueueTest, ATaskThatThrowsLeavesTheRestQueuedInOrder) {
  std::vector<int> ran;
  for (int i = 0; i < 5; ++i) {
    queue.post([&ran, i] {
      ran.push_back(i);
      if (i == 1 || i == 3) throw std::runtime_error("handler failed");
    });
  }
  EXPECT_THROW(queue.runPending(), std::runtime_error);
  EXPECT_EQ(ran, (std::vector<int>{0, 1}));
  EXPECT_THROW(queue.runUntil([] { return false; }, 10s), std::runtime_error);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(queue.runPending(), 1u);
  EXPECT_EQ(ran.back(), 4);
}

TEST_F(MainQueueTest, SetExecutorFromATaskHandsItTheRestFirst) {
  std::vector<int> ran;
  Loop loop;
  queue.post([&] {
    ran.push_back(1);
    queue.setExecutor(queueTo(loop));
  });
  queue.post([&] { ran.push_back(2); });
  queue.post([&] { ran.push_back(3); });
  EXPECT_FALSE(queue.runUntil([] { return false; }, 100ms));
  EXPECT_EQ(loop.size(), 2u);  // handed over at once, not at the next post
  queue.post([&] { ran.push_back(4); });
  EXPECT_EQ(ran, (std::vector<int>{1}));
  for (auto& task : loop) task();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(MainQueueTest, RunUntilKeepsItsDeadlineWhileTasksKeepArriving) {
  std::atomic<bool> flowing{true};
  const auto end = std::chrono::steady_clock::now() + 5s;
  std::function<void()> again = [&] {
    if (flowing && std::chrono::steady_clock::now() < end) queue.post(again);
  };
  queue.post(again);
  EXPECT_FALSE(queue.runUntil([] { return false; }, 200ms));
  flowing = false;
  EXPECT_EQ(queue.runPending(), 1u);  // it returned while tasks still arrived
}

TEST_F(MainQueueTest, RunUntilWithTheLongestTimeoutWaitsForever) {
  bool done = false;
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    queue.post([&] { done = true; });
  });
  EXPECT_TRUE(queue.runUntil([&] { return done; }, std::chrono::milliseconds::max()));
  late.join();
}

// An executor that throws instead of taking a task: the task stays queued, in order, for the
// next hand-over or drain.
TEST_F(MainQueueTest, ATaskTheExecutorThrowsOnIsNotLost) {
  std::vector<int> ran;
  Loop loop;
  int calls = 0;
  queue.setExecutor([&](std::function<void()> task) {
    if (++calls % 4 == 0) throw std::runtime_error("queue full");
    loop.push_back(std::move(task));
  });
  for (int i = 0; i < 40; ++i) queue.post([&ran, i] { ran.push_back(i); });
  for (auto& task : loop) task();
  queue.runPending();
  ASSERT_EQ(ran.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(ran[i], i);
}

// An executor that takes a lock of the application's, against a thread that holds that
// lock and posts: the queue must not call the executor with a lock of its own held.
TEST_F(MainQueueTest, NoExecutorCallUnderTheQueuesLock) {
  std::mutex applicationLock;
  std::atomic<bool> inExecutor{false};
  Loop loop;
  queue.setExecutor([&](std::function<void()> task) {
    inExecutor = true;
    std::lock_guard lock(applicationLock);
    loop.push_back(std::move(task));
  });
  std::promise<void> locked;
  auto holder = std::async(std::launch::async, [&] {
    std::lock_guard lock(applicationLock);
    locked.set_value();
    while (!inExecutor) std::this_thread::yield();
    queue.post([] {});
  });
  locked.get_future().wait();
  std::thread handing([&] { queue.post([] {}); });  // waits for the lock in the executor
  const bool returned = holder.wait_for(60s) == std::future_status::ready;
  EXPECT_TRUE(returned) << "post() waited for the executor: deadlock";
  if (!returned) std::_Exit(1);  // two threads are stuck for good
  handing.join();
  EXPECT_EQ(loop.size(), 2u);
}

// setExecutor() returns only once no other thread is inside the previous executor, so the
// application may then destroy the loop behind it.
TEST_F(MainQueueTest, SetExecutorWaitsForCallsOfThePreviousOneToEnd) {
  std::promise<void> entered;
  std::atomic<bool> leave{false}, replaced{false};
  queue.setExecutor([&](std::function<void()>) {
    entered.set_value();
    while (!leave) std::this_thread::sleep_for(1ms);
  });
  std::thread poster([&] { queue.post([] {}); });
  entered.get_future().wait();
  std::thread replacing([&] {
    queue.setExecutor(nullptr);
    replaced = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(replaced);  // the poster is still inside the previous executor
  leave = true;
  replacing.join();
  poster.join();
}

TEST_F(MainQueueTest, ExecutorGetsQueuedTasksFirstAndEveryPostersOrder) {
  std::vector<int> ran;
  queue.post([&] { ran.push_back(0); });  // queued before the executor: handed over first
  Loop loop;
  queue.setExecutor(queueTo(loop));
  std::thread poster([&] {
    for (int i = 1; i < 1000; ++i) queue.post([&ran, i] { ran.push_back(i); });
  });
  poster.join();
  EXPECT_EQ(queue.runPending(), 0u);  // nothing left in the built-in queue
  EXPECT_TRUE(ran.empty());
  for (auto& task : loop) task();
  ASSERT_EQ(ran.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(ran[i], i);
  queue.setExecutor(nullptr);  // back to the built-in queue
  queue.post([] {});
  EXPECT_EQ(queue.runPending(), 1u);
}

}  // namespace
