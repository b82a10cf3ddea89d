// Using the client from an application that already runs an event loop, here asio's.
//
// The library delivers every result through tavrello::MainQueue. An application with its
// own loop does not drain that queue by hand: it hands the queue to the loop once, with
// MainQueue::setExecutor, and results then run as ordinary handlers of the loop, on the
// thread that runs it. The three steps are marked STEP below.
//
// The service and keys come from the environment (TAVRELLO_HOST, TAVRELLO_API_KEY,
// TAVRELLO_SERVER_KEY), with the sandbox's demo values as defaults. Exits 1 when any
// operation failed or was refused.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <asio.hpp>
#include <nlohmann/json.hpp>
#include <tavrello/tavrello.hpp>

namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool accepted(tavrello::TavrelloResult& r) {
  if (r.result() != "ok") return false;
  const auto reply = nlohmann::json::parse(r.description(), nullptr, false);  // prints the body
  return reply.is_object() && reply.value("result", "") == "ok";
}

}  // namespace

int main() {
  asio::io_context io;

  // STEP 1: hand the main queue to the loop. The library posts results from its own I/O
  // thread and needs them run in posting order; a strand keeps that order even when several
  // threads run the io_context.
  auto strand = asio::make_strand(io);
  tavrello::MainQueue::shared().setExecutor(
      [strand](std::function<void()> task) { asio::post(strand, std::move(task)); });

  // Without pending work io.run() would return at once, before any reply came back.
  auto work = asio::make_work_guard(io);
  // A safety net: the library ends each exchange within 60 s, so this should never fire.
  asio::steady_timer deadline(io, std::chrono::seconds(90));
  bool timedOut = false;
  deadline.async_wait([&](std::error_code ec) {
    if (ec) return;  // cancelled
    timedOut = true;
    io.stop();
  });

  auto& api = tavrello::TavrelloAPI::shared();
  api.setServiceHost(fromEnvironment("TAVRELLO_HOST", "127.0.0.1:8787"));
  api.setApiKey(fromEnvironment("TAVRELLO_API_KEY", "demo-api-key"));
  api.setServerKey(fromEnvironment("TAVRELLO_SERVER_KEY", "demo-server-key"));

  // STEP 2: issue operations. Each handler runs later as a handler of the loop, on this
  // thread; when the last one has run, it stops the loop.
  int pending = 0;
  int failures = 0;
  auto handler = [&](std::string step) -> tavrello::CompletionHandler {
    ++pending;
    return [&, step](std::shared_ptr<tavrello::TavrelloResult> r) {
      std::printf("== %s\n", step.c_str());
      std::fflush(stdout);
      if (!accepted(*r)) {
        std::printf("   failed: %s\n", r->reason().empty() ? "refused" : r->reason().c_str());
        ++failures;
      }
      if (--pending == 0) io.stop();
    };
  };
  asio::post(io, [&] {
    api.getGroups(handler("getGroups()"));
    api.getLastData("m-0002", handler("getLastData(m-0002)"));
    api.getObjectsData("2", handler("getObjectsData(2)"));
  });

  io.run();

  // STEP 3: take the queue back before the loop is destroyed, so that nothing can post to
  // an io_context that no longer exists.
  tavrello::MainQueue::shared().setExecutor(nullptr);

  if (timedOut) {
    std::printf("gave up waiting for %d result(s)\n", pending);
    return 1;
  }
  std::printf("%s: %d operation(s) failed\n", failures == 0 ? "done" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
