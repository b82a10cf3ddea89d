// The threads of the sandbox's HTTP server: one per connection being served, each kept for
// the next connection once its own ends. httplib's own pool has a fixed number of threads,
// and a request that a fault's delay holds keeps its thread as long as it is held: enough
// held requests would leave none for the others, which would then wait for the holds to end.
//
// Thread safety: enqueue() may be called from any thread; shutdown() once, after the last.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace tavrello::sandbox {

class WorkerPool final : public httplib::TaskQueue {
 public:
  WorkerPool() = default;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs `job` on an idle thread, or on a new one when none is idle.
  void enqueue(std::function<void()> job) override;
  // Runs every job queued, then joins every thread.
  void shutdown() override;

 private:
  void work();

  std::mutex mutex_;  // guards what follows
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;  // threads waiting for a job
  bool shuttingDown_ = false;
};

}  // namespace tavrello::sandbox
