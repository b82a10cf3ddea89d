// MainQueue: the serial queue on which the library delivers results.
#pragma once

#include <tavrello/config.hpp>

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
/// main thread; tasks run on whichever thread drains. No task and no executor
/// ever runs while the queue holds its lock, so either may take locks of the
/// application's own.
///
/// A task that throws: the exception leaves runPending() or runUntil() like
/// any exception from an event loop's handler, and the tasks behind it stay
/// queued, in order, for the next drain.
///
/// At process exit the queue is not destroyed and tasks still queued are
/// never run. After fork() the child's queue holds what the parent's held;
/// results of requests still in flight at the fork reach only the parent.
class TAVRELLO_API MainQueue {
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
  /// `timeout` has passed (returns false), however fast tasks keep arriving.
  /// `done()` is checked before waiting and after every task. A timeout past
  /// the clock's range (std::chrono::milliseconds::max()) means no deadline.
  ///
  /// While it waits, the calling thread drives the library's transfers itself
  /// (unless an executor is set): it sends new requests, reads replies and
  /// queues each finished request's handler, in the order the replies
  /// completed, with no other thread in between; the library's own thread
  /// steps aside, and takes over again when runUntil() returns. So a handler
  /// that runs long holds up the transfers meanwhile, as it holds up every
  /// other handler. A handler may call runUntil() again.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  /// Hands every later task to the application's own event loop (Qt, GLib,
  /// asio, ...), which must run them in the order it receives them. Tasks
  /// already queued, those of a drain in progress included, are handed over
  /// first, in order. An empty function goes back to the built-in queue.
  ///
  /// The executor is called on the posting thread, or on the thread already
  /// handing tasks over (often the library's own thread), one task at a time
  /// and in order. It should only queue the task: an executor that runs it at
  /// once runs result handlers on the library's thread. Whatever it throws is
  /// caught and dropped, as there is no caller to hand it to; a task it threw
  /// on instead of taking stays in the library's queue, with every task
  /// behind it, in order: the next post() hands them to the executor again,
  /// and runPending() or runUntil() runs them.
  ///
  /// When setExecutor() returns, no other thread is still inside a call of
  /// the previous executor, so its loop may be destroyed.
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
