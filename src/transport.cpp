#include "internal/transport.hpp"

#include <pthread.h>
#include <signal.h>

#include <functional>
#include <utility>

#include "internal/driving.hpp"
#include "internal/main_queue_batch.hpp"
#include "internal/observer.hpp"

namespace tavrello::internal {
namespace {

std::atomic<Transport*> gCurrent{nullptr};
std::mutex gCreation;                        // guards creation and what follows
Transport* gAbandoned = nullptr;             // the transports of parent processes
thread_local Transport* tDriving = nullptr;  // the transport this thread drives
std::atomic<long> gTimeoutMs{60'000};

// Ends a request that never reached the driver, from the calling thread.
void endNow(Post post, std::shared_ptr<TavrelloResult> result) {
  observe(post, *result, 0, false);
  std::vector<Completion> completion;
  completion.push_back({std::move(post.callback), std::move(result)});
  postCompletionsToMainQueue(completion);
}

}  // namespace

Transport* Transport::existing() { return gCurrent.load(std::memory_order_acquire); }

Transport* Transport::drivenByThisThread() { return tDriving; }

Transport& Transport::current() {
  if (existing() != nullptr) return *existing();
  std::lock_guard lock(gCreation);
  if (gCurrent.load(std::memory_order_relaxed) == nullptr) {
    // After fork() the child's first use makes a transport of its own: the parent's
    // threads do not exist there, and its connections and requests in flight are the
    // parent's. The socket list is kept whole across the fork.
    static const bool forkHandled = [] {
      pthread_atfork(
          [] {
            gCreation.lock();
            if (Transport* transport = existing()) transport->driver_.lockSockets();
          },
          [] {
            if (Transport* transport = existing()) transport->driver_.unlockSockets();
            gCreation.unlock();
          },
          [] {
            if (Transport* parents = gCurrent.exchange(nullptr)) {
              parents->driver_.closeInChild();
              parents->abandonedBefore_ = gAbandoned;  // kept reachable: it holds buffers
              gAbandoned = parents;
            }
            tDriving = nullptr;
            gCreation.unlock();
          });
      return true;
    }();
    static_cast<void>(forkHandled);
    gCurrent.store(new Transport(), std::memory_order_release);
    // Made after libcurl's and OpenSSL's exit handlers were registered (by the transport's
    // construction), so it runs before them.
    static Stopper stopper;
  }
  return *gCurrent.load(std::memory_order_relaxed);
}

Transport::Stopper::~Stopper() {
  if (Transport* transport = existing()) transport->stop();
}

void Transport::submit(Post&& post, Clock::time_point deadline) {
  if (tDriving == this) {  // a handler or observer of the driving thread
    driver_.submitFromDriver(std::move(post), deadline);
    return;
  }
  if (stopping_.load()) return;  // process exit: the request is dropped
  if (!started_.load(std::memory_order_acquire)) {
    const char* problem = nullptr;
    {
      std::lock_guard lock(startMutex_);
      if (!started_.load(std::memory_order_relaxed)) problem = startThread();
    }
    if (problem != nullptr) {
      endNow(std::move(post), failureResult(problem));
      return;
    }
  }
  driver_.submit(std::make_unique<Transfer>(std::move(post), deadline));
}

// With startMutex_ held. The thread never runs without its wakeup, which would leave it
// asleep with requests waiting.
const char* Transport::startThread() {
  if (driver_.open() != nullptr) return "cannot start the library's I/O thread: out of descriptors";
  // Signals sent to the process go to the application's threads, whose handlers expect to
  // run there: the thread starts with them blocked (it inherits this thread's mask). Those
  // raised by a fault of the thread itself stay open, for crash handlers.
  sigset_t all, before;
  sigfillset(&all);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::exception&) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return "cannot start the library's I/O thread";
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  // Named from here so the name is set before anyone can look.
  pthread_setname_np(thread_.native_handle(), "tavrello-io");
  started_.store(true, std::memory_order_release);
  return nullptr;
}

void Transport::run() {
  std::unique_lock role(roleMutex_);
  for (;;) {
    // Steps aside while an application thread drives, or asks to.
    while (!stopping_ && (owner_ == Owner::kApplicationThread || applicationWaiting_ > 0)) {
      if (owner_ == Owner::kLibraryThread) {
        owner_ = Owner::kNobody;
        tDriving = nullptr;
        roleChanged_.notify_all();
      }
      roleChanged_.wait(role);
    }
    if (stopping_) return;
    owner_ = Owner::kLibraryThread;
    tDriving = this;
    role.unlock();
    const bool going = drive(Clock::time_point::max());
    role.lock();
    if (!going) return;
  }
}

bool Transport::drive(Clock::time_point until) {
  {
    std::lock_guard round(roundMutex_);
    if (stopping_) return false;
    driver_.round(until, ended_);
  }
  deliver();
  return true;
}

// The observer sees each request that ended, then its handler goes to the main queue, all
// of this round's at once, in the order they ended.
void Transport::deliver() {
  if (ended_.empty()) return;
  // Scratch lists of the driving thread, kept for their capacity. A handler run from here
  // (by an executor that runs tasks at once) may drive again and come back here: by then
  // both are empty again.
  delivering_.swap(ended_);
  for (Ended& request : delivering_) {
    observe(request.post, *request.result, request.replyBytes, request.newConnection);
    driver_.spares().keepBody(std::move(request.post.body));
    completions_.push_back({std::move(request.post.callback), std::move(request.result)});
  }
  delivering_.clear();
  postCompletionsToMainQueue(completions_);
}

bool Transport::takeRole() {
  if (!started_.load(std::memory_order_acquire)) return false;
  std::unique_lock role(roleMutex_);
  if (stopping_ || owner_ == Owner::kApplicationThread) return false;
  ++applicationWaiting_;
  if (owner_ == Owner::kLibraryThread) driver_.wake();  // out of its wait, to step aside
  roleChanged_.wait(role, [this] { return stopping_ || owner_ != Owner::kLibraryThread; });
  --applicationWaiting_;
  if (stopping_ || owner_ == Owner::kApplicationThread) {
    roleChanged_.notify_all();
    return false;
  }
  owner_ = Owner::kApplicationThread;
  tDriving = this;
  return true;
}

void Transport::giveRoleBack() {
  {
    std::lock_guard role(roleMutex_);
    owner_ = Owner::kNobody;
  }
  tDriving = nullptr;
  roleChanged_.notify_all();
}

void Transport::wake() {
  if (started_.load(std::memory_order_acquire)) driver_.wake();
}

// At exit: no round is under way once stopping_ is set, and none starts after; the
// library's thread ends. The thread that exits may be a driving one (a handler called
// exit(), or an executor ran the handler on the library's thread), even in the middle of a
// round or of handing the role over (a signal handler called exit()): it is the only one
// that could be in a round, it may hold roleMutex_ itself, and it never returns to what it
// was doing, so it waits for nobody. The library's thread is then left to the exit.
void Transport::stop() {
  if (!started_.load()) return;
  stopping_ = true;
  if (tDriving == this) {
    roleChanged_.notify_all();
    return;
  }
  driver_.wake();                          // a round under way ends its wait...
  { std::lock_guard round(roundMutex_); }  // ...and has ended here; none starts after
  { std::lock_guard role(roleMutex_); }    // a waiter has read stopping_, or will
  roleChanged_.notify_all();
  if (thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool DrivingTurn::drive(std::chrono::steady_clock::time_point until) {
  Transport* current = Transport::existing();
  if (current == nullptr) return false;
  if (transport_ != current) {  // the first wait, or a fork made the child's own
    transport_ = nullptr;       // a parent's is never touched again
    nested_ = Transport::drivenByThisThread() == current;
    if (!nested_ && !current->takeRole()) return false;
    transport_ = current;
    // The library's thread may have queued results before it stepped aside: the caller
    // looks at the queue again before this thread waits.
    if (!nested_) return true;
  }
  return transport_->drive(until);
}

void DrivingTurn::release() {
  if (transport_ != nullptr && !nested_ && transport_ == Transport::existing()) {
    transport_->giveRoleBack();
  }
  transport_ = nullptr;
}

bool thisThreadDrives() { return tDriving != nullptr; }

void wakeDrivingThread() {
  if (Transport* transport = Transport::existing()) transport->wake();
}

void submitPost(Post&& post) {
  if (post.destination->origin.empty()) {  // nothing can be sent
    auto result = std::make_shared<TavrelloResult>();
    result->setReason("Invalid URL");
    result->setDetail(post.destination->problem);
    endNow(std::move(post), std::move(result));
    return;
  }
  if (post.destination->https && !post.destination->caProblem.empty()) {
    auto result = failureResult("TLS: " + post.destination->caProblem);
    endNow(std::move(post), std::move(result));
    return;
  }
  const auto deadline = post.started + std::chrono::milliseconds(gTimeoutMs.load());
  Transport::current().submit(std::move(post), deadline);
}

std::string spareBody() {
  Spares* spares = sparesOfThisThread();
  return spares != nullptr ? spares->body() : std::string();
}

Spares* sparesOfThisThread() { return tDriving != nullptr ? &tDriving->spares() : nullptr; }

void setExchangeTimeoutForTesting(std::chrono::milliseconds timeout) {
  gTimeoutMs.store(static_cast<long>(timeout.count()));
}

}  // namespace tavrello::internal
