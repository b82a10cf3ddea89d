// Injection attempts through every string argument of every operation: the
// value reaches a standard form parser exactly as given, as one field, and
// the sandbox treats it as data (a refusal about that value at worst, never
// a changed action, a split field or a broken signature).
#include <gtest/gtest.h>

#include <tavrello/tavrello.hpp>

#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "e2e_support.hpp"
#include "sandbox_wire.hpp"
#include "support/loopback_server.hpp"

namespace {

using tavrello::CompletionHandler;
using tavrello::TavrelloAPI;
using tavrello::TavrelloResult;
using Args = std::vector<std::string>;

struct Operation {
  const char* name;
  const char* fields;  // the request field of each argument, separated by spaces
  std::function<void(TavrelloAPI&, const Args&, CompletionHandler)> call;
};

// clang-format off
#define OPERATION(method, fields, ...) \
  {#method, fields, [](TavrelloAPI& a, const Args& v, CompletionHandler h) { a.method(__VA_ARGS__, h); }}
// clang-format on
const Operation kOperations[] = {
    OPERATION(getLastData, "member_key", v[0]),
    OPERATION(getDataBetween24Hours, "member_key from_date to_date", v[0], v[1], v[2]),
    OPERATION(getObjectsData, "page", v[0]),
    OPERATION(getGroupsWithObject, "member_key", v[0]),
    OPERATION(getGroupMembers, "group_key", v[0]),
    OPERATION(createGroup, "group_name", v[0]),
    OPERATION(editGroupName, "group_key group_name", v[0], v[1]),
    OPERATION(removeGroup, "group_key", v[0]),
    OPERATION(addGroupMember, "group_key member_key", v[0], v[1]),
    OPERATION(removeGroupMember, "group_key member_key", v[0], v[1]),
};

// A value of each field that the sandbox accepts.
const std::map<std::string, std::string> kValid = {
    {"member_key", "m-0001"}, {"from_date", "1699996400"}, {"to_date", "1700000000"}, {"page", "1"},
    {"group_key", "g-002"},   {"group_name", "Renamed"}};

const std::string kPayloads[] = {"&",
                                 "=",
                                 "%00",
                                 std::string("nul\0byte", 8),
                                 "%26api=api.common.group.set.delete",
                                 "x&api=api.common.group.set.delete&group_key=g-001",
                                 "a\r\nX-Injected: 1\r\n\r\n",
                                 std::string(1 << 20, 'v') + "&api=api.common.group.get.list"};

// The refusals that say "this value is wrong": anything else (a missing or
// duplicated field, an unknown action, a bad signature) would mean the value
// changed the request itself.
const std::set<std::string> kValueRefusals = {
    "unknown_member",  "unknown_group",   "bad_time",         "bad_page",    "bad_group_name",
    "window_reversed", "window_too_long", "already_in_group", "not_in_group"};

// Runs one operation and the main queue until its result arrives.
std::shared_ptr<TavrelloResult> call(const std::function<void(CompletionHandler)>& start) {
  std::shared_ptr<TavrelloResult> result;
  start([&](std::shared_ptr<TavrelloResult> r) { result = r; });
  tavrello::MainQueue::shared().runUntil([&] { return result != nullptr; },
                                         std::chrono::seconds(30));
  return result;
}

nlohmann::json replyOf(const TavrelloResult& result) {
  const auto& bytes = result.response();
  return e2e::parseJson(bytes ? std::string(bytes->begin(), bytes->end()) : std::string());
}

// Calls every operation with each payload in place of each of its arguments in turn, and
// hands `check` the result (the exchange must have succeeded), that argument's request field
// and the payload.
void forEachInjection(const std::function<void(const TavrelloResult&, const std::string&,
                                               const std::string&)>& check) {
  TavrelloAPI::shared().setApiKey(e2e::kApiKey);
  TavrelloAPI::shared().setServerKey(e2e::kServerKey);
  for (const Operation& op : kOperations) {
    Args fields, valid;
    std::istringstream names(op.fields);
    for (std::string name; names >> name;) fields.push_back(name), valid.push_back(kValid.at(name));
    for (std::size_t position = 0; position < fields.size(); ++position) {
      for (const auto& payload : kPayloads) {
        SCOPED_TRACE(std::string(op.name) + " argument " + std::to_string(position) + ": " +
                     ::testing::PrintToString(payload.substr(0, 60)));
        Args args = valid;
        args[position] = payload;
        const auto result = call([&](auto done) { op.call(TavrelloAPI::shared(), args, done); });
        ASSERT_TRUE(result);
        ASSERT_EQ(result->result(), "ok");
        check(*result, fields[position], payload);
      }
    }
  }
}

class Injection : public e2e::SandboxTest {};

TEST_F(Injection, EveryArgumentArrivesExactlyAsOneField) {
  tavrello::testing::LoopbackServer server;
  ASSERT_TRUE(server.start());
  TavrelloAPI::shared().setServiceHost(server.hostAndPort());
  forEachInjection(
      [&](const TavrelloResult&, const std::string& field, const std::string& payload) {
        const auto requests = server.requests();
        server.clear();
        ASSERT_EQ(requests.size(), 1u);
        // Split at "&" and the first "=", then "+" and %XX decoded, nothing trimmed (the
        // sandbox's parser, which has tests of its own): every field once, the payload whole.
        std::map<std::string, int> seen;
        std::string value = "<missing>";
        for (const auto& [name, decoded] : tavrello::sandbox::parseForm(requests[0].body)) {
          EXPECT_EQ(++seen[name], 1) << name << " sent twice";
          if (name == field) value = decoded;
        }
        EXPECT_EQ(value, payload);
        // Only the group endpoint carries an action, and never a second one.
        EXPECT_EQ(seen.count("api"), requests[0].target == "/api.partner.common.php" ? 1u : 0u);
        // cpp-httplib's parser finds the field too, as long as the payload.
        EXPECT_EQ(requests[0].field(field).value_or("<missing>").size(), payload.size());
      });
}

TEST_F(Injection, TheSandboxTreatsEveryArgumentAsData) {
  TavrelloAPI::shared().setServiceHost(sandbox_.host());
  forEachInjection(
      [&](const TavrelloResult& result, const std::string& field, const std::string& payload) {
        const auto reply = replyOf(result);
        if (reply.value("result", "") == "ok") {
          // Accepted: only a group name can be, and it is stored exactly.
          ASSERT_EQ(field, "group_name");
          EXPECT_EQ(reply.value("/data/group_name"_json_pointer, ""), payload);
        } else {
          const std::string code = reply.value("/error/code"_json_pointer, "");
          EXPECT_EQ(kValueRefusals.count(code), 1u) << code;
        }
      });
  // No injected action ran: every seeded group still exists (renaming keeps the key).
  const auto groups = call([](auto done) { TavrelloAPI::shared().getGroups(done); });
  ASSERT_TRUE(groups);
  const std::string listed = replyOf(*groups).dump();
  for (const std::string key : {"g-001", "g-002", "g-003", "g-004", "g-005"}) {
    EXPECT_NE(listed.find("\"group_key\":\"" + key + "\""), std::string::npos) << key;
  }
}

}  // namespace
