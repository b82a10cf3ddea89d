// Injection attempts through every string argument of every operation: the
// value reaches a standard form parser exactly as given, as one field, and
// the sandbox treats it as data (a refusal about that value at worst, never
// a changed action, a split field or a broken signature).
#include <gtest/gtest.h>

#include <tavrello/tavrello.hpp>

#include <functional>
#include <set>

#include "e2e_fixture.hpp"
#include "support/loopback_server.hpp"

namespace {

using namespace std::chrono_literals;
using tavrello::CompletionHandler;
using tavrello::TavrelloAPI;
using tavrello::TavrelloResult;
using Args = std::vector<std::string>;

struct Operation {
  const char* name;
  Args valid;  // arguments the sandbox accepts
  std::function<void(TavrelloAPI&, const Args&, CompletionHandler)> call;
  std::vector<const char*> fields;  // the request field of each argument
};

std::vector<Operation> operations() {
  const std::string end = "1700000000", start = "1699996400";
  return {
      {"getLastData",
       {"m-0001"},
       [](auto& a, auto& v, auto h) { a.getLastData(v[0], h); },
       {"member_key"}},
      {"getDataBetween24Hours",
       {"m-0001", start, end},
       [](auto& a, auto& v, auto h) { a.getDataBetween24Hours(v[0], v[1], v[2], h); },
       {"member_key", "from_date", "to_date"}},
      {"getObjectsData",
       {"1"},
       [](auto& a, auto& v, auto h) { a.getObjectsData(v[0], h); },
       {"page"}},
      {"getGroupsWithObject",
       {"m-0001"},
       [](auto& a, auto& v, auto h) { a.getGroupsWithObject(v[0], h); },
       {"member_key"}},
      {"getGroupMembers",
       {"g-001"},
       [](auto& a, auto& v, auto h) { a.getGroupMembers(v[0], h); },
       {"group_key"}},
      {"createGroup",
       {"Injected"},
       [](auto& a, auto& v, auto h) { a.createGroup(v[0], h); },
       {"group_name"}},
      {"editGroupName",
       {"g-001", "Renamed"},
       [](auto& a, auto& v, auto h) { a.editGroupName(v[0], v[1], h); },
       {"group_key", "group_name"}},
      {"removeGroup",
       {"g-999"},
       [](auto& a, auto& v, auto h) { a.removeGroup(v[0], h); },
       {"group_key"}},
      {"addGroupMember",
       {"g-002", "m-0001"},
       [](auto& a, auto& v, auto h) { a.addGroupMember(v[0], v[1], h); },
       {"group_key", "member_key"}},
      {"removeGroupMember",
       {"g-002", "m-0001"},
       [](auto& a, auto& v, auto h) { a.removeGroupMember(v[0], v[1], h); },
       {"group_key", "member_key"}},
  };
}

const std::vector<std::string>& payloads() {
  static const std::vector<std::string> values = {
      "&",
      "=",
      "%00",
      std::string("nul\0byte", 8),
      "%26api=api.common.group.set.delete",
      "x&api=api.common.group.set.delete&group_key=g-001",
      "a\r\nX-Injected: 1\r\n\r\n",
      std::string(1 << 20, 'v') + "&api=api.common.group.get.list",
  };
  return values;
}

// The refusals that say "this value is wrong": anything else (a missing or
// duplicated field, an unknown action, a bad signature) would mean the value
// changed the request itself.
const std::set<std::string> kValueRefusals = {
    "unknown_member",  "unknown_group",   "bad_time",         "bad_page",    "bad_group_name",
    "window_reversed", "window_too_long", "already_in_group", "not_in_group"};

std::shared_ptr<TavrelloResult> call(const Operation& op, const Args& args) {
  std::shared_ptr<TavrelloResult> result;
  op.call(TavrelloAPI::shared(), args, [&](std::shared_ptr<TavrelloResult> r) { result = r; });
  tavrello::MainQueue::shared().runUntil([&] { return result != nullptr; }, 30s);
  return result;
}

std::string body(const TavrelloResult& result) {
  return result.response() ? std::string(result.response()->begin(), result.response()->end())
                           : std::string();
}

class Injection : public e2e::SandboxTest {
 protected:
  void SetUp() override {
    e2e::SandboxTest::SetUp();
    TavrelloAPI::shared().setApiKey(e2e::kApiKey);
    TavrelloAPI::shared().setServerKey(e2e::kServerKey);
  }
};

TEST_F(Injection, EveryArgumentArrivesExactlyAsOneField) {
  tavrello::testing::LoopbackServer server;
  ASSERT_TRUE(server.start());
  TavrelloAPI::shared().setServiceHost(server.hostAndPort());
  for (const auto& op : operations()) {
    for (std::size_t position = 0; position < op.valid.size(); ++position) {
      for (const auto& payload : payloads()) {
        SCOPED_TRACE(std::string(op.name) + " argument " + std::to_string(position) + ": " +
                     ::testing::PrintToString(payload.substr(0, 60)));
        Args args = op.valid;
        args[position] = payload;
        server.clear();
        auto result = call(op, args);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->result(), "ok");
        const auto request = server.requests().at(0);
        // Split at "&" and the first "=", then percent-decoded: every field once.
        std::map<std::string, int> seen;
        std::string value;
        std::size_t start = 0;
        while (start <= request.body.size()) {
          std::size_t end = request.body.find('&', start);
          if (end == std::string::npos) end = request.body.size();
          const std::string field = request.body.substr(start, end - start);
          const std::string name = field.substr(0, field.find('='));
          ++seen[name];
          if (name == op.fields[position]) value = field.substr(field.find('=') + 1);
          start = end + 1;
        }
        for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
        // Only the group endpoint carries an action, and never a second one.
        const bool groupEndpoint = request.target == "/api.partner.common.php";
        EXPECT_EQ(seen.count("api"), groupEndpoint ? 1u : 0u);
        EXPECT_EQ(request.field(op.fields[position]).value_or("<missing>").size(), payload.size());
        // A parser that does not trim gives the value back byte for byte.
        std::string decoded;
        for (std::size_t i = 0; i < value.size(); ++i) {
          if (value[i] == '%' && i + 2 < value.size()) {
            decoded += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
          } else {
            decoded += value[i] == '+' ? ' ' : value[i];
          }
        }
        EXPECT_EQ(decoded, payload);
      }
    }
  }
}

