#include "worker_pool.hpp"

#include <system_error>

namespace tavrello::sandbox {

void WorkerPool::enqueue(std::function<void()> job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  if (idle_ >= jobs_.size()) {
    ready_.notify_one();
    return;
  }
  try {
    threads_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
    // No thread to be had: the job waits for a thread that is already there.
  }
}

void WorkerPool::shutdown() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    shuttingDown_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    ready_.wait(lock, [this] { return shuttingDown_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) return;  // shutting down, and nothing left to run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace tavrello::sandbox
