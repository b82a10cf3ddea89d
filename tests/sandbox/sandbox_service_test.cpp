// The sandbox service's request handler, called without a socket.
#include "sandbox_service.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <thread>

#include "sandbox_test_support.hpp"

namespace tavrello::sandbox {
namespace {

using nlohmann::json;
using sandbox_test::FieldList;
using sandbox_test::formBody;
using sandbox_test::sign;
using sandbox_test::signedFields;

constexpr std::int64_t kStart = 1700000000;
const std::string kForm = "application/x-www-form-urlencoded";
const std::string kCommon(kCommonPath);
const std::string kMembers(kMemberInfoPath);

Config testConfig(std::uint64_t seed = kDefaultSeed) {
  Config config;
  config.apiKey = sandbox_test::kApiKey;
  config.serverKey = sandbox_test::kServerKey;
  config.seed = seed;
  config.startTime = kStart;
  return config;
}

class SandboxServiceTest : public ::testing::Test {
 protected:
  // Posts `body` as is; every 200 reply must be JSON in the documented shape.
  json postRaw(std::string_view path, const std::string& body) {
    const Reply reply = service_.handle("POST", std::string(path), kForm, body);
    EXPECT_EQ(reply.status, 200);
    json parsed = json::parse(reply.body);
    EXPECT_EQ(parsed.at("result") == "ok", reply.outcome == "ok");
    return parsed;
  }
  json post(std::string_view path, FieldList extra) {
    return postRaw(path, formBody(signedFields(std::move(extra))));
  }
  json group(const std::string& action, FieldList extra = {}) {
    extra.insert(extra.begin(), {"api", action});
    return post(kCommonPath, std::move(extra));
  }
  static std::string code(const json& reply) {
    return reply.at("result") == "ok" ? "ok" : reply.at("error").at("code").get<std::string>();
  }
  // The keys in data[list][*][key] of a reply.
  static std::vector<std::string> keys(const json& reply, const char* list, const char* key) {
    std::vector<std::string> out;
    for (const json& item : reply.at("data").at(list)) out.push_back(item.at(key));
    return out;
  }
  bool listedBothWays(const std::string& groupKey, const std::string& memberKey) {
    const auto members =
        keys(group("api.common.group.get.group.object.list", {{"group_key", groupKey}}), "members",
             "member_key");
    const auto groups =
        keys(group("api.common.group.get.object.group.list", {{"member_key", memberKey}}), "groups",
             "group_key");
    const bool inMembers = std::count(members.begin(), members.end(), memberKey) == 1;
    const bool inGroups = std::count(groups.begin(), groups.end(), groupKey) == 1;
    EXPECT_EQ(inMembers, inGroups) << groupKey << " " << memberKey;
    return inMembers;
  }

