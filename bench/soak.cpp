// Soak mode of tavrello-bench-load: a random mix of all eleven operations for a given time,
// K in flight, against a sandbox in this process, with a share of the requests sent where
// they fail on purpose instead: to a second sandbox, with a fault of their own (a 500 with a
// body, a 503 without, the service's reply cut short or late), or to the port of a sandbox
// that has stopped (not there). Every handler must run exactly once, every request to the
// first sandbox must succeed, and resident memory and open descriptors must stay flat after
// warm-up.
//   tavrello-bench-load --minutes 2 --concurrency 16 --fault-percent 5
#include "soak.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include <tavrello/sandbox.hpp>
#include <tavrello/tavrello.hpp>

namespace bench {
namespace {

using Result = std::shared_ptr<tavrello::TavrelloResult>;

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
  Soak(const Options& options, const std::string& sandboxHost, tavrello::sandbox::Sandbox& failing,
       const std::string& stoppedHost)
      : options_(options),
        sandboxHost_(sandboxHost),
        failing_(failing),
        stoppedHost_(stoppedHost) {}

  // Issues one operation; its handler records the call and issues the next.
  void issue() {
    if (Clock::now() >= deadline_) return;
    const std::size_t id = calls_.size();
    calls_.push_back(0);
    ++pending_;
    const bool toFault = static_cast<int>(random_() % 100) < options_.faultPercent;
    api_.setServiceHost(toFault ? failingHost() : sandboxHost_);
    auto handler = [this, id, toFault](Result result) {
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
    const std::string tag = std::to_string(id);
    switch (random_() % 11) {
      case 0:
        api_.getLastData(member, handler);
        break;
      case 1: {
        const long end =
            static_cast<long>(std::time(nullptr)) - static_cast<long>(random_() % 86400);
        api_.getDataBetween24Hours(member, std::to_string(end - 3600), std::to_string(end),
                                   handler);
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
        api_.createGroup("soak " + tag, handler);
        break;
      case 7:
        api_.editGroupName(group, "renamed " + tag, handler);
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
    for (std::size_t i = 0; i < options_.concurrency; ++i) issue();
    long rssWarm = 0, rssMax = 0;
    int fdsWarm = 0, fdsMax = 0;
    auto nextSample = start;
    while (pending_ > 0) {
      tavrello::MainQueue::shared().runUntil([&] { return pending_ == 0; },
                                             std::chrono::seconds(1));
      const auto now = Clock::now();
      if (now >= warmUp && now >= nextSample) {
        const long rss = residentKiB();
        const int fds = openDescriptors();
        if (rssWarm == 0) rssWarm = rss, fdsWarm = fds;
        rssMax = std::max(rssMax, rss);
        fdsMax = std::max(fdsMax, fds);
        nextSample = now + std::chrono::seconds(5);
      }
      if (now > deadline_ + std::chrono::seconds(90)) break;  // stuck: reported below
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long notOnce = 0;
    for (int count : calls_) notOnce += count != 1;
    std::printf(
        "soak: %.0f s, %zu requests (%.0f/s), %ld ok, %ld unexpected failures, %ld handlers "
        "not run exactly once\nrss KiB: after warm-up %ld, max %ld; fds: after warm-up %d, "
        "max %d\n",
        seconds, calls_.size(), static_cast<double>(calls_.size()) / seconds, ok_,
        unexpectedFailures_, notOnce, rssWarm, rssMax, fdsWarm, fdsMax);
    const bool flat = rssMax - rssWarm < 8 * 1024 &&
                      fdsMax - fdsWarm <= static_cast<int>(options_.concurrency) + 4;
    if (!flat) std::printf("soak: memory or descriptors grew after warm-up\n");
    return notOnce == 0 && unexpectedFailures_ == 0 && pending_ == 0 && flat ? 0 : 1;
  }

 private:
  // Where the next request fails: the stopped port, a quarter of the time, or the failing
  // sandbox with a fault for it. Whichever request takes the fault, every request there has
  // one.
  std::string failingHost() {
    if (random_() % 4 == 0) return stoppedHost_;
    tavrello::sandbox::Fault fault("", 0);
    switch (random_() % 4) {
      case 0:
        fault.status = 500;
        fault.body = R"({"error":"oops"})";
        break;
      case 1:
        fault.status = 503;
        break;
      case 2:
        fault.cutAfterBytes = random_() % 40;
        break;
      default:
        fault.delay = std::chrono::milliseconds(random_() % 50);
        break;
    }
    failing_.injectFault(fault);
    return failing_.host();
  }

  static std::string pad(unsigned long value, int width) {
    std::string text = std::to_string(value);
    return std::string(std::max(0, width - static_cast<int>(text.size())), '0') + text;
  }

  const Options& options_;
  const std::string sandboxHost_;
  tavrello::sandbox::Sandbox& failing_;
  const std::string stoppedHost_;
  tavrello::TavrelloAPI& api_ = tavrello::TavrelloAPI::shared();
  std::mt19937 random_{20261206};
  std::vector<int> calls_;
  long pending_ = 0, ok_ = 0, unexpectedFailures_ = 0;
  Clock::time_point deadline_;
};

}  // namespace

int runSoak(const Options& options) {
  tavrello::sandbox::Options service;
  service.apiKey = kApiKey;
  service.serverKey = kServerKey;
  service.keepRequests = false;
  tavrello::sandbox::Sandbox sandbox(service), failing(service), stopped(service);
  for (const auto* started : {&sandbox, &failing, &stopped}) {
    if (!started->running()) {
      std::fprintf(stderr, "soak: a sandbox did not start: %s\n", started->error().c_str());
      return 1;
    }
  }
  const std::string stoppedHost = stopped.host();
  stopped.stop();  // its port refuses connections now
  auto& api = tavrello::TavrelloAPI::shared();
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  return Soak(options, sandbox.host(), failing, stoppedHost).run();
}

}  // namespace bench
