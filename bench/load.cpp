// tavrello-bench-load: drives the library through its public interface the
// way an application does and prints one JSON line (see bench/README.md).
//
// Load mode: N getLastData calls with K in flight. Each completion handler,
// running on the main queue, issues the next call; the main thread drains the
// queue with runUntil. With --executor the handlers run on the application's
// own loop thread instead (a queue and a thread, handed the main queue with
// setExecutor), and the main thread only waits. Burst mode: N calls issued at
// once, then drained; every handler must run exactly once. Polling mode: N
// calls, one every G seconds, each waited for, counting through an observer the
// calls that opened a connection; --write sends createGroup instead. Soak mode:
// see soak.cpp.
//
//   tavrello-bench-load --host 127.0.0.1:8080 --requests 20000 --concurrency 16
//   tavrello-bench-load --host 127.0.0.1:8080 --requests 20000 --executor
//   tavrello-bench-load --host 127.0.0.1:8080 --requests 10000 --burst
//   tavrello-bench-load --host https://127.0.0.1:8443 --ca ca.crt --every 6 --requests 5 --write
//   tavrello-bench-load --minutes 2 --concurrency 16 --fault-percent 5
#include <tavrello/tavrello.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_common.hpp"
#include "soak.hpp"

namespace {

using bench::Clock;

constexpr auto kRunTimeout = std::chrono::seconds(300);
constexpr const char* kGroupName = "bench-group";

struct Run {
  explicit Run(const bench::Options& options)
      : options(options), issuedAt(options.requests), calls(options.requests, 0) {
    latencyMicros.reserve(options.requests);
  }

  void issue() {
    const std::size_t index = issued++;
    issuedAt[index] = Clock::now();
    auto handler = [this, index](std::shared_ptr<tavrello::TavrelloResult> result) {
      done(index, *result);
    };
    if (options.write) {
      tavrello::TavrelloAPI::shared().createGroup(kGroupName, std::move(handler));
    } else {
      tavrello::TavrelloAPI::shared().getLastData(bench::kMemberKey, std::move(handler));
    }
  }

  void done(std::size_t index, const tavrello::TavrelloResult& result) {
    if (calls[index]++ != 0) return;  // a repeated handler is counted, not measured
    latencyMicros.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - issuedAt[index]).count());
    if (result.result() != "ok") ++notOk;
    if (++completed == options.requests) finished.set_value();
    if (!options.burst && options.every == 0 && issued < options.requests) issue();
  }

  const bench::Options& options;
  std::vector<Clock::time_point> issuedAt;
  std::vector<std::uint32_t> calls;  // handler calls per request
  std::vector<double> latencyMicros;
  std::size_t issued = 0;
  std::size_t completed = 0;
  std::size_t notOk = 0;
  std::promise<void> finished;
};

// The application's own event loop: one thread running, in order, the tasks the library
// hands it through setExecutor, as an asio or Qt loop would.
class Loop {
 public:
  Loop() : thread_([this] { run(); }) {}
  ~Loop() {
    post(nullptr);
    thread_.join();
  }
  void post(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    arrived_.notify_one();
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [this] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      if (!task) return;  // the destructor's
      task();
    }
  }
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

// Length of the body the library sends, from the fields it signs with.
std::size_t bodyBytes(bool write) {
  std::size_t bytes =
      write ? std::string("api=api.common.group.set.add&group_name=").size() +
                  std::string(kGroupName).size()
            : std::string("member_key=").size() + std::string(bench::kMemberKey).size();
  for (const auto& [key, value] : tavrello::TavrelloAPI::shared().getBasicParams()) {
    bytes += 1 + key.size() + 1 + std::any_cast<const std::string&>(value).size();
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::parseOptions(argc, argv);
  if (options.printBody) {
    std::printf("%s\n", bench::kFixedBody.c_str());
    return 0;
  }
  if (options.minutes > 0) return bench::runSoak(options);
  if (options.pipewait || (options.every > 0 && (options.burst || options.executor))) {
    bench::usage(argv[0]);
  }
  auto& api = tavrello::TavrelloAPI::shared();
  auto& queue = tavrello::MainQueue::shared();
  api.setApiKey(bench::kApiKey);
  api.setServerKey(bench::kServerKey);
  api.setServiceHost(options.host);
  if (!options.caFile.empty()) api.setCaFile(options.caFile);
  // What an application's metrics would do with each record: count it, and the connections
  // opened. Static, as the observer may outlive main().
  static std::atomic<std::size_t> observed{0};
  static std::atomic<std::size_t> opened{0};
  if (options.observer || options.every > 0) {
    api.setObserver([](const tavrello::Exchange& exchange) {
      ++observed;
      if (exchange.newConnection) ++opened;
    });
  }

  Run run(options);
  std::unique_ptr<Loop> loop;
  if (options.executor) {
    loop = std::make_unique<Loop>();
    queue.setExecutor([&loop](std::function<void()> task) { loop->post(std::move(task)); });
  }
  bench::Report report;
  report.client = options.observer   ? "library+observer"
                  : options.executor ? "library+executor"
                                     : "library";
  report.mode = options.burst ? "burst" : options.every > 0 ? "poll" : "load";
  report.everySeconds = options.every;
  report.operation = options.write ? "createGroup" : "getLastData";
  report.concurrency = options.burst ? options.requests : options.concurrency;
  report.requests = options.requests;
  report.bodyBytes = bodyBytes(options.write);

  report.threadsBefore = bench::threadCount();
  const double cpuStart = bench::cpuMicros();
  const auto start = Clock::now();
  const std::size_t first = options.burst ? options.requests : options.concurrency;
  if (options.every > 0) {
    for (std::size_t call = 0; call < options.requests; ++call) {
      std::this_thread::sleep_until(start + bench::callOffset(options.every, call));
      run.issue();
      if (!queue.runUntil([&] { return run.completed == call + 1; }, kRunTimeout)) break;
    }
  } else if (loop) {
    std::future<void> finished = run.finished.get_future();
    loop->post([&] {
      for (std::size_t i = 0; i < first; ++i) run.issue();
    });
    finished.wait_for(kRunTimeout);
  } else {
    for (std::size_t i = 0; i < first; ++i) run.issue();
    queue.runUntil([&] { return run.completed == options.requests; }, kRunTimeout);
  }
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  report.cpuMicros = bench::cpuMicros() - cpuStart;
  report.threadsAfter = bench::threadCount();

  if (options.burst) {
    // Anything delivered late would be a second call of some handler.
    queue.runUntil([] { return false; }, std::chrono::milliseconds(200));
    for (std::uint32_t calls : run.calls) {
      if (calls == 0) ++report.handlerMissing;
      if (calls > 1) ++report.handlerRepeated;
    }
  }
  if (loop) {
    queue.setExecutor(nullptr);  // before the loop goes
    loop.reset();
  }
  report.completed = run.completed;
  report.newConnections = opened;
  report.notOk = run.notOk + (options.requests - run.completed);
  report.latencyMicros = std::move(run.latencyMicros);
  const bool clean = report.notOk == 0 && report.handlerMissing == 0 && report.handlerRepeated == 0;
  bench::printReport(report);
  return clean ? 0 : 1;
}
