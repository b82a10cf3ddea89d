// MainQueue: the serial queue on which the library delivers results.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace tavrello {

/// One serial queue that any thread posts to and the application drains on
/// its main thread, in posting order. Every completion of a sent request and
/// every "Invalid URL" result arrives here; nothing runs until the
/// application drains the queue (or hands it to its own loop).
///
///   tavrello::TavrelloAPI::shared().getGroups(handler);
///   tavrello::MainQueue::shared().runUntil([&] { return done; },
///                                          std::chrono::seconds(70));
///
/// Thread safety: post() and setExecutor() may be called from any thread.
/// runPending() and runUntil() are meant for one thread, the application's
/// main thread; tasks run on whichever thread drains.
///
/// At process exit the queue is not destroyed and tasks still queued are
/// never run.
class MainQueue {
 public:
  static MainQueue& shared();

  /// Queues a task to run after every task posted before it. With an
  /// executor set, hands the task to the executor instead, on this thread.
  void post(std::function<void()> task);

  /// Runs the tasks queued before the call, on the calling thread, and
  /// returns how many ran. Never blocks; tasks they post wait for the next
  /// drain.
  std::size_t runPending();

  /// Runs tasks as they arrive until `done()` is true (returns true) or
  /// `timeout` has passed (returns false). `done()` is checked before
  /// waiting and after every task.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  /// Hands every later task to the application's own event loop (Qt, GLib,
  /// asio, ...), which must run them in the order it receives them. Tasks
  /// already queued are handed over first, in order. An empty function goes
  /// back to the built-in queue.
  void setExecutor(std::function<void(std::function<void()>)> executor);

  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;

 private:
  MainQueue();
  ~MainQueue();
  struct State;
  State* state_;
  friend struct MainQueueAccess;
};

}  // namespace tavrello