TEST_F(Injection, TheSandboxTreatsEveryArgumentAsData) {
  TavrelloAPI::shared().setServiceHost(sandbox_.host());
  for (const auto& op : operations()) {
    for (std::size_t position = 0; position < op.valid.size(); ++position) {
      for (const auto& payload : payloads()) {
        SCOPED_TRACE(std::string(op.name) + " argument " + std::to_string(position) + ": " +
                     ::testing::PrintToString(payload.substr(0, 60)));
        Args args = op.valid;
        args[position] = payload;
        auto result = call(op, args);
        ASSERT_TRUE(result);
        ASSERT_EQ(result->result(), "ok");
        const auto reply = e2e::parseJson(body(*result));
        if (reply.value("result", "") == "ok") {
          // Accepted: only a group name can be, and it is stored exactly.
          ASSERT_STREQ(op.fields[position], "group_name");
          EXPECT_EQ(reply["data"]["group_name"].get<std::string>(), payload);
        } else {
          const std::string code = reply["error"]["code"].get<std::string>();
          EXPECT_EQ(kValueRefusals.count(code), 1u) << code;
        }
      }
    }
  }
  // No injected action ran: every seeded group still exists (renaming keeps the key).
  std::shared_ptr<TavrelloResult> groups;
  TavrelloAPI::shared().getGroups([&](auto r) { groups = r; });
  ASSERT_TRUE(tavrello::MainQueue::shared().runUntil([&] { return groups != nullptr; }, 30s));
  std::set<std::string> keys;
  const auto listed = e2e::parseJson(body(*groups));
  for (const auto& group : listed["data"]["groups"]) {
    keys.insert(group["group_key"].get<std::string>());
  }
  for (const char* key : {"g-001", "g-002", "g-003", "g-004", "g-005"}) {
    EXPECT_EQ(keys.count(key), 1u) << key;
  }
}

}  // namespace