  SandboxService service_{testConfig()};
};

TEST_F(SandboxServiceTest, SignatureChecks) {
  const std::string ts = sandbox_test::kTimestamp;
  const std::string key = sandbox_test::kApiKey;
  const std::string good = sign(ts, key, sandbox_test::kServerKey);
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    FieldList fields;
    const char* code;
  };
  const Case cases[] = {
      {"good", {{"api_key", key}, {"timestamp", ts}, {"cert_key", good}}, "ok"},
      {"wrong server key",
       {{"api_key", key}, {"timestamp", ts}, {"cert_key", sign(ts, key, "other")}},
       "bad_signature"},
      {"tampered timestamp",
       {{"api_key", key}, {"timestamp", "1700000001.25"}, {"cert_key", good}},
       "bad_signature"},
      {"upper-case digest",
       {{"api_key", key}, {"timestamp", ts}, {"cert_key", upper}},
       "bad_signature"},
      {"missing cert_key", {{"api_key", key}, {"timestamp", ts}}, "missing_field"},
      {"missing timestamp", {{"api_key", key}, {"cert_key", good}}, "missing_field"},
      {"unknown api key",
       {{"api_key", "other"},
        {"timestamp", ts},
        {"cert_key", sign(ts, "other", sandbox_test::kServerKey)}},
       "unknown_api_key"},
      {"unset timestamp marker",
       {{"api_key", key},
        {"timestamp", "n"},
        {"cert_key", sign("n", key, sandbox_test::kServerKey)}},
       "bad_timestamp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FieldList fields = c.fields;
    fields.emplace_back("member_key", "m-0001");
    EXPECT_EQ(code(postRaw(kLastLocationPath, formBody(fields))), c.code);
  }
}

TEST_F(SandboxServiceTest, RefusesMalformedRequests) {
  const std::string body = formBody(signedFields({{"api", "api.common.group.get.list"}}));
  const Reply notFound = service_.handle("POST", kCommon + "/", kForm, body);
  EXPECT_EQ(notFound.status, 404);
  EXPECT_EQ(json::parse(notFound.body).at("error").at("code"), "not_found");
  const Reply wrongMethod = service_.handle("GET", kCommon, kForm, body);
  EXPECT_EQ(wrongMethod.status, 405);
  EXPECT_EQ(wrongMethod.headers, (decltype(wrongMethod.headers){{"Allow", "POST"}}));
  EXPECT_EQ(service_.handle("POST", kCommon, "application/json", body).outcome, "bad_content_type");
  EXPECT_EQ(service_.handle("POST", kCommon, kForm + "; charset=UTF-8", body).outcome, "ok");

  // A repeat is refused even with the same value (a lenient parser would drop it).
  EXPECT_EQ(code(postRaw(kCommon, body + "&api=api.common.group.get.list")), "duplicate_field");
  EXPECT_EQ(code(postRaw(kCommon, body + "&api_key=" + sandbox_test::kApiKey)), "duplicate_field");
  EXPECT_EQ(code(post(kCommon, {})), "missing_field");
  EXPECT_EQ(code(group("api.common.group.get.nothing")), "unknown_action");
  EXPECT_EQ(code(group("")), "unknown_action");
  EXPECT_EQ(code(group("api.common.group.set.modify", {{"group_key", "g-001"}})), "missing_field");
  EXPECT_EQ(code(post(kLastLocationPath, {})), "missing_field");
  EXPECT_EQ(code(post(kLastLocationPath, {{"member_key", ""}})), "unknown_member");
  EXPECT_EQ(code(post(kLastLocationPath, {{"member_key", "m-9999"}})), "unknown_member");
  EXPECT_EQ(code(post(kLastLocationPath, {{"member_key", "m-0001"}, {"extra", "1"}})), "ok");
}

TEST_F(SandboxServiceTest, SeededWorldIsDeterministicAndPlausible) {
  const auto& members = service_.members();
  ASSERT_GE(members.size(), 250u);
  EXPECT_EQ(members.front().key, "m-0001");
  for (const Member& member : members) {
    ASSERT_FALSE(member.track.empty());
    EXPECT_LT(member.track.front().time, kStart - kTrackSeconds + kMinStepSeconds);
    EXPECT_GE(member.track.front().time, kStart - kTrackSeconds);
    EXPECT_LE(member.track.back().time, kStart);
    for (std::size_t i = 1; i < member.track.size(); ++i) {
      const Location& a = member.track[i - 1];
      const Location& b = member.track[i];
      ASSERT_GE(b.time - a.time, kMinStepSeconds);
      ASSERT_LE(b.time - a.time, kMaxStepSeconds);
      // Smooth: no jump of more than a few kilometres between neighbouring points.
      ASSERT_LT(std::abs(b.latitude - a.latitude) + std::abs(b.longitude - a.longitude), 0.08);
    }
  }
  const std::string body = formBody(signedFields({{"page", "2"}, {"page_size", "100"}}));
  const std::string first = service_.handle("POST", kMembers, kForm, body).body;
  EXPECT_EQ(SandboxService(testConfig()).handle("POST", kMembers, kForm, body).body, first);
  EXPECT_NE(SandboxService(testConfig(7)).handle("POST", kMembers, kForm, body).body, first);

  const json last = post(kLastLocationPath, {{"member_key", "m-0042"}});
  EXPECT_EQ(last.at("data").at("location").at("time"), members[41].track.back().time);
}

TEST_F(SandboxServiceTest, PagesCoverAllMembersOnce) {
  std::vector<std::string> seen;
  for (int page = 1; page <= 3; ++page) {
    const json reply = post(kMembers, {{"page", std::to_string(page)}, {"page_size", "100"}});
    ASSERT_EQ(code(reply), "ok") << page;
    EXPECT_EQ(reply.at("data").at("total_pages"), 3);
    for (const std::string& key : keys(reply, "members", "member_key")) seen.push_back(key);
  }
  ASSERT_EQ(seen.size(), service_.members().size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], service_.members()[i].key);
  // 260 = 37 * 7 + 1
  EXPECT_EQ(post(kMembers, {{"page", "38"}, {"page_size", "7"}}).at("data").at("members").size(),
            1u);

