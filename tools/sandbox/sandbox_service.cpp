#include "sandbox_service.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "sandbox_wire.hpp"

namespace tavrello::sandbox {
namespace {

using Json = nlohmann::ordered_json;  // keeps "result" first and fields in a fixed order
using Fields = std::map<std::string, std::string, std::less<>>;

// How much of a caller's text an error message repeats.
constexpr std::size_t kEchoBytes = 64;

std::string echo(std::string_view text) {
  std::string out = "\"";
  out.append(text.substr(0, kEchoBytes));
  if (text.size() > kEchoBytes) out.append("...");
  out.append("\"");
  return out;
}

// Texts from the client may be invalid UTF-8; the replacement handler keeps dump() from
// throwing on them.
std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Reply ok(Json data) {
  Reply reply;
  reply.outcome = "ok";
  reply.body = dump(Json{{"result", "ok"}, {"data", std::move(data)}});
  return reply;
}

Reply fail(std::string code, const std::string& message, int status = 200) {
  Reply reply;
  reply.status = status;
  reply.body =
      dump(Json{{"result", "fail"}, {"error", Json{{"code", code}, {"message", message}}}});
  reply.outcome = std::move(code);
  return reply;
}

Json locationJson(const Location& location) {
  return Json{
      {"latitude", location.latitude}, {"longitude", location.longitude}, {"time", location.time}};
}

const std::string& field(const Fields& fields, std::string_view name) {
  // Callers only ask for fields that the route table made sure are present.
  return fields.find(name)->second;
}

std::optional<Reply> checkGroupName(const std::string& name) {
  if (name.empty()) return fail("bad_group_name", "group_name is empty");
  if (name.size() > kMaxGroupNameBytes) {
    return fail("bad_group_name",
                "group_name is longer than " + std::to_string(kMaxGroupNameBytes) + " bytes");
  }
  if (!isValidUtf8(name)) return fail("bad_group_name", "group_name is not valid UTF-8");
  return std::nullopt;
}

std::string printable(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x21 && c <= 0x7e && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out.append("\\x").push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
  if (text.size() > limit) out.append("...");
  return out;
}

}  // namespace

struct SandboxService::State {
  Options options;
  World seeded;  // its groups are what reset() puts back
  std::vector<Member> members;
  std::unordered_map<std::string, std::size_t> memberIndex;

  mutable std::mutex mutex;  // guards groups and nextGroupNumber
  std::vector<StoredGroup> groups;
  std::uint64_t nextGroupNumber = 1;

  const std::size_t* findMember(const std::string& key) const {
    const auto it = memberIndex.find(key);
    return it == memberIndex.end() ? nullptr : &it->second;
  }

  // Callers hold `mutex`.
  std::vector<StoredGroup>::iterator findGroup(const std::string& key) {
    return std::find_if(groups.begin(), groups.end(),
                        [&](const StoredGroup& group) { return group.key == key; });
  }

  Reply unknownMember(const std::string& key) const {
    return fail("unknown_member", "no member has the key " + echo(key));
  }
  Reply unknownGroup(const std::string& key) const {
    return fail("unknown_group", "no group has the key " + echo(key));
  }

  // -- The three query endpoints ------------------------------------------------------------

  Reply lastLocation(const Fields& fields) {
    const std::string& key = field(fields, "member_key");
    const std::size_t* index = findMember(key);
    if (index == nullptr) return unknownMember(key);
    const Member& member = members[*index];
    return ok(Json{{"member_key", member.key},
                   {"name", member.name},
                   {"location", locationJson(member.track.back())}});
  }

  Reply locationList(const Fields& fields) {
    const std::string& key = field(fields, "member_key");
    const std::size_t* index = findMember(key);
    if (index == nullptr) return unknownMember(key);

    std::int64_t from = 0;
    std::int64_t to = 0;
    for (const auto& [name, out] : {std::pair<const char*, std::int64_t*>{"from_date", &from},
                                    std::pair<const char*, std::int64_t*>{"to_date", &to}}) {
      const std::string& text = field(fields, name);
      const NumberStatus status = parseSigned(text, *out);
      if (status != NumberStatus::kOk) {
        return fail("bad_time",
                    std::string(name) + " is not a whole number of Unix seconds: " + echo(text));
      }
    }
    if (from > to) return fail("window_reversed", "from_date is after to_date");
    // Two's-complement subtraction in unsigned arithmetic: exact since to >= from.
    if (static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) >
        static_cast<std::uint64_t>(kMaxWindowSeconds)) {
      return fail("window_too_long", "the window from from_date to to_date is over " +
                                         std::to_string(kMaxWindowSeconds) + " seconds");
    }

