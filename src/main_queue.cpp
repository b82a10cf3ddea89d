#include <tavrello/main_queue.hpp>

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "internal/driving.hpp"
#include "internal/main_queue_batch.hpp"

namespace tavrello {

using Executor = std::function<void(std::function<void()>)>;

namespace {

// A queued task: a function posted, or a request's handler and result as they came. Moved
// only by construction, which costs a fraction of an assignment.
struct Task {
  Task() = default;
  explicit Task(std::function<void()>&& function) : function(std::move(function)) {}
  explicit Task(internal::Completion&& completion) : completion(std::move(completion)) {}
  Task(Task&&) = default;
  Task& operator=(Task&&) = delete;

  std::function<void()> function;
  internal::Completion completion;

  explicit operator bool() const { return function || completion.handler; }
  void operator()() {
    if (function) {
      function();
    } else {
      completion.handler(std::move(completion.result));
    }
  }
  // As the executor takes it.
  std::function<void()> intoFunction() && {
    if (function) return std::move(function);
    return [completion = std::move(completion)] { completion.handler(completion.result); };
  }
};

// A task as handed to the executor: whoever takes it first runs it, so a task the executor
// threw on instead of taking can go back to the queue, and still runs exactly once.
struct Handed {
  explicit Handed(std::function<void()> task) : task(std::move(task)) {}
  std::function<void()> take() { return taken.exchange(true) ? nullptr : std::move(task); }
  std::function<void()> task;
  std::atomic<bool> taken{false};
};

}  // namespace

struct MainQueue::State {
  std::mutex mutex;
  std::condition_variable arrived;           // a task was queued for the drainers
  std::condition_variable leftACall;         // the handing thread returned from the executor
  std::deque<Task> tasks;                    // guarded by mutex
  std::shared_ptr<const Executor> executor;  // guarded by mutex; null: the drainers run tasks

  // At most one thread at a time hands tasks to the executor, one by one and without the
  // lock held; the others only queue theirs behind. So posting order is kept, and no
  // application code ever runs under the lock.
  bool handing = false;               // guarded by mutex
  std::thread::id handingThread;      // guarded by mutex
  const Executor* calling = nullptr;  // guarded by mutex; the executor being called, if any

  // Threads in runUntil() that may be driving the transport rather than waiting on
  // `arrived`: a task posted from another thread wakes the driving one.
  int drivingDrainers = 0;  // guarded by mutex

  // Called with `lock` held; returns with it held. Hands queued tasks over until none is
  // left or the executor is taken away. Nothing an executor throws leaves here: the
  // handing thread may be the library's own, and no other caller could be told. A task the
  // executor threw on without taking it goes back to the head of the queue, and the
  // hand-over stops there: the next post() tries again, and a drain runs it.
  void handOver(std::unique_lock<std::mutex>& lock) {
    if (handing) return;  // the handing thread takes this task too, in its turn
    handing = true;
    handingThread = std::this_thread::get_id();
    while (executor && !tasks.empty()) {
      auto handed = std::make_shared<Handed>(std::move(tasks.front()).intoFunction());
      tasks.pop_front();
      std::shared_ptr<const Executor> current = executor;
      calling = current.get();
      lock.unlock();
      std::function<void()> refused;
      try {
        (*current)([handed] {
          if (std::function<void()> task = handed->take()) task();
        });
      } catch (...) {
        refused = handed->take();  // empty when the executor ran or kept the task
      }
      current.reset();  // a replaced executor is destroyed here, outside the lock
      lock.lock();
      calling = nullptr;
      leftACall.notify_all();
      if (refused) {
        tasks.emplace_front(std::move(refused));
        break;
      }
    }
    handing = false;
    if (!tasks.empty()) arrived.notify_all();  // left to the drainers
  }

  // Called with `lock` held, after tasks were queued; returns with it released. Hands them
  // to the executor, if there is one, or wakes a drainer.
  void dispatch(std::unique_lock<std::mutex>& lock) {
    if (executor) {
      handOver(lock);
      lock.unlock();
      return;
    }
    lock.unlock();
    arrived.notify_one();
  }

  // Takes the next task for a drainer, or returns an empty function when there is none
  // or a thread is handing tasks to the executor. With an executor set, tasks wait here
  // only when it refused them.
  Task takeForDrainer() {
    if (handing || tasks.empty()) return Task();
    Task task(std::move(tasks.front()));
    tasks.pop_front();
    return task;
  }
};

struct MainQueueAccess {
  static MainQueue::State& state(const MainQueue& queue) { return *queue.state_; }

