// The child program of process_test: each mode puts the library through one process event
// (exit, fork, a failing environment from fault_shim.cpp) and exits 0 when every call ended
// in exactly one result and the process ended cleanly; 1, with a line on standard error,
// when not. Results come from `HOST`, a server of the test's; `SILENT` never answers.
//   process_child MODE HOST SILENT
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <tavrello/tavrello.hpp>

#include "internal/http_transport.hpp"

namespace {

using namespace std::chrono_literals;
using Result = std::shared_ptr<tavrello::TavrelloResult>;
tavrello::TavrelloAPI& api = tavrello::TavrelloAPI::shared();

int failed(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  return 1;
}

// getGroups to `host`, and the main queue drained until its result came (or 10 s).
Result call(const std::string& host) {
  api.setServiceHost(host);
  Result result;
  api.getGroups([&](Result r) { result = std::move(r); });
  tavrello::MainQueue::shared().runUntil([&] { return result != nullptr; }, 10s);
  return result;
}

bool isOk(const Result& r) { return r && r->result() == "ok"; }
bool isHttp(const Result& r) { return r && r->reason() == "http"; }

// Requests in flight when the process ends: it must end at once and cleanly, with no
// handler run.
int inFlightAtExit(const std::string& mode, const std::string& silent) {
  api.setServiceHost(silent);
  for (int i = 0; i < 20; ++i) {
    api.getGroups([](Result) {
      std::fputs("handler ran after exit began\n", stderr);
      std::_Exit(4);
    });
  }
  std::this_thread::sleep_for(20ms);  // let the I/O thread send them
  if (mode == "exit") std::exit(0);
  if (mode == "thread-exit") {
    std::thread([] { std::exit(0); }).detach();
    tavrello::MainQueue::shared().runUntil([] { return false; }, 30s);
    return failed("the other thread's exit() did not end the process");
  }
  return 0;
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

int forked(const std::string& host) {
  if (!isOk(call(host))) return failed("the first request failed");
  const pid_t child = fork();
  if (child == 0) std::exit(isOk(call(host)) ? 0 : failed("the child's request failed"));
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return failed("the child failed");
  return isOk(call(host)) ? 0 : failed("the parent's request after the fork failed");
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
  if (argc < 4) return failed("usage: process_child MODE HOST SILENT");
  const std::string mode = argv[1], host = argv[2];
  api.setApiKey("k");
  api.setServerKey("s");
  if (mode == "return" || mode == "exit" || mode == "thread-exit")
    return inFlightAtExit(mode, argv[3]);
  if (mode == "executor-exit" || mode == "executor-throws") return executorRunsAtOnce(mode, host);
  if (mode == "fork") return forked(host);
  if (mode == "fails-once") return failsOnceThenWorks(host);
  if (mode == "slow-lookup") return slowLookup(host);
  return failed("unknown mode");
}
