#include <tavrello/main_queue.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "internal/main_queue_batch.hpp"

namespace tavrello {

struct MainQueue::State {
  // Serialises hand-offs to the executor so tasks reach it in posting order.
  // Recursive because an executor may run a task at once, and that task may
  // post again.
  std::recursive_mutex handoff;
  std::function<void(std::function<void()>)> executor;  // guarded by handoff

  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::function<void()>> tasks;  // guarded by mutex
};

struct MainQueueAccess {
  static MainQueue::State& state(const MainQueue& queue) { return *queue.state_; }
};

MainQueue& MainQueue::shared() {
  // Never destroyed: the I/O thread and other threads may still post while
  // the process exits, and tasks left at exit must simply never run.
  static MainQueue* queue = new MainQueue();
  return *queue;
}

MainQueue::MainQueue() : state_(new State()) {}
MainQueue::~MainQueue() { delete state_; }

void MainQueue::post(std::function<void()> task) {
  std::lock_guard handoff(state_->handoff);
  if (state_->executor) {
    state_->executor(std::move(task));
    return;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
  }
  state_->arrived.notify_one();
}

std::size_t MainQueue::runPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(state_->mutex);
    batch.swap(state_->tasks);
  }
  for (const auto& task : batch) task();
  return batch.size();
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::deque<std::function<void()>> batch;
  while (!done()) {
    {
      std::unique_lock lock(state_->mutex);
      if (!state_->arrived.wait_until(lock, deadline, [&] { return !state_->tasks.empty(); })) {
        return done();
      }
      batch.swap(state_->tasks);
    }
    while (!batch.empty()) {
      auto task = std::move(batch.front());
      batch.pop_front();
      task();
      if (done() && !batch.empty()) {
        // Tasks not yet run go back to the front, still in order.
        std::lock_guard lock(state_->mutex);
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
          state_->tasks.push_front(std::move(*it));
        }
        return true;
      }
    }
  }
  return true;
}

void MainQueue::setExecutor(std::function<void(std::function<void()>)> executor) {
  std::lock_guard handoff(state_->handoff);
  state_->executor = std::move(executor);
  if (!state_->executor) return;
  std::deque<std::function<void()>> queued;
  {
    std::lock_guard lock(state_->mutex);
    queued.swap(state_->tasks);
  }
  for (auto& task : queued) state_->executor(std::move(task));
}

namespace internal {

void postBatchToMainQueue(std::vector<std::function<void()>>& tasks) {
  if (tasks.empty()) return;
  auto& state = MainQueueAccess::state(MainQueue::shared());
  std::lock_guard handoff(state.handoff);
  if (state.executor) {
    for (auto& task : tasks) state.executor(std::move(task));
  } else {
    std::lock_guard lock(state.mutex);
    for (auto& task : tasks) state.tasks.push_back(std::move(task));
  }
  tasks.clear();
  state.arrived.notify_one();
}

}  // namespace internal
}  // namespace tavrello