  // After fork() only the forking thread exists in the child: a lock held by another
  // thread, or a hand-off in progress on it, would stay so forever. The lock is taken
  // around the fork, and the child starts with nobody handing over.
  static void lockForFork() { state(MainQueue::shared()).mutex.lock(); }
  static void unlockInParent() { state(MainQueue::shared()).mutex.unlock(); }
  static void resetInChild() {
    MainQueue::State& forked = state(MainQueue::shared());
    forked.handing = false;
    forked.calling = nullptr;
    // Waiters of the parent do not exist here; fresh condition variables forget them.
    new (&forked.arrived) std::condition_variable();
    new (&forked.leftACall) std::condition_variable();
    forked.mutex.unlock();
  }
};

MainQueue& MainQueue::shared() {
  // Never destroyed: the I/O thread and other threads may still post while
  // the process exits, and tasks left at exit must simply never run.
  static MainQueue* queue = new MainQueue();
  return *queue;
}

MainQueue::MainQueue() : state_(new State()) {
  pthread_atfork(MainQueueAccess::lockForFork, MainQueueAccess::unlockInParent,
                 MainQueueAccess::resetInChild);
}
MainQueue::~MainQueue() { delete state_; }

void MainQueue::post(std::function<void()> task) {
  std::unique_lock lock(state_->mutex);
  state_->tasks.emplace_back(std::move(task));
  const bool wakeDriver = state_->drivingDrainers > 0 && !internal::thisThreadDrives();
  state_->dispatch(lock);
  if (wakeDriver) internal::wakeDrivingThread();
}

std::size_t MainQueue::runPending() {
  // One task at a time off the shared queue: a task that throws leaves the rest queued in
  // order, and a task that sets an executor hands the rest to it.
  std::unique_lock lock(state_->mutex);
  const std::size_t queued = state_->tasks.size();
  std::size_t ran = 0;
  while (ran < queued) {
    Task task = state_->takeForDrainer();
    if (!task) break;
    lock.unlock();
    task();
    ++ran;
    lock.lock();
  }
  return ran;
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  // A timeout past the clock's range means no deadline, not one in the past.
  const auto deadline = timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(
                                       Clock::time_point::max() - now)
                            ? Clock::time_point::max()
                            : now + timeout;
  State& state = *state_;
  // While no task is queued, this thread drives the transport itself: replies turn into
  // tasks here, with no other thread in between.
  internal::DrivingTurn turn;
  bool counted = false;  // in state.drivingDrainers
  struct Uncount {
    State& state;
    bool& counted;
    ~Uncount() {
      if (!counted) return;
      std::lock_guard lock(state.mutex);
      --state.drivingDrainers;
    }
  } uncount{state, counted};
  while (!done()) {
    bool ran = false;
    bool mayDrive = false;
    {
      std::unique_lock lock(state.mutex);
      Task task = state.takeForDrainer();
      // With an executor, results go to the application's loop: the library's thread drives.
      mayDrive = !task && !state.executor;
      if (mayDrive && !counted) {
        ++state.drivingDrainers;
        counted = true;
      }
      lock.unlock();
      if (task) {
        task();
        ran = true;
      }
    }  // the task, and what it holds, go before done() is asked again
    if (ran) {
      // However fast tasks arrive, the deadline holds.
      if (Clock::now() >= deadline) return done();
      continue;
    }
    if (Clock::now() >= deadline) return false;
    if (mayDrive && turn.drive(deadline)) continue;
    turn.release();
    std::unique_lock lock(state.mutex);
    state.arrived.wait_until(lock, deadline,
                             [&] { return !state.tasks.empty() && !state.handing; });
  }
  return true;
}

void MainQueue::setExecutor(std::function<void(std::function<void()>)> executor) {
  std::shared_ptr<const Executor> previous;
  std::unique_lock lock(state_->mutex);
  previous = std::exchange(
      state_->executor, executor ? std::make_shared<const Executor>(std::move(executor)) : nullptr);
  // Once this returns the application may destroy the loop behind the previous executor:
  // wait until no other thread is still inside a call of it.
  state_->leftACall.wait(lock, [&] {
    return !previous || state_->calling != previous.get() ||
           state_->handingThread == std::this_thread::get_id();
  });
  if (state_->executor) {
    state_->handOver(lock);  // tasks queued so far go first, in order
  } else {
    state_->arrived.notify_all();  // the queue is the drainers' again
  }
  lock.unlock();
  // `previous` is released here, after the lock.
}

namespace internal {

void postCompletionsToMainQueue(std::vector<Completion>& completions) {
  if (completions.empty()) return;
  auto& state = MainQueueAccess::state(MainQueue::shared());
  std::unique_lock lock(state.mutex);
  for (Completion& completion : completions) state.tasks.emplace_back(std::move(completion));
  completions.clear();
  state.dispatch(lock);
}

}  // namespace internal
}  // namespace tavrello
