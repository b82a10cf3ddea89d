#include <gtest/gtest.h>

#include <tavrello/main_queue.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
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

// An application loop on another thread, fed through the executor.
class ForeignLoop {
 public:
  ForeignLoop() : thread_([this] { run(); }) {}
  ~ForeignLoop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void enqueue(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false;
  std::thread thread_;
};

TEST_F(MainQueueTest, ExecutorForwardingToAnotherLoopKeepsPostingOrder) {
  std::vector<int> ran;
  queue.post([&] { ran.push_back(0); });  // queued before the executor: handed over first
  queue.post([&] { ran.push_back(1); });
  std::atomic<bool> allOnLoop{true};
  {
    ForeignLoop loop;
    queue.setExecutor([&](std::function<void()> task) {
      loop.enqueue([&, task = std::move(task)] {
        if (std::this_thread::get_id() != loop.id()) allOnLoop = false;
        task();
      });
    });
    std::thread poster([&] {
      for (int i = 2; i < 1000; ++i) queue.post([&ran, i] { ran.push_back(i); });
    });
    std::vector<std::function<void()>> batch;
    poster.join();
    for (int i = 1000; i < 1100; ++i) batch.push_back([&ran, i] { ran.push_back(i); });
    tavrello::internal::postBatchToMainQueue(batch);
    EXPECT_TRUE(batch.empty());
  }  // the loop finishes its queue before it stops
  EXPECT_TRUE(allOnLoop);
  ASSERT_EQ(ran.size(), 1100u);
  for (int i = 0; i < 1100; ++i) ASSERT_EQ(ran[i], i);
  EXPECT_EQ(queue.runPending(), 0u);  // nothing left in the built-in queue
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
