#include "sandbox_service.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <optional>

#include "group_store.hpp"
#include "members.hpp"
#include "replies.hpp"
#include "request_checks.hpp"
#include "sandbox_wire.hpp"

namespace tavrello::sandbox {

struct SandboxService::State {
  State(Options options, World world)
      : options(std::move(options)),
        members(std::move(world.members)),
        groups(members, std::move(world.groups), world.nextGroupNumber) {}

  const Options options;
  const Members members;
  GroupStore groups;

  // One row per thing the service does: the client operation it serves, the path, the
  // action code (group actions only), the fields it needs beyond the signed three, and what
  // answers it.
  struct Route {
    std::string_view operation;
    std::string_view path;
    std::string_view action;
    std::array<std::string_view, 3> fields;
    Reply (*run)(State&, const Fields&);
  };
  static const std::array<Route, 11> kRoutes;

  static const Route* find(std::string_view path, std::string_view action) {
    const auto route = std::find_if(kRoutes.begin(), kRoutes.end(), [&](const Route& r) {
      return r.path == path && r.action == action;
    });
    return route == kRoutes.end() ? nullptr : &*route;
  }
};

// clang-format off
const std::array<SandboxService::State::Route, 11> SandboxService::State::kRoutes = {{
  {"getLastData", kLastLocationPath, "", {"member_key"},
   [](State& s, const Fields& f) { return s.members.lastLocation(f); }},
  {"getDataBetween24Hours", kLocationListPath, "", {"member_key", "from_date", "to_date"},
   [](State& s, const Fields& f) { return s.members.locationList(f); }},
  {"getObjectsData", kMemberInfoPath, "", {"page", "page_size"},
   [](State& s, const Fields& f) { return s.members.memberInfo(f); }},
  {"getGroups", kCommonPath, "api.common.group.get.list", {},
   [](State& s, const Fields& f) { return s.groups.list(f); }},
  {"getGroupsWithObject", kCommonPath, "api.common.group.get.object.group.list", {"member_key"},
   [](State& s, const Fields& f) { return s.groups.ofMember(f); }},
  {"getGroupMembers", kCommonPath, "api.common.group.get.group.object.list", {"group_key"},
   [](State& s, const Fields& f) { return s.groups.membersOf(f); }},
  {"createGroup", kCommonPath, "api.common.group.set.add", {"group_name"},
   [](State& s, const Fields& f) { return s.groups.create(f); }},
  {"editGroupName", kCommonPath, "api.common.group.set.modify", {"group_key", "group_name"},
   [](State& s, const Fields& f) { return s.groups.rename(f); }},
  {"removeGroup", kCommonPath, "api.common.group.set.delete", {"group_key"},
   [](State& s, const Fields& f) { return s.groups.remove(f); }},
  {"addGroupMember", kCommonPath, "api.common.group.set.object.add", {"group_key", "member_key"},
   [](State& s, const Fields& f) { return s.groups.addMember(f); }},
  {"removeGroupMember", kCommonPath, "api.common.group.set.object.delete",
   {"group_key", "member_key"}, [](State& s, const Fields& f) { return s.groups.removeMember(f); }},
}};
// clang-format on

std::string_view SandboxService::operationOf(std::string_view path, std::string_view body) {
  std::string action;
  if (path == kCommonPath) {
    for (const auto& [name, value] : parseForm(body)) {
      if (name == "api") action = value;
    }
  }
  const State::Route* route = State::find(path, action);
  return route == nullptr ? std::string_view() : route->operation;
}

bool SandboxService::isOperation(std::string_view name) {
  return std::any_of(State::kRoutes.begin(), State::kRoutes.end(),
                     [&](const State::Route& route) { return route.operation == name; });
}

SandboxService::SandboxService(Options options) {
  if (options.clock == 0) {
    options.clock = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  }
  World world = seedWorld(options.seed, options.members, options.clock);
  state_ = std::make_unique<State>(std::move(options), std::move(world));
}

SandboxService::~SandboxService() = default;

std::vector<Group> SandboxService::groups() const { return state_->groups.snapshot(); }

void SandboxService::reset() { state_->groups.reset(); }

Reply SandboxService::handle(const std::string& method, const std::string& path,
                             const std::string& contentType, const std::string& body) noexcept {
  try {
    if (std::none_of(State::kRoutes.begin(), State::kRoutes.end(),
                     [&](const State::Route& route) { return route.path == path; })) {
      return fail("not_found", "no endpoint at " + echo(path), 404);
    }
    if (method != "POST") {
      Reply reply = fail("method_not_allowed", "only POST is served here", 405);
      reply.headers.emplace_back("Allow", "POST");
      return reply;
    }
    Fields fields;
    const Options& keys = state_->options;
    if (auto refusal = readSignedForm(contentType, body, keys.apiKey, keys.serverKey, fields)) {
      return std::move(*refusal);
    }
    std::string_view action;
    if (path == kCommonPath) {
      if (auto refusal = missing(fields, "api")) return std::move(*refusal);
      action = field(fields, "api");
    }
    const State::Route* route = State::find(path, action);
    if (route == nullptr) {
      return fail("unknown_action", "api " + echo(action) + " is not an action of this service");
    }
    std::optional<Reply> refusal;
    for (std::string_view name : route->fields) {
      if (!name.empty() && !refusal) refusal = missing(fields, name);
    }
    Reply reply = refusal ? std::move(*refusal) : route->run(*state_, fields);
    reply.action = std::string(route->action);
    return reply;
  } catch (const std::exception&) {
  } catch (...) {
  }
  // Only reached when memory ran out or a library call threw; still answer in the same shape.
  Reply reply;
  reply.status = 500;
  reply.outcome = "internal_error";
  reply.body =
      R"({"result":"fail","error":{"code":"internal_error","message":"the request failed"}})";
  return reply;
}

}  // namespace tavrello::sandbox
