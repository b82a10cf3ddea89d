// The child program of process_test: each mode puts the library through one process event
// (exit, fork, a failing environment from fault_shim.cpp) and exits 0 when every call ended
// in exactly one result and the process ended cleanly; 1, with a line on standard error,
// when not. Results come from `HOST`, a server of the test's; `SILENT` never answers;
// `KEEPING` answers and never closes a connection.
//   process_child MODE HOST SILENT KEEPING
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <tavrello/tavrello.hpp>

#include "internal/http_transport.hpp"
#include "support/client.hpp"
#include "support/run_program.hpp"

namespace {

using namespace std::chrono_literals;
using tavrello::testing::Result;
tavrello::TavrelloAPI& api = tavrello::TavrelloAPI::shared();

int failed(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return 1;
}

// A call to `host`, and its result once it came (null after 30 s).
Result call(const std::string& host) {
  return tavrello::testing::callOnce(tavrello::testing::clientFor(host));
}

bool isOk(const Result& r) { return r && r->result() == "ok"; }
bool isHttp(const Result& r) { return r && r->reason() == "http"; }

// Requests to `silent` whose handlers must never run: the process ends first.
void sendNeverHandled(const std::string& silent) {
  api.setServiceHost(silent);
  for (int i = 0; i < 20; ++i) {
    api.getGroups([](Result) {
      std::fputs("handler ran after exit began\n", stderr);
      std::_Exit(4);
    });
  }
}

// Requests in flight when the process ends, from this thread or another: it must end at
// once and cleanly.
int inFlightAtExit(const std::string& mode, const std::string& silent) {
  sendNeverHandled(silent);
  std::this_thread::sleep_for(20ms);  // let the I/O thread send them
  if (mode == "exit") std::exit(0);
  std::thread([] { std::exit(0); }).detach();
  tavrello::MainQueue::shared().runUntil([] { return false; }, 30s);
  return failed("the other thread's exit() did not end the process");
}

// A handler calls exit() while its thread drives the transfers, with others in flight.
int exitFromHandler(const std::string& host, const std::string& silent) {
  sendNeverHandled(silent);
  api.setServiceHost(host);
  api.getGroups([](Result) { std::exit(0); });
  tavrello::MainQueue::shared().runUntil([] { return false; }, 30s);
  return failed("the handler did not run");
}

// A signal handler calls exit() on the thread that waits for results, and so drives, while
// it waits for activity in the middle of a round.
int exitFromSignalHandler(const std::string& silent) {
  std::signal(SIGTERM, [](int) { std::exit(0); });
  sendNeverHandled(silent);
  std::thread([main = pthread_self()] {
    // This process's first thread, once it sits in poll().
    for (std::string call; call != std::to_string(SYS_poll) && call != std::to_string(SYS_ppoll);) {
      std::this_thread::sleep_for(1ms);
      std::ifstream("/proc/self/task/" + std::to_string(getpid()) + "/syscall") >> call;
    }
    pthread_kill(main, SIGTERM);
  }).detach();
  tavrello::MainQueue::shared().runUntil([] { return false; }, 30s);
  return failed("the signal handler's exit() did not end the process");
}

// An executor that runs tasks at once runs handlers on the library's I/O thread.
int executorRunsAtOnce(const std::string& mode, const std::string& host) {
  tavrello::MainQueue::shared().setExecutor([](std::function<void()> task) { task(); });
  api.setServiceHost(host);
  if (mode == "executor-exit") {
    api.getGroups([](Result) { std::exit(0); });
    std::this_thread::sleep_for(10s);
    return failed("the handler did not run");
  }
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) {
    api.getGroups([&ran](Result) {
      if (ran++ == 0) throw std::runtime_error("handler failed");
    });
  }
  for (int i = 0; i < 1000 && ran < 3; ++i) std::this_thread::sleep_for(10ms);
  return ran == 3 ? 0 : failed("a result was lost after a handler threw");
}

