#include <gtest/gtest.h>

#include <tavrello/main_queue.hpp>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "internal/main_queue_batch.hpp"

namespace {

using namespace std::chrono_literals;
using tavrello::MainQueue;

// Each case runs in its own process under ctest; the queue is still shared
// when the binary runs all cases at once, so every case starts by draining.
class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queue.setExecutor(nullptr);
    queue.runPending();
  }
  void TearDown() override { queue.setExecutor(nullptr); }
  MainQueue& queue = MainQueue::shared();
};

TEST_F(MainQueueTest, RunsInPostingOrderOnlyWhenDrained) {
  std::vector<int> ran;
  for (int i = 0; i < 5; ++i) queue.post([&ran, i] { ran.push_back(i); });
  EXPECT_TRUE(ran.empty());  // nothing runs until the application drains
  // A task posted while draining waits for the next drain.
  queue.post([&] { queue.post([&] { ran.push_back(99); }); });
  EXPECT_EQ(queue.runPending(), 6u);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(queue.runPending(), 1u);
  EXPECT_EQ(ran.back(), 99);
  EXPECT_EQ(queue.runPending(), 0u);
}

TEST_F(MainQueueTest, KeepsEachPostersOrderAcrossThreads) {
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::pair<int, int>> ran;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) queue.post([&ran, t, i] { ran.emplace_back(t, i); });
    });
  }
  const auto mainThread = std::this_thread::get_id();
  bool onMain = true;
  EXPECT_TRUE(queue.runUntil(
      [&] {
        onMain = onMain && std::this_thread::get_id() == mainThread;
        return ran.size() == kThreads * kEach;
      },
      30s));
  for (auto& p : posters) p.join();
  EXPECT_TRUE(onMain);
  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : ran) ASSERT_EQ(i, next[t]++);
}

TEST_F(MainQueueTest, RunUntilTimesOutAndLeavesTheRestQueued) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.runUntil([] { return false; }, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  int ran = 0;
  for (int i = 0; i < 3; ++i) queue.post([&] { ++ran; });
  EXPECT_TRUE(queue.runUntil([&] { return ran == 1; }, 1s));
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(queue.runPending(), 2u);
}

// An application's loop: the executor only queues, the loop runs later.
TEST_F(MainQueueTest, ExecutorForwardingToAnotherLoopKeepsPostingOrder) {
  std::vector<int> ran;
  queue.post([&] { ran.push_back(0); });  // queued before the executor: handed over first
  queue.post([&] { ran.push_back(1); });
  std::mutex loopMutex;
  std::vector<std::function<void()>> loop;
  queue.setExecutor([&](std::function<void()> task) {
    std::lock_guard lock(loopMutex);
    loop.push_back(std::move(task));
  });
  std::thread poster([&] {  // posts arrive from another thread, as the I/O thread's do
    for (int i = 2; i < 1000; ++i) queue.post([&ran, i] { ran.push_back(i); });
  });
  poster.join();
  std::vector<std::function<void()>> batch;
  for (int i = 1000; i < 1100; ++i) batch.push_back([&ran, i] { ran.push_back(i); });
  tavrello::internal::postBatchToMainQueue(batch);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(queue.runPending(), 0u);  // nothing left in the built-in queue
  EXPECT_TRUE(ran.empty());           // nothing ran outside the loop
  for (auto& task : loop) task();
  ASSERT_EQ(ran.size(), 1100u);
  for (int i = 0; i < 1100; ++i) ASSERT_EQ(ran[i], i);
}

TEST_F(MainQueueTest, ExecutorThatRunsTasksAtOnceMayPostAgain) {
  std::vector<int> ran;
  queue.setExecutor([](std::function<void()> task) { task(); });
  queue.post([&] {
    ran.push_back(1);
    queue.post([&] { ran.push_back(2); });  // re-entrant hand-off: no deadlock
  });
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  queue.setExecutor(nullptr);  // back to the built-in queue
  queue.post([&] { ran.push_back(3); });
  EXPECT_EQ(ran.size(), 2u);
  EXPECT_EQ(queue.runPending(), 1u);
}

}  // namespace