    const Member& member = members[*index];
    const auto byTime = [](const Location& location, std::int64_t t) { return location.time < t; };
    auto first = std::lower_bound(member.track.begin(), member.track.end(), from, byTime);
    Json points = Json::array();
    for (auto it = first; it != member.track.end() && it->time <= to; ++it) {
      points.push_back(locationJson(*it));
    }
    const std::size_t count = points.size();
    return ok(Json{{"member_key", member.key},
                   {"from_date", from},
                   {"to_date", to},
                   {"count", count},
                   {"locations", std::move(points)}});
  }

  Reply memberInfo(const Fields& fields) {
    const std::string& pageText = field(fields, "page");
    const std::string& sizeText = field(fields, "page_size");
    std::uint64_t page = 0;
    const NumberStatus pageStatus = parseUnsigned(pageText, page);
    if (pageStatus == NumberStatus::kNotANumber) {
      return fail("bad_page", "page is not a whole number: " + echo(pageText));
    }
    std::uint64_t pageSize = 0;
    if (parseUnsigned(sizeText, pageSize) != NumberStatus::kOk || pageSize < 1 ||
        pageSize > kMaxPageSize) {
      return fail("bad_page_size", "page_size must be a whole number from 1 to " +
                                       std::to_string(kMaxPageSize) + ": " + echo(sizeText));
    }
    const std::uint64_t total = members.size();
    const std::uint64_t pages = (total + pageSize - 1) / pageSize;
    if (pageStatus == NumberStatus::kOutOfRange || page < 1 || page > pages) {
      return fail("page_out_of_range",
                  "page " + echo(pageText) + " is not between 1 and " + std::to_string(pages));
    }

    Json list = Json::array();
    const std::uint64_t end = std::min(total, page * pageSize);
    for (std::uint64_t i = (page - 1) * pageSize; i < end; ++i) {
      const Member& member = members[static_cast<std::size_t>(i)];
      list.push_back(Json{{"member_key", member.key},
                          {"name", member.name},
                          {"last_location", locationJson(member.track.back())}});
    }
    return ok(Json{{"page", page},
                   {"page_size", pageSize},
                   {"total_members", total},
                   {"total_pages", pages},
                   {"members", std::move(list)}});
  }

  // -- The eight group actions ----------------------------------------------------------------

  Reply groupList(const Fields&) {
    const std::lock_guard<std::mutex> lock(mutex);
    Json list = Json::array();
    for (const StoredGroup& group : groups) {
      list.push_back(Json{{"group_key", group.key},
                          {"group_name", group.name},
                          {"member_count", group.members.size()}});
    }
    return ok(Json{{"groups", std::move(list)}});
  }

  Reply groupsOfMember(const Fields& fields) {
    const std::string& key = field(fields, "member_key");
    const std::size_t* index = findMember(key);
    if (index == nullptr) return unknownMember(key);
    const std::lock_guard<std::mutex> lock(mutex);
    Json list = Json::array();
    for (const StoredGroup& group : groups) {
      if (group.members.count(*index) != 0) {
        list.push_back(Json{{"group_key", group.key}, {"group_name", group.name}});
      }
    }
    return ok(Json{{"member_key", key}, {"groups", std::move(list)}});
  }

  Reply membersOfGroup(const Fields& fields) {
    const std::string& key = field(fields, "group_key");
    const std::lock_guard<std::mutex> lock(mutex);
    const auto group = findGroup(key);
    if (group == groups.end()) return unknownGroup(key);
    Json list = Json::array();
    for (const std::size_t index : group->members) {
      list.push_back(Json{{"member_key", members[index].key}, {"name", members[index].name}});
    }
    return ok(
        Json{{"group_key", group->key}, {"group_name", group->name}, {"members", std::move(list)}});
  }

  Reply createGroup(const Fields& fields) {
    const std::string& name = field(fields, "group_name");
    if (auto refusal = checkGroupName(name)) return std::move(*refusal);
    const std::lock_guard<std::mutex> lock(mutex);
    if (groups.size() >= kMaxGroups) {
      return fail("group_limit",
                  "the sandbox holds at most " + std::to_string(kMaxGroups) + " groups");
    }
    StoredGroup group;
    group.key = groupKey(nextGroupNumber++);
    group.name = name;
    groups.push_back(std::move(group));
    return ok(Json{{"group_key", groups.back().key}, {"group_name", groups.back().name}});
  }