// A fork while another thread sets the observer: each child sets its own and gets its result.
int forkWhileObserving(const std::string& host) {
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    while (!stop) api.setObserver([](const tavrello::Exchange&) {});
  });
  bool hung = false;
  for (int i = 0; i < 40 && !hung; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      api.setObserver([](const tavrello::Exchange&) {});
      std::_Exit(isOk(call(host)) ? 0 : 1);
    }
    hung = tavrello::testing::waitForExit(child, 30s) != 0;
  }
  stop = true;
  setter.join();
  return hung ? failed("a child hung or failed after a fork during setObserver()") : 0;
}

// The TCP sockets open in this process, by descriptor and inode.
std::vector<std::pair<int, ino_t>> tcpSockets() {
  std::vector<std::pair<int, ino_t>> sockets;
  for (int fd = 0; fd < 1024; ++fd) {
    int domain = 0;
    socklen_t length = sizeof domain;
    struct stat info {};
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain != AF_UNIX &&
        fstat(fd, &info) == 0) {
      sockets.emplace_back(fd, info.st_ino);
    }
  }
  return sockets;
}

// Three generations of forks, each after a burst of 64 calls: a program started with exec
// inherits no socket of the library's, a child closes its parent's connections, and both
// go on sending.
int forkedConnections(const std::string& host) {
  for (int generation = 0; generation < 3; ++generation) {
    api.setServiceHost(host);
    std::vector<Result> results;
    for (int i = 0; i < 64; ++i) api.getGroups([&](Result r) { results.push_back(std::move(r)); });
    tavrello::MainQueue::shared().runUntil([&] { return results.size() == 64; }, 30s);
    for (const Result& result : results) {
      if (!isOk(result))
        return failed(("a request of the burst failed: " + result->detail()).c_str());
    }
    if (results.size() != 64) return failed("the burst did not end within 30 s");
    if (std::system("! find /proc/self/fd -lname 'socket:*' | grep -q .") != 0) {
      return failed("a program started with exec inherited a socket");
    }
    const std::vector<std::pair<int, ino_t>> parents = tcpSockets();
    const pid_t child = fork();
    if (child != 0) {
      if (tavrello::testing::waitForExit(child, 100s) != 0) return failed("a child failed");
      return isOk(call(host)) ? 0 : failed("the parent's request after the fork failed");
    }
    if (!isOk(call(host))) return failed("the child's request failed");
    for (const auto& [fd, inode] : parents) {
      struct stat info {};
      if (fstat(fd, &info) == 0 && info.st_ino == inode) {
        return failed("the child kept its parent's connections open");
      }
    }
  }
  return 0;
}

// With the shim's clock: a request to `silent` still waits after 59 s and has failed after
// 61 s, its detail naming the 60 s. A call to `host` after each jump wakes the transport,
// which then reads its clock again.
int defaultTimeout(const std::string& host, const std::string& silent) {
  auto* ahead = static_cast<std::atomic<long>*>(dlsym(RTLD_DEFAULT, "tavrello_shim_clock_ahead"));
  if (ahead == nullptr) return failed("the clock needs the fault shim");
  api.setServiceHost(silent);
  Result slow;
  api.getGroups([&](Result r) { slow = std::move(r); });
  for (const long seconds : {0L, 59L, 61L}) {
    ahead->store(seconds);
    if (!isOk(call(host))) return failed("a request to the answering server failed");
    if (seconds < 61 && slow) return failed("the request gave up before 60 s");
  }
  tavrello::MainQueue::shared().runUntil([&] { return slow != nullptr; }, 10s);
  if (!slow) return failed("the request did not give up after 60 s");
  return slow->detail() == "no complete reply within 60 s" ? 0 : failed(slow->detail().c_str());
}