  const std::pair<const char*, const char*> refused[] = {
      {"0", "page_out_of_range"},
      {"4", "page_out_of_range"},
      {"99999999999999999999", "page_out_of_range"},
      {"", "bad_page"},
      {"x", "bad_page"},
      {"-1", "bad_page"},
      {"1.0", "bad_page"},
  };
  for (const auto& [page, expected] : refused) {
    EXPECT_EQ(code(post(kMembers, {{"page", page}, {"page_size", "100"}})), expected) << page;
  }
  for (const char* size : {"0", "101", "", "ten"}) {
    EXPECT_EQ(code(post(kMembers, {{"page", "1"}, {"page_size", size}})), "bad_page_size") << size;
  }
}

TEST_F(SandboxServiceTest, LocationWindowIsAtMost24Hours) {
  const Member& member = service_.members()[7];
  auto list = [&](auto from, auto to) {
    return post(kLocationListPath, {{"member_key", member.key},
                                    {"from_date", std::to_string(from)},
                                    {"to_date", std::to_string(to)}});
  };
  // Both ends are inclusive: a window starting on a point keeps it.
  const std::int64_t from = member.track[10].time;
  const std::int64_t to = from + kMaxWindowSeconds;
  const json day = list(from, to);
  ASSERT_EQ(code(day), "ok");
  const json& points = day.at("data").at("locations");
  EXPECT_EQ(points.front().at("time"), from);
  const auto inWindow =
      std::count_if(member.track.begin(), member.track.end(),
                    [&](const Location& l) { return l.time >= from && l.time <= to; });
  EXPECT_EQ(points.size(), static_cast<std::size_t>(inWindow));
  for (const json& p : points) {
    EXPECT_GE(p.at("time"), from);
    EXPECT_LE(p.at("time"), to);
  }
  EXPECT_EQ(list(from, from).at("data").at("count"), 1);
  EXPECT_EQ(list(kStart + 10, kStart + 20).at("data").at("count"), 0);

  EXPECT_EQ(code(list(from, to + 1)), "window_too_long");
  EXPECT_EQ(code(list(from + 1, from)), "window_reversed");
  EXPECT_EQ(code(list(INT64_MIN, INT64_MAX)), "window_too_long");  // no overflow
  for (const char* bad : {"", "1.5", "abc", " 1", "99999999999999999999"}) {
    EXPECT_EQ(code(post(kLocationListPath,
                        {{"member_key", member.key}, {"from_date", bad}, {"to_date", "1"}})),
              "bad_time")
        << bad;
  }
}

TEST_F(SandboxServiceTest, GroupLifecycle) {
  const json created = group("api.common.group.set.add", {{"group_name", "Drivers"}});
  const std::string key = created.at("data").at("group_key");
  EXPECT_EQ(key, "g-006");  // after the five seeded groups
  EXPECT_EQ(
      code(group("api.common.group.set.modify", {{"group_key", key}, {"group_name", "Vans"}})),
      "ok");
  const json all = group("api.common.group.get.list");
  EXPECT_EQ(keys(all, "groups", "group_key").back(), key);
  EXPECT_EQ(keys(all, "groups", "group_name").back(), "Vans");

  const FieldList pair = {{"group_key", key}, {"member_key", "m-0100"}};
  EXPECT_FALSE(listedBothWays(key, "m-0100"));
  EXPECT_EQ(code(group("api.common.group.set.object.add", pair)), "ok");
  EXPECT_TRUE(listedBothWays(key, "m-0100"));
  EXPECT_EQ(code(group("api.common.group.set.object.add", pair)), "already_in_group");
  EXPECT_EQ(code(group("api.common.group.set.object.delete", pair)), "ok");
  EXPECT_FALSE(listedBothWays(key, "m-0100"));
  EXPECT_EQ(code(group("api.common.group.set.object.delete", pair)), "not_in_group");
  EXPECT_EQ(
      code(group("api.common.group.set.object.add", {{"group_key", key}, {"member_key", "m-0"}})),
      "unknown_member");

  EXPECT_EQ(code(group("api.common.group.set.delete", {{"group_key", key}})), "ok");
  for (const char* action :
       {"api.common.group.set.delete", "api.common.group.get.group.object.list",
        "api.common.group.set.object.add", "api.common.group.set.modify"}) {
    EXPECT_EQ(
        code(group(action, {{"group_key", key}, {"member_key", "m-0100"}, {"group_name", "x"}})),
        "unknown_group")
        << action;
  }
  EXPECT_EQ(group("api.common.group.set.add", {{"group_name", "Again"}}).at("data").at("group_key"),
            "g-007");  // keys are never reused
}

TEST_F(SandboxServiceTest, GroupNamesAreStoredExactly) {
  for (const std::string& name : {std::string("a&b=c+d%e f"), std::string("  padded  "),
                                  std::string("Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"),
                                  std::string("%41%2B"), std::string(kMaxGroupNameBytes, 'x')}) {
    SCOPED_TRACE(name);
    const json created = group("api.common.group.set.add", {{"group_name", name}});
    const std::string key = created.at("data").at("group_key");
    EXPECT_EQ(group("api.common.group.get.group.object.list", {{"group_key", key}})
                  .at("data")
                  .at("group_name"),
              name);
  }
  // Unescaped spaces and UTF-8 bytes, as a client that escapes only "&=+%" sends them.
  const std::string raw = formBody(signedFields({{"api", "api.common.group.set.add"}})) +
                          "&group_name= Team \xc3\xa9t\xc3\xa9 ";
  EXPECT_EQ(postRaw(kCommon, raw).at("data").at("group_name"), " Team \xc3\xa9t\xc3\xa9 ");

  for (const std::string& bad : {std::string(), std::string(kMaxGroupNameBytes + 1, 'x'),
                                 std::string("\xff\xfe"), std::string("\xc3")}) {
    EXPECT_EQ(code(group("api.common.group.set.add", {{"group_name", bad}})), "bad_group_name");
  }
}

TEST_F(SandboxServiceTest, HostileInputGetsJsonRefusals) {
  const std::string prefix = formBody(signedFields({{"api", "api.common.group.set.add"}}));
  const std::string bodies[] = {
      "%",
      "%%%%",
      "&&&&",
      "====",
      std::string("\0\xff\x80=\x01", 5),
      prefix + "&group_name=" + std::string(1 << 20, 'a'),
      prefix + "&group_name=%" + std::string(1 << 20, '%'),
      "api_key=" + std::string(1 << 20, '\xff'),
  };
  for (const std::string& body : bodies) {
    for (const std::string& path : {kCommon, kMembers}) {
      EXPECT_EQ(postRaw(path, body).at("result"), "fail");
    }
  }
  Reply reply;
  reply.status = 404;
  reply.outcome = "not_found";
  EXPECT_EQ(logLine("POST", "/x\n\x1b[2J y", reply), "POST /x\\x0a\\x1b[2J\\x20y 404 not_found");
}

TEST_F(SandboxServiceTest, ConcurrentCreatesGetDistinctKeys) {
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> created(4);
  for (auto& mine : created) {
    threads.emplace_back([&] {
      const std::string body =
          formBody(signedFields({{"api", "api.common.group.set.add"}, {"group_name", "t"}}));
      for (int i = 0; i < 25; ++i) {
        const Reply reply = service_.handle("POST", kCommon, kForm, body);
        if (reply.outcome == "ok")
          mine.push_back(json::parse(reply.body).at("data").at("group_key"));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& list : created) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), 100u);
  EXPECT_EQ(group("api.common.group.get.list").at("data").at("groups").size(), kSeededGroups + 100);
}

}  // namespace
}  // namespace tavrello::sandbox
