// The transport of a process: the driver, who drives it, and the library's own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "internal/driver.hpp"
#include "internal/main_queue_batch.hpp"

namespace tavrello::internal {

/// One driver and the role of driving it. The library's thread drives while no application
/// thread waits for results in MainQueue::runUntil(); such a thread takes the role over
/// (asking the library's thread to step aside through the wakeup) and gives it back when it
/// returns, so that a request issued from a handler inside runUntil() goes straight onto
/// the multi handle and its result straight to the queue, with no thread in between. Two
/// threads never drive at once.
///
/// Never destroyed: a thread may still submit while the process exits. At exit, driving
/// stops before libcurl's and OpenSSL's own exit handlers run; requests in flight are
/// abandoned. A child made by fork() gets a transport of its own on first use.
class Transport {
 public:
  /// This process's transport, made on first use.
  static Transport& current();
  /// This process's transport if one was made, else null.
  static Transport* existing();

  /// Any thread. The first call starts the library's thread; when it cannot be started
  /// (out of threads or descriptors) the request fails with "http", and the next call
  /// tries again. Once the process exits, requests are dropped.
  void submit(Post&& post, Clock::time_point deadline);

  /// The driving role for a thread waiting in runUntil(). False when another application
  /// thread has it, or the process exits: the caller then waits without driving.
  bool takeRole();
  void giveRoleBack();
  /// With the role: one round of driving, waiting for activity until `until` at most.
  /// False once the process exits.
  bool drive(Clock::time_point until);
  /// Wakes the thread that drives out of its wait.
  void wake();

  /// The transport the calling thread drives now, if any.
  static Transport* drivenByThisThread();
  /// The driving thread's.
  Spares& spares() { return driver_.spares(); }

 private:
  Transport() = default;
  const char* startThread();
  void run();
  void deliver();
  void stop();
  struct Stopper {
    ~Stopper();
  };

  enum class Owner { kNobody, kLibraryThread, kApplicationThread };

  Driver driver_;
  // The driving thread's scratch lists.
  std::vector<Ended> ended_;
  std::vector<Ended> delivering_;
  std::vector<Completion> completions_;

  std::mutex startMutex_;  // guards what follows
  std::thread thread_;
  std::atomic<bool> started_{false};

  std::mutex roleMutex_;  // guards what follows
  std::condition_variable roleChanged_;
  Owner owner_ = Owner::kNobody;
  int applicationWaiting_ = 0;  // threads in takeRole()

  // Held by the driving thread through each round of libcurl calls: exit takes it to know
  // that no round is under way; a round starts only while stopping_ is false.
  std::mutex roundMutex_;
  std::atomic<bool> stopping_{false};

  Transport* abandonedBefore_ = nullptr;  // the transports of parent processes, kept reachable
};

}  // namespace tavrello::internal