// With the shim's clock and `keeping`, a server that never closes an idle connection: one
// idle for 54 s is reused, one idle for 56 s is not.
int idleLimit(const std::string& keeping) {
  auto* ahead = static_cast<std::atomic<long>*>(dlsym(RTLD_DEFAULT, "tavrello_shim_clock_ahead"));
  if (ahead == nullptr) return failed("the clock needs the fault shim");
  std::vector<bool> fresh;
  api.setObserver([&](const tavrello::Exchange& e) { fresh.push_back(e.newConnection); });
  for (const long seconds : {0L, 54L, 110L}) {
    ahead->store(seconds);
    if (!isOk(call(keeping))) return failed("a request to the keeping server failed");
  }
  api.setObserver(nullptr);
  return fresh == std::vector<bool>{true, false, true} ? 0 : failed("idle connections misused");
}

// With the shim's TAVRELLO_SHIM_NO_DESCRIPTORS=1, no descriptor can be had when the first
// call starts the I/O thread: that call fails, and once descriptors are free the next works.
int descriptorsExhausted(const std::string& host) {
  const Result first = call(host);
  unsetenv("TAVRELLO_SHIM_NO_DESCRIPTORS");
  if (!isHttp(first)) return failed("the request without descriptors did not fail with \"http\"");
  if (!isOk(call(host))) return failed("the request after descriptors were freed failed");
  // Idle now, the library's thread sleeps: without its wakeup it would wait on a descriptor
  // that is not there, which returns at once, again and again.
  int running = 0;
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(10ms);
    for (const auto& thread : tavrello::testing::ioThreads()) running += thread.state == 'R';
  }
  return running < 10 ? 0 : failed("the library's thread spins");
}

// With the shim refusing every eventfd(): calls work all the same.
int withoutEventfd(const std::string& host) {
  for (int i = 0; i < 3; ++i) {
    if (!isOk(call(host))) return failed("a request without an eventfd failed");
  }
  return 0;
}

// With the shim failing the first thread creation or the first add: that request fails,
// the next one works.
int failsOnceThenWorks(const std::string& host) {
  if (!isHttp(call(host))) return failed("the first request did not fail with \"http\"");
  return isOk(call(host)) ? 0 : failed("the second request failed");
}

// With the shim making lookups of *.slow.test take 30 s.
int slowLookup(const std::string& host) {
  tavrello::internal::setExchangeTimeoutForTesting(1s);
  api.setServiceHost("stuck.slow.test:80");
  Result stuck;
  api.getGroups([&](Result r) { stuck = std::move(r); });
  std::this_thread::sleep_for(100ms);  // the lookup is under way
  if (!isOk(call(host))) return failed("a lookup held up a request to another host");
  tavrello::MainQueue::shared().runUntil([&] { return stuck != nullptr; }, 10s);
  if (!isHttp(stuck)) return failed("a lookup held up its own request's timeout");
  api.setServiceHost("exit.slow.test:80");
  api.getGroups([](Result) {});
  std::this_thread::sleep_for(100ms);
  return 0;  // and the exit must not wait for that lookup
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return failed("usage: process_child MODE HOST SILENT KEEPING");
  const std::string mode = argv[1], host = argv[2];
  api.setApiKey("k");
  api.setServerKey("s");
  if (mode == "exit" || mode == "thread-exit") return inFlightAtExit(mode, argv[3]);
  if (mode == "handler-exit") return exitFromHandler(host, argv[3]);
  if (mode == "signal-exit") return exitFromSignalHandler(argv[3]);
  if (mode == "no-eventfd") return withoutEventfd(host);
  if (mode == "executor-exit" || mode == "executor-throws") return executorRunsAtOnce(mode, host);
  if (mode == "fork-observing") return forkWhileObserving(host);
  if (mode == "fork-connections") return forkedConnections(host);
  if (mode == "default-timeout") return defaultTimeout(host, argv[3]);
  if (mode == "idle-limit") return idleLimit(argv[4]);
  if (mode == "fails-until-descriptors") return descriptorsExhausted(host);
  if (mode == "fails-once") return failsOnceThenWorks(host);
  if (mode == "slow-lookup") return slowLookup(host);
  return failed("unknown mode");
}
