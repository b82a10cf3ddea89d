// The thread that waits in runUntil() drives the transfers itself, and hands that role back
// to the library's thread: what a handler may do meanwhile, and what happens after.
#include <gtest/gtest.h>

#include <tavrello/tavrello.hpp>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/client.hpp"
#include "support/exchange_timeout.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;

// A handler that waits for another result (its thread drives the transfers meanwhile)
// gets it, and the outer wait goes on.
TEST(Driving, AHandlerMayWaitForAnotherResult) {
  Server server;
  auto& api = clientFor(server.host());
  Result inner;
  bool outerDone = false;
  api.getGroups([&](Result) {
    inner = callOnce(api);
    outerDone = true;
  });
  ASSERT_TRUE(drainUntil([&] { return outerDone; }));
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->result(), "ok");
  EXPECT_EQ(callOnce(api)->result(), "ok");
}

// The draining thread leaves runUntil() with a transfer under way: the library's thread
// takes over, and the transfer ends with nobody draining. With the application polling by
// runPending() alone, it goes on driving call after call.
TEST(Driving, TransfersGoOnAfterTheDrainingThreadLeaves) {
  Server server(Server::kHeld);
  auto& api = clientFor(server.host());
  std::atomic<int> observed{0};
  api.setObserver([&](const Exchange&) { ++observed; });
  Result result;
  api.getGroups([&](Result r) { result = std::move(r); });
  ASSERT_TRUE(server.waitForRequests(1, 30s));
  EXPECT_FALSE(MainQueue::shared().runUntil([] { return false; }, 50ms));
  server.releaseDelayed();
  EXPECT_TRUE(waitWithoutDraining([&] { return observed == 1; }));
  api.setObserver(nullptr);
  EXPECT_TRUE(drainUntil([&] { return result != nullptr; }));
  server.clearFaults();
  for (int i = 0; i < 3; ++i) {
    Result next;
    api.getGroups([&](Result r) { next = std::move(r); });
    ASSERT_TRUE(waitWithoutDraining([&] {
      MainQueue::shared().runPending();
      return next != nullptr;
    }));
  }
}

// A task posted from another thread while the waiting thread drives (a reply outstanding,
// no socket stirring, libcurl's own short timers spent) runs at once, not when the wait
// ends: without a wakeup, this wait would last as long as the request, an hour.
TEST(Driving, ATaskPostedFromAnotherThreadRunsAtOnce) {
  const ExchangeTimeout timeout(1h);
  Server server(Server::kHeld);
  auto& api = clientFor(server.host());
  Result result;
  api.getGroups([&](Result r) { result = std::move(r); });
  ASSERT_TRUE(server.waitForRequests(1, 30s));
  bool ran = false;
  std::thread poster([&] {
    std::this_thread::sleep_for(600ms);
    MainQueue::shared().post([&] { ran = true; });
  });
  EXPECT_TRUE(MainQueue::shared().runUntil([&] { return ran; }, std::chrono::milliseconds::max()));
  poster.join();
  server.releaseDelayed();
  EXPECT_TRUE(drainUntil([&] { return result != nullptr; }));
}

// A handler that hands the queue to the application's loop, while its thread drives:
// later results go to that loop, from the library's thread, not through the thread that
// goes on waiting in runUntil().
TEST(Driving, AnExecutorSetByAHandlerGetsTheLaterResults) {
  Server server;
  server.injectFault(held("getLastData"));
  auto& api = clientFor(server.host());
  std::mutex mutex;
  std::vector<std::function<void()>> loop;
  std::thread::id handedOn;
  Result later;
  bool first = false;
  api.getGroups([&](Result) {
    MainQueue::shared().setExecutor([&](std::function<void()> task) {
      std::lock_guard lock(mutex);
      loop.push_back(std::move(task));
      handedOn = std::this_thread::get_id();
    });
    server.waitForRequests(2, 30s);
    server.releaseDelayed();
    first = true;
  });
  api.getLastData("later", [&](Result r) { later = std::move(r); });
  ASSERT_TRUE(drainUntil([&] { return first; }));
  const auto inLoop = [&] {
    std::lock_guard lock(mutex);
    return loop.size();
  };
  for (int i = 0; i < 3000 && inLoop() == 0; ++i) {
    MainQueue::shared().runUntil([] { return false; }, 10ms);
  }
  MainQueue::shared().setExecutor(nullptr);
  ASSERT_EQ(inLoop(), 1u);
  EXPECT_FALSE(later);  // not run by the draining thread
  EXPECT_NE(handedOn, std::this_thread::get_id());
  loop.front()();
  EXPECT_EQ(later->result(), "ok");
}

}  // namespace
}  // namespace tavrello::testing
