// Soak run: a random mix of all eleven operations against the sandbox for a
// given time, K requests in flight, with a share of them sent to a fault
// server instead. Checks that every handler ran exactly once and that
// resident memory and open file descriptors stay flat after warm-up.
//   tavrello-soak --sandbox PATH [--minutes M] [--in-flight K] [--fault-percent P]
#include <tavrello/tavrello.hpp>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.hpp"
#include "internal/http_transport.hpp"
#include "support/fault_server.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tavrello::TavrelloAPI;
using tavrello::TavrelloResult;
using tavrello::testing::Fault;

std::atomic<bool> stopChaos{false};

struct Options {
  std::string sandbox;
  double minutes = 2;
  int inFlight = 16;
  int faultPercent = 5;
};

long residentKiB() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int openDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count - 3;  // ".", ".." and the directory itself
}

class Soak {
 public:
  Soak(const Options& options, std::string sandboxHost, std::string faultHost)
      : options_(options), sandboxHost_(std::move(sandboxHost)), faultHost_(std::move(faultHost)) {}

  // Issues one operation; its handler records the call and issues the next.
  void issue() {
    if (Clock::now() >= deadline_) return;
    const std::size_t id = calls_.size();
    calls_.push_back(0);
    ++pending_;
    const bool toFault = static_cast<int>(random_() % 100) < options_.faultPercent;
    api_.setServiceHost(toFault ? faultHost_ : sandboxHost_);
    auto handler = [this, id, toFault](std::shared_ptr<TavrelloResult> result) {
      ++calls_[id];
      --pending_;
      if (result->result() == "ok") {
        ++ok_;
      } else if (!toFault) {
        ++unexpectedFailures_;
        std::fprintf(stderr, "sandbox request failed: %s\n", result->reason().c_str());
      }
      issue();
    };
    const std::string member = "m-" + pad(1 + random_() % 250, 4);
    const std::string group = "g-" + pad(1 + random_() % 5, 3);
    switch (random_() % 11) {
      case 0:
        api_.getLastData(member, handler);
        break;
      case 1: {
        const std::string end = std::to_string(std::time(nullptr) - random_() % 86400);
        const std::string start = std::to_string(std::stol(end) - 3600);
        api_.getDataBetween24Hours(member, start, end, handler);
        break;
      }
      case 2:
        api_.getObjectsData(std::to_string(1 + random_() % 3), handler);
        break;
      case 3:
        api_.getGroups(handler);
        break;
      case 4:
        api_.getGroupsWithObject(member, handler);
        break;
      case 5:
        api_.getGroupMembers(group, handler);
        break;
      case 6:
        api_.createGroup("soak " + std::to_string(id), handler);
        break;
      case 7:
        api_.editGroupName(group, "renamed " + std::to_string(id), handler);
        break;
      case 8:
        api_.removeGroup("g-" + pad(6 + random_() % 500, 3), handler);
        break;
      case 9:
        api_.addGroupMember(group, member, handler);
        break;
      default:
        api_.removeGroupMember(group, member, handler);
        break;
    }
  }

  int run() {
    const auto start = Clock::now();
    deadline_ = start + std::chrono::milliseconds(static_cast<long>(options_.minutes * 60000));
    const auto warmUp = start + (deadline_ - start) / 5;
    for (int i = 0; i < options_.inFlight; ++i) issue();
    long rssStart = residentKiB(), rssWarm = 0, rssMax = 0;
    int fdsWarm = 0, fdsMax = 0;
    auto nextSample = start;
    auto& queue = tavrello::MainQueue::shared();
    while (pending_ > 0) {
      queue.runUntil([&] { return pending_ == 0; }, 1s);
      const auto now = Clock::now();
      if (now >= warmUp && now >= nextSample) {
        const long rss = residentKiB();
        const int fds = openDescriptors();
        if (rssWarm == 0) rssWarm = rss, fdsWarm = fds;
        rssMax = std::max(rssMax, rss);
        fdsMax = std::max(fdsMax, fds);
        nextSample = now + 5s;
      }
      if (now > deadline_ + 90s) break;  // stuck: reported below
    }
    const long rssEnd = residentKiB();
    const int fdsEnd = openDescriptors();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long notOnce = 0;
    for (int c : calls_) notOnce += c != 1;
    std::printf(
        "soak: %.0f s, %zu requests (%.0f/s), %ld ok, %ld unexpected failures, %ld handlers "
        "not run exactly once\n"
        "rss KiB: start %ld, after warm-up %ld, max %ld, end %ld; fds: after warm-up %d, "
        "max %d, end %d\n",
        seconds, calls_.size(), calls_.size() / seconds, ok_, unexpectedFailures_, notOnce,
        rssStart, rssWarm, rssMax, rssEnd, fdsWarm, fdsMax, fdsEnd);
    bool flat = rssMax - rssWarm < 8 * 1024 && fdsMax - fdsWarm <= options_.inFlight + 4;
    if (!flat) std::printf("soak: memory or descriptors grew after warm-up\n");
    return notOnce == 0 && unexpectedFailures_ == 0 && pending_ == 0 && flat ? 0 : 1;
  }

 private:
  static std::string pad(unsigned long value, int width) {
    std::string text = std::to_string(value);
    return std::string(std::max(0, width - static_cast<int>(text.size())), '0') + text;
  }

  Options options_;
  std::string sandboxHost_, faultHost_;
  TavrelloAPI& api_ = TavrelloAPI::shared();
  std::mt19937 random_{20261206};
  std::vector<int> calls_;
  long pending_ = 0, ok_ = 0, unexpectedFailures_ = 0;
  Clock::time_point deadline_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--sandbox")
      options.sandbox = value;
    else if (flag == "--minutes")
      options.minutes = std::atof(value.c_str());
    else if (flag == "--in-flight")
      options.inFlight = std::max(1, std::atoi(value.c_str()));
    else if (flag == "--fault-percent")
      options.faultPercent = std::atoi(value.c_str());
  }
  if (options.sandbox.empty()) {
    std::fprintf(stderr,
                 "usage: %s --sandbox PATH [--minutes M] [--in-flight K] "
                 "[--fault-percent P]\n",
                 argv[0]);
    return 2;
  }
  e2e::Sandbox sandbox(options.sandbox, "soak-api-key", "soak-server-key");
  if (sandbox.host().empty()) return 1;
  // Faults that end quickly or by the (shortened) timeout, picked at random
  // for every connection; the fault server answers normally in between.
  tavrello::testing::FaultServer faults(Fault::CloseMidBody);
  if (!faults.start()) return 1;
  tavrello::internal::setExchangeTimeoutForTesting(1500ms);
  std::thread chaos([&] {
    const Fault kinds[] = {
        Fault::CloseMidBody,       Fault::ResetMidHeaders, Fault::ResetMidBody, Fault::NotHttp,
        Fault::ShortContentLength, Fault::BadChunk,        Fault::NeverAnswer,  Fault::Normal};
    std::mt19937 random(7);
    while (faults.port() != 0 && !stopChaos.load()) {
      faults.setFault(kinds[random() % std::size(kinds)]);
      std::this_thread::sleep_for(50ms);
    }
  });
  auto& api = TavrelloAPI::shared();
  api.setApiKey("soak-api-key");
  api.setServerKey("soak-server-key");
  Soak soak(options, sandbox.host(), faults.hostAndPort());
  int status = soak.run();
  stopChaos = true;
  chaos.join();
  return status;
}
