// The shared client as the tests drive it: keys and host set, one call, the main queue
// drained until its result came.
//
//   auto& api = clientFor(server.host());
//   const Result result = callOnce(api);     // getLastData("m-1"), null after 30 s
#pragma once

#include <tavrello/tavrello.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

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

// Drains the main queue until `done()`; false when 30 s passed first.
inline bool drainUntil(const std::function<bool()>& done) {
  return MainQueue::shared().runUntil(done, std::chrono::seconds(30));
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