  Reply renameGroup(const Fields& fields) {
    const std::string& key = field(fields, "group_key");
    const std::string& name = field(fields, "group_name");
    const std::lock_guard<std::mutex> lock(mutex);
    const auto group = findGroup(key);
    if (group == groups.end()) return unknownGroup(key);
    if (auto refusal = checkGroupName(name)) return std::move(*refusal);
    group->name = name;
    return ok(Json{{"group_key", group->key}, {"group_name", group->name}});
  }

  Reply deleteGroup(const Fields& fields) {
    const std::string& key = field(fields, "group_key");
    const std::lock_guard<std::mutex> lock(mutex);
    const auto group = findGroup(key);
    if (group == groups.end()) return unknownGroup(key);
    groups.erase(group);
    return ok(Json{{"group_key", key}});
  }

  Reply changeMembership(const Fields& fields, bool add) {
    const std::string& groupKeyText = field(fields, "group_key");
    const std::string& memberKeyText = field(fields, "member_key");
    const std::lock_guard<std::mutex> lock(mutex);
    const auto group = findGroup(groupKeyText);
    if (group == groups.end()) return unknownGroup(groupKeyText);
    const std::size_t* index = findMember(memberKeyText);
    if (index == nullptr) return unknownMember(memberKeyText);
    const bool present = group->members.count(*index) != 0;
    if (add && present) {
      return fail("already_in_group",
                  "member " + echo(memberKeyText) + " is already in group " + echo(group->key));
    }
    if (!add && !present) {
      return fail("not_in_group",
                  "member " + echo(memberKeyText) + " is not in group " + echo(group->key));
    }
    if (add) {
      group->members.insert(*index);
    } else {
      group->members.erase(*index);
    }
    return ok(Json{{"group_key", group->key},
                   {"member_key", members[*index].key},
                   {"member_count", group->members.size()}});
  }
  Reply addMember(const Fields& fields) { return changeMembership(fields, true); }
  Reply removeMember(const Fields& fields) { return changeMembership(fields, false); }

  // One row per thing the service does: the client operation it serves, the path, the
  // action code (group actions only), the fields it needs beyond the signed three, and the
  // member function that answers it.
  struct Route {
    std::string_view operation;
    std::string_view path;
    std::string_view action;
    std::array<std::string_view, 3> fields;
    Reply (State::*run)(const Fields&);
  };
  static const std::array<Route, 11> kRoutes;
  static bool knownPath(std::string_view path);
};

// clang-format off
const std::array<SandboxService::State::Route, 11> SandboxService::State::kRoutes = {{
  {"getLastData", kLastLocationPath, "", {"member_key"}, &State::lastLocation},
  {"getDataBetween24Hours", kLocationListPath, "", {"member_key", "from_date", "to_date"},
   &State::locationList},
  {"getObjectsData", kMemberInfoPath, "", {"page", "page_size"}, &State::memberInfo},
  {"getGroups", kCommonPath, "api.common.group.get.list", {}, &State::groupList},
  {"getGroupsWithObject", kCommonPath, "api.common.group.get.object.group.list", {"member_key"},
   &State::groupsOfMember},
  {"getGroupMembers", kCommonPath, "api.common.group.get.group.object.list", {"group_key"},
   &State::membersOfGroup},
  {"createGroup", kCommonPath, "api.common.group.set.add", {"group_name"}, &State::createGroup},
  {"editGroupName", kCommonPath, "api.common.group.set.modify", {"group_key", "group_name"},
   &State::renameGroup},
  {"removeGroup", kCommonPath, "api.common.group.set.delete", {"group_key"}, &State::deleteGroup},
  {"addGroupMember", kCommonPath, "api.common.group.set.object.add", {"group_key", "member_key"},
   &State::addMember},
  {"removeGroupMember", kCommonPath, "api.common.group.set.object.delete",
   {"group_key", "member_key"}, &State::removeMember},
}};
// clang-format on

bool SandboxService::State::knownPath(std::string_view path) {
  return std::any_of(kRoutes.begin(), kRoutes.end(),
                     [&](const Route& route) { return route.path == path; });
}

std::string_view SandboxService::operationOf(std::string_view path, std::string_view body) {
  std::string action;
  if (path == kCommonPath) {
    for (const FormField& field : parseForm(body)) {
      if (field.first == "api") action = field.second;
    }
  }
  for (const State::Route& route : State::kRoutes) {
    if (route.path == path && route.action == action) return route.operation;
  }
  return {};
}

