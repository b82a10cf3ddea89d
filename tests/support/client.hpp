// The shared client as the tests drive it: keys and host set, one call, the main queue
// drained until its result came.
//
//   auto& api = clientFor(server.host());
//   const Result result = callOnce(api);     // getLastData("m-1"), null after 30 s
#pragma once

#include <tavrello/sandbox.hpp>
#include <tavrello/tavrello.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavrello::testing {

using Result = std::shared_ptr<TavrelloResult>;

// Distinctive, so that finding one in any output means it was printed.
inline const std::string kApiKey = "api-KEY-7f3a";
inline const std::string kServerKey = "SERVER-secret-91c2";

// The shared client, with both keys, sending to `host`.
inline TavrelloAPI& clientFor(const std::string& host, const std::string& apiKey = kApiKey,
                              const std::string& serverKey = kServerKey) {
  auto& api = TavrelloAPI::shared();
  api.setApiKey(apiKey);
  api.setServerKey(serverKey);
  api.setServiceHost(host);
  return api;
}

// A sandbox's options with the keys above.
inline sandbox::Options sandboxOptions() {
  sandbox::Options options;
  options.apiKey = kApiKey;
  options.serverKey = kServerKey;
  return options;
}

// A fault that holds requests (`count` of `operation`, "" for any) until releaseDelayed() or
// the sandbox's end, then answers them with `status` (0: as the service would).
inline sandbox::Fault held(const std::string& operation = "", int status = 0,
                           std::size_t count = 1000000) {
  sandbox::Fault fault(operation, status, "", count);
  fault.delay = std::chrono::hours(1);
  return fault;
}

// The sandbox with the keys above, keeping every request; a held one answers none until
// releaseDelayed() or its end.
class Server : public sandbox::Sandbox {
 public:
  enum Answers { kAtOnce, kHeld };
  explicit Server(Answers answers = kAtOnce, sandbox::Options options = sandboxOptions())
      : Sandbox(std::move(options)) {
    if (answers == kHeld) injectFault(held());
  }
};

// Drains the main queue until `done()`; false when 30 s passed first.
inline bool drainUntil(const std::function<bool()>& done) {
  return MainQueue::shared().runUntil(done, std::chrono::seconds(30));
}

// Waits, without draining the main queue, until `happened()`; false when 30 s passed first.
inline bool waitWithoutDraining(const std::function<bool()>& happened) {
  for (int i = 0; i < 3000 && !happened(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return happened();
}

// The library's I/O threads ("tavrello-io"): whether each is running ('R') or asleep, and
// how often it has woken (its voluntary context switches).
struct IoThread {
  char state = '?';
  long wakeups = 0;
};
inline std::vector<IoThread> ioThreads() {
  std::vector<IoThread> threads;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    IoThread thread;
    bool ours = false;
    for (std::string line; std::getline(status, line);) {
      ours = ours || line == "Name:\ttavrello-io";
      if (line.rfind("State:\t", 0) == 0) thread.state = line[7];
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        thread.wakeups = std::stol(line.substr(24));
    }
    if (ours) threads.push_back(thread);
  }
  return threads;
}

// Makes one call (getLastData("m-1") unless told otherwise) and returns its result once it
// came, or null after 30 s.
inline Result callOnce(
    TavrelloAPI& api, const std::function<void(TavrelloAPI&, CompletionHandler)>& call =
                          [](TavrelloAPI& client, CompletionHandler handler) {
                            client.getLastData("m-1", std::move(handler));
                          }) {
  // Shared with the handler, which may still run after a give-up.
  auto slot = std::make_shared<Result>();
  call(api, [slot](Result r) { *slot = std::move(r); });
  drainUntil([&] { return *slot != nullptr; });
  return *slot;
}

}  // namespace tavrello::testing
