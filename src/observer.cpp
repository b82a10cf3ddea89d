#include "internal/observer.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "internal/http_transport.hpp"

namespace tavrello::internal {
namespace {

using Observer = std::function<void(const Exchange&)>;

std::mutex gMutex;
std::shared_ptr<const Observer> gObserver;  // guarded by gMutex
std::atomic<bool> gObserving{false};        // gObserver is set: spares the lock when it is not

}  // namespace

void setObserver(Observer observer) {
  auto shared = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
  // A fork() while another thread holds the lock would leave the child's lock held for
  // good: it is taken around the fork.
  static const bool forkHandled = [] {
    pthread_atfork([] { gMutex.lock(); }, [] { gMutex.unlock(); }, [] { gMutex.unlock(); });
    return true;
  }();
  static_cast<void>(forkHandled);
  std::lock_guard lock(gMutex);
  gObserving.store(shared != nullptr, std::memory_order_relaxed);
  gObserver.swap(shared);
}

void observe(const Post& post, const TavrelloResult& result, std::size_t replyBytes,
             bool newConnection) {
  if (!gObserving.load(std::memory_order_relaxed)) return;
  std::shared_ptr<const Observer> observer;
  {
    std::lock_guard lock(gMutex);
    observer = gObserver;
  }
  if (!observer) return;
  Exchange exchange;
  exchange.operation = post.operation;
  exchange.method = "POST";
  if (!post.destination->origin.empty()) {
    exchange.url = post.destination->origin + std::string(post.path);
  }
  exchange.requestBytes = post.body.size();
  exchange.httpStatus = result.httpStatus();
  exchange.replyBytes = replyBytes;
  exchange.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - post.started);
  exchange.newConnection = newConnection;
  exchange.result = result.result();
  exchange.reason = result.reason();
  exchange.detail = result.detail();
  try {
    (*observer)(exchange);
  } catch (...) {
  }
}

}  // namespace tavrello::internal
