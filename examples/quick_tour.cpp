// A quick tour of the client: asks for a member's last location, a page of members and the
// groups, then creates a group and adds a member to it, printing every reply.
//
// The service and keys come from the environment, with the sandbox's demo values as
// defaults:
//   TAVRELLO_HOST=127.0.0.1:8787 TAVRELLO_API_KEY=... TAVRELLO_SERVER_KEY=... tavrello-example-tour
// Exits 1 when any step failed: the exchange failed or the service refused the request.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <tavrello/tavrello.hpp>

namespace {

using Result = std::shared_ptr<tavrello::TavrelloResult>;

std::string fromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// Counts the operations in flight and the steps that failed. Every handler runs on the main
// thread (the one draining the main queue), so plain integers are enough.
struct Tour {
  int pending = 0;
  int failures = 0;

  // Prints one step's outcome and returns the parsed reply when the exchange succeeded and
  // the service answered {"result": "ok", ...}; counts a failure otherwise.
  std::optional<nlohmann::json> report(const std::string& step, const Result& r) {
    --pending;
    std::printf("== %s\n", step.c_str());
    std::fflush(stdout);
    if (r->result() != "ok") {
      std::printf("   failed: %s\n", r->reason().c_str());
      ++failures;
      return std::nullopt;
    }
    const std::string body = r->description();  // writes the body to stdout
    auto reply = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!reply.is_object() || reply.value("result", "") != "ok") {
      std::printf("   refused by the service\n");
      ++failures;
      return std::nullopt;
    }
    return reply;
  }

  // A handler that reports `step` and does nothing more.
  tavrello::CompletionHandler step(std::string step) {
    ++pending;
    return [this, step](Result r) { report(step, r); };
  }
};

}  // namespace

int main() {
  auto& api = tavrello::TavrelloAPI::shared();
  api.setServiceHost(fromEnvironment("TAVRELLO_HOST", "127.0.0.1:8787"));
  api.setApiKey(fromEnvironment("TAVRELLO_API_KEY", "demo-api-key"));
  api.setServerKey(fromEnvironment("TAVRELLO_SERVER_KEY", "demo-server-key"));
  std::printf("tour of the service at %s\n", api.serviceHost().c_str());

  const std::string member = "m-0001";
  Tour tour;
  // The requests travel at once; their results come back on the main queue in the order
  // the replies arrive.
  api.getLastData(member, tour.step("getLastData(" + member + ")"));
  api.getObjectsData("1", tour.step("getObjectsData(1)"));
  api.getGroups(tour.step("getGroups()"));

  // A step that depends on an earlier reply starts from that reply's handler: the new group's
  // key is in the createGroup reply, {"result": "ok", "data": {"group_key": "g-006", ...}}.
  ++tour.pending;
  api.createGroup("Quick tour", [&](Result r) {
    const auto reply = tour.report("createGroup(Quick tour)", r);
    if (!reply) return;
    const auto key =
        reply->value(nlohmann::json::json_pointer("/data/group_key"), nlohmann::json());
    const std::string group = key.is_string() ? key.get<std::string>() : "";
    if (group.empty()) {
      std::printf("   the reply names no data.group_key\n");
      ++tour.failures;
      return;
    }
    api.addGroupMember(group, member, tour.step("addGroupMember(" + group + ", " + member + ")"));
  });

  // Drain the main queue on this thread until every handler has run. The library ends each
  // exchange within 60 s, so the bound below is only a safety net.
  const bool finished = tavrello::MainQueue::shared().runUntil([&] { return tour.pending == 0; },
                                                               std::chrono::minutes(3));
  if (!finished) {
    std::printf("gave up waiting for %d result(s)\n", tour.pending);
    return 1;
  }
  std::printf("%s: %d step(s) failed\n", tour.failures == 0 ? "done" : "FAILED", tour.failures);
  return tour.failures == 0 ? 0 : 1;
}