bool SandboxService::isOperation(std::string_view name) {
  return std::any_of(State::kRoutes.begin(), State::kRoutes.end(),
                     [&](const State::Route& route) { return route.operation == name; });
}

namespace {

std::optional<Reply> missing(const Fields& fields, std::string_view name) {
  if (fields.find(name) != fields.end()) return std::nullopt;
  return fail("missing_field", "the request has no " + std::string(name) + " field");
}

}  // namespace

SandboxService::SandboxService(Options options) : state_(std::make_unique<State>()) {
  if (options.clock == 0) {
    options.clock = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  }
  state_->seeded = seedWorld(options.seed, options.members, options.clock);
  state_->options = std::move(options);
  state_->members = std::move(state_->seeded.members);
  for (std::size_t i = 0; i < state_->members.size(); ++i) {
    state_->memberIndex.emplace(state_->members[i].key, i);
  }
  reset();
}

SandboxService::~SandboxService() = default;

const Options& SandboxService::options() const { return state_->options; }

const std::vector<Member>& SandboxService::members() const { return state_->members; }

std::vector<Group> SandboxService::groups() const {
  std::vector<Group> groups;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  for (const StoredGroup& stored : state_->groups) {
    Group& group = groups.emplace_back(Group{stored.key, stored.name, {}});
    for (const std::size_t index : stored.members) {
      group.memberKeys.push_back(state_->members[index].key);
    }
  }
  return groups;
}

void SandboxService::reset() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->groups = state_->seeded.groups;
  state_->nextGroupNumber = state_->seeded.nextGroupNumber;
}

Reply SandboxService::handle(const std::string& method, const std::string& path,
                             const std::string& contentType, const std::string& body) noexcept {
  try {
    if (!State::knownPath(path)) return fail("not_found", "no endpoint at " + echo(path), 404);
    if (method != "POST") {
      Reply reply = fail("method_not_allowed", "only POST is served here", 405);
      reply.headers.emplace_back("Allow", "POST");
      return reply;
    }
    if (!isFormContentType(contentType)) {
      return fail("bad_content_type",
                  "the body must be application/x-www-form-urlencoded, not " + echo(contentType));
    }

    Fields fields;
    for (auto& [name, value] : parseForm(body)) {
      if (fields.find(name) != fields.end()) {
        return fail("duplicate_field", "the field " + echo(name) + " appears more than once");
      }
      fields.emplace(std::move(name), std::move(value));
    }

    // The signature: api_key known, timestamp in decimal seconds, cert_key its digest.
    for (std::string_view name : {"api_key", "timestamp", "cert_key"}) {
      if (auto refusal = missing(fields, name)) return std::move(*refusal);
    }
    const Options& config = state_->options;
    if (!sameSecret(field(fields, "api_key"), config.apiKey)) {
      return fail("unknown_api_key", "the api_key is not known here");
    }
    const std::string& timestamp = field(fields, "timestamp");
    if (!isDecimalSeconds(timestamp)) {
      return fail("bad_timestamp",
                  "timestamp is not decimal seconds since 1970: " + echo(timestamp));
    }
    if (!sameSecret(field(fields, "cert_key"),
                    certKey(timestamp, config.apiKey, config.serverKey))) {
      return fail("bad_signature",
                  "cert_key is not the SHA-1 of timestamp|api_key|server_key in lower-case hex");
    }

    std::string_view action;
    if (path == kCommonPath) {
      if (auto refusal = missing(fields, "api")) return std::move(*refusal);
      action = field(fields, "api");
    }
    const auto route =
        std::find_if(State::kRoutes.begin(), State::kRoutes.end(),
                     [&](const auto& r) { return r.path == path && r.action == action; });
    if (route == State::kRoutes.end()) {
      return fail("unknown_action", "api " + echo(action) + " is not an action of this service");
    }
    for (std::string_view name : route->fields) {
      if (name.empty()) break;
      if (auto refusal = missing(fields, name)) {
        refusal->action = std::string(route->action);
        return std::move(*refusal);
      }
    }
    Reply reply = (state_.get()->*(route->run))(fields);
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

std::string logLine(std::string_view method, std::string_view path, const Reply& reply) {
  std::string line = printable(method, 16);
  line.append(" ").append(printable(path, 80));
  if (!reply.action.empty()) line.append(" ").append(reply.action);
  line.append(" ").append(std::to_string(reply.status)).append(" ").append(reply.outcome);
  return line;
}

}  // namespace tavrello::sandbox
