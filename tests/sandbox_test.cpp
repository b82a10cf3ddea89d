// The sandbox: its form parser and request handler, called without a socket, and the
// in-process Sandbox around them. Requests are signed with OpenSSL and encoded by
// cpp-httplib, so the tests share no code with the sandbox they check.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <set>
#include <thread>

#include "sandbox_service.hpp"
#include "sandbox_wire.hpp"

namespace tavrello::sandbox {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using FieldList = std::vector<std::pair<std::string, std::string>>;

const std::string kApiKey = "test-api-key", kServerKey = "test-server-key",
                  kTimestamp = "1700000000.25";
constexpr std::int64_t kStart = 1700000000;
const std::string kForm = "application/x-www-form-urlencoded", kCommon(kCommonPath),
                  kMembers(kMemberInfoPath), kLast(kLastLocationPath), kList(kLocationListPath);

Options testOptions(std::uint64_t seed = Options().seed) {
  Options options;
  options.apiKey = kApiKey;
  options.serverKey = kServerKey;
  options.seed = seed;
  options.clock = kStart;
  return options;
}

// Lower-case hex SHA-1 of "timestamp|apiKey|serverKey".
std::string sign(const std::string& timestamp, const std::string& apiKey,
                 const std::string& serverKey) {
  const std::string text = timestamp + "|" + apiKey + "|" + serverKey;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  char hex[2 * SHA_DIGEST_LENGTH + 1];
  for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// Every byte but letters, digits and "-_.!~*'()" percent-encoded.
std::string formBody(const FieldList& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += (body.empty() ? "" : "&") + httplib::detail::encode_query_param(name) + "=" +
            httplib::detail::encode_query_param(value);
  }
  return body;
}

// The three signed fields, then `extra`.
std::string signedBody(const FieldList& extra) {
  FieldList fields = {{"api_key", kApiKey},
                      {"timestamp", kTimestamp},
                      {"cert_key", sign(kTimestamp, kApiKey, kServerKey)}};
  fields.insert(fields.end(), extra.begin(), extra.end());
  return formBody(fields);
}

TEST(SandboxFormTest, SplitsAtAmpersandsAndTheFirstEqualsAndDecodes) {
  const std::pair<const char*, std::vector<FormField>> cases[] = {
      {"a=1&b=&flag", {{"a", "1"}, {"b", ""}, {"flag", ""}}},
      {"&&a=1&", {{"a", "1"}}},
      {"k=x=y=z", {{"k", "x=y=z"}}},          // split at the first "=" only
      {"k=a+b%20c", {{"k", "a b c"}}},        // "+" and %20 are spaces
      {"%6B=%26%3D%2B%25", {{"k", "&=+%"}}},  // names too; escaped separators stay data
      {"k=%zz%4%", {{"k", "%zz%4%"}}},        // bad escapes stay literal
      {" a = b ", {{" a ", " b "}}},          // nothing is trimmed
  };
  for (const auto& [body, fields] : cases) EXPECT_EQ(parseForm(body), fields) << body;
}

class SandboxServiceTest : public ::testing::Test {
 protected:
  // Posts `body` as is; every reply must be a 200 with JSON in the documented shape.
  json postRaw(const std::string& path, const std::string& body, const std::string& type = kForm) {
    const Reply reply = service_.handle("POST", path, type, body);
    EXPECT_EQ(reply.status, 200);
    json parsed = json::parse(reply.body);
    EXPECT_EQ(parsed.at("result") == "ok", reply.outcome == "ok");
    return parsed;
  }
  json post(const std::string& path, const FieldList& extra) {
    return postRaw(path, signedBody(extra));
  }
  // A request to the group endpoint: "set.add" is action "api.common.group.set.add".
  json group(const std::string& action, FieldList extra = {}) {
    extra.insert(extra.begin(), {"api", "api.common.group." + action});
    return post(kCommon, extra);
  }
  static std::string code(const json& reply) {
    return reply.at("result") == "ok" ? "ok" : reply.at("error").at("code").get<std::string>();
  }
  // data[list][*][key] of a reply.
  static std::vector<std::string> keys(const json& reply, const char* list, const char* key) {
    std::vector<std::string> out;
    for (const json& item : reply.at("data").at(list)) out.push_back(item.at(key));
    return out;
  }
  // Whether the member is in the group, asked from both sides, which must agree.
  bool listedBothWays(const std::string& groupKey, const std::string& memberKey) {
    const auto members =
        keys(group("get.group.object.list", {{"group_key", groupKey}}), "members", "member_key");
    const auto groups =
        keys(group("get.object.group.list", {{"member_key", memberKey}}), "groups", "group_key");
    const bool inMembers = std::count(members.begin(), members.end(), memberKey) == 1;
    EXPECT_EQ(inMembers, std::count(groups.begin(), groups.end(), groupKey) == 1);
    return inMembers;
  }

  SandboxService service_{testOptions()};
};

TEST_F(SandboxServiceTest, SignatureChecks) {
  const std::string ts = kTimestamp, key = kApiKey;
  const std::string good = sign(ts, key, kServerKey), none = "<not sent>";
  std::string upper = good;
  std::transform(good.begin(), good.end(), upper.begin(), ::toupper);
  const std::tuple<std::string, std::string, std::string, const char*> cases[] = {
      // api_key, timestamp, cert_key, code
      {key, ts, good, "ok"},
      {key, ts, sign(ts, key, "wrong server key"), "bad_signature"},
      {key, "1700000001.25", good, "bad_signature"},  // tampered timestamp
      {key, ts, upper, "bad_signature"},
      {key, none, good, "missing_field"},
      {"other", ts, sign(ts, "other", kServerKey), "unknown_api_key"},
      {key, "n", sign("n", key, kServerKey), "bad_timestamp"},  // the unset marker
  };
  for (const auto& [apiKey, timestamp, certKey, expected] : cases) {
    FieldList fields = {{"api_key", apiKey}, {"timestamp", timestamp}, {"cert_key", certKey}};
    fields.erase(
        std::remove_if(fields.begin(), fields.end(), [&](auto& f) { return f.second == none; }),
        fields.end());
    fields.emplace_back("member_key", "m-0001");
    EXPECT_EQ(code(postRaw(kLast, formBody(fields))), expected) << formBody(fields);
  }
}

TEST_F(SandboxServiceTest, EveryRefusalNamesItsCause) {
  const std::string list = signedBody({{"api", "api.common.group.get.list"}});
  const std::tuple<std::string, std::string, std::string, const char*> cases[] = {
      // path, content type, body, code
      {kCommon, kForm, list, "ok"},
      {kCommon, kForm + "; charset=UTF-8", list, "ok"},
      {kCommon, "application/json", list, "bad_content_type"},
      {kCommon, kForm, list + "&api=api.common.group.get.list", "duplicate_field"},  // same value
      {kCommon, kForm, signedBody({}), "missing_field"},
      {kCommon, kForm, signedBody({{"api", "api.common.group.get.nothing"}}), "unknown_action"},
      {kCommon, kForm, signedBody({{"api", "api.common.group.set.modify"}, {"group_key", "g-001"}}),
       "missing_field"},
      {kLast, kForm, signedBody({{"member_key", "m-0001"}, {"extra", "1"}}), "ok"},
  };
  for (const auto& [path, type, body, expected] : cases) {
    EXPECT_EQ(code(postRaw(path, body, type)), expected) << path << " " << type << " " << body;
  }
  Reply reply{404, "", {}, "", "not_found"};  // a hostile path cannot forge a log line
  EXPECT_EQ(logLine("POST", "/x\n\x1b[2J y", reply), "POST /x\\x0a\\x1b[2J\\x20y 404 not_found");
}

TEST_F(SandboxServiceTest, PagesCoverAllMembersOnceAndFollowTheSeed) {
  const auto& members = service_.members();
  std::vector<std::string> seen;
  for (int page = 1; page <= 3; ++page) {
    const json reply = post(kMembers, {{"page", std::to_string(page)}, {"page_size", "100"}});
    EXPECT_EQ(reply.at("data").at("total_pages"), 3);
    for (const std::string& key : keys(reply, "members", "member_key")) seen.push_back(key);
  }
  ASSERT_GE(members.size(), 250u);
  ASSERT_EQ(seen.size(), members.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], members[i].key);
  // 260 = 37 * 7 + 1
  EXPECT_EQ(post(kMembers, {{"page", "38"}, {"page_size", "7"}}).at("data").at("members").size(),
            1u);
  const auto page = [&](const char* number, const char* size) {
    return code(post(kMembers, {{"page", number}, {"page_size", size}}));
  };
  for (const char* number : {"0", "4", "99999999999999999999"}) {
    EXPECT_EQ(page(number, "100"), "page_out_of_range") << number;
  }
  EXPECT_EQ(page("-1", "100"), "bad_page");
  for (const char* size : {"0", "101"}) EXPECT_EQ(page("1", size), "bad_page_size") << size;
  // The same seed gives the same world, another seed another one.
  const std::string body = signedBody({{"page", "2"}, {"page_size", "100"}});
  const std::string first = service_.handle("POST", kMembers, kForm, body).body;
  EXPECT_EQ(SandboxService(testOptions()).handle("POST", kMembers, kForm, body).body, first);
  EXPECT_NE(SandboxService(testOptions(7)).handle("POST", kMembers, kForm, body).body, first);
}

TEST_F(SandboxServiceTest, LocationWindowIsAtMost24Hours) {
  const Member& member = service_.members()[7];
  auto list = [&](const std::string& from, const std::string& to) {
    return post(kList, {{"member_key", member.key}, {"from_date", from}, {"to_date", to}});
  };
  EXPECT_EQ(post(kLast, {{"member_key", member.key}}).at("data").at("location").at("time"),
            member.track.back().time);
  const auto window = [&](std::int64_t from, std::int64_t to) {
    return list(std::to_string(from), std::to_string(to));
  };
  // Both ends are inclusive: a window starting on a point keeps it.
  const std::int64_t from = member.track[10].time, to = from + kMaxWindowSeconds;
  const json day = window(from, to);
  ASSERT_EQ(code(day), "ok");
  std::vector<std::int64_t> expected, listed;
  for (const Location& l : member.track) {
    if (l.time >= from && l.time <= to) expected.push_back(l.time);
  }
  for (const json& point : day.at("data").at("locations")) listed.push_back(point.at("time"));
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(window(from, from).at("data").at("count"), 1);
  EXPECT_EQ(code(window(from, to + 1)), "window_too_long");
  EXPECT_EQ(code(window(from + 1, from)), "window_reversed");
  EXPECT_EQ(code(window(INT64_MIN, INT64_MAX)), "window_too_long");  // no overflow
  for (const char* bad : {"1.5", "+1", "-9223372036854775809"}) {
    EXPECT_EQ(code(list(bad, "1")), "bad_time") << bad;
  }
}

TEST_F(SandboxServiceTest, GroupLifecycle) {
  const std::string key = group("set.add", {{"group_name", "Drivers"}}).at("data").at("group_key");
  EXPECT_EQ(key, "g-006");  // after the five seeded groups
  EXPECT_EQ(code(group("set.modify", {{"group_key", key}, {"group_name", "Vans"}})), "ok");
  const json all = group("get.list");
  EXPECT_EQ(keys(all, "groups", "group_key").back(), key);
  EXPECT_EQ(keys(all, "groups", "group_name").back(), "Vans");

  const FieldList pair = {{"group_key", key}, {"member_key", "m-0100"}};
  EXPECT_FALSE(listedBothWays(key, "m-0100"));
  EXPECT_EQ(code(group("set.object.add", pair)), "ok");
  EXPECT_TRUE(listedBothWays(key, "m-0100"));
  EXPECT_EQ(code(group("set.object.add", pair)), "already_in_group");
  EXPECT_EQ(code(group("set.object.delete", pair)), "ok");
  EXPECT_FALSE(listedBothWays(key, "m-0100"));
  EXPECT_EQ(code(group("set.object.delete", pair)), "not_in_group");
  EXPECT_EQ(code(group("set.object.add", {{"group_key", key}, {"member_key", "m-0"}})),
            "unknown_member");

  EXPECT_EQ(code(group("set.delete", {{"group_key", key}})), "ok");
  const FieldList gone = {{"group_key", key}, {"member_key", "m-0100"}, {"group_name", "x"}};
  for (const char* action :
       {"set.delete", "get.group.object.list", "set.object.add", "set.modify"}) {
    EXPECT_EQ(code(group(action, gone)), "unknown_group") << action;
  }
  // Keys are never reused.
  EXPECT_EQ(group("set.add", {{"group_name", "Again"}}).at("data").at("group_key"), "g-007");
}

TEST_F(SandboxServiceTest, GroupNamesAreStoredExactly) {
  for (const std::string& name : {std::string("a&b=c+d%41 \xe6\x97\xa5\xf0\x9f\x98\x80"),
                                  std::string(kMaxGroupNameBytes, 'x')}) {
    const std::string key = group("set.add", {{"group_name", name}}).at("data").at("group_key");
    EXPECT_EQ(group("get.group.object.list", {{"group_key", key}}).at("data").at("group_name"),
              name);
  }
  // Unescaped spaces and UTF-8 bytes, as a client that escapes only "&=+%" sends them.
  const std::string raw =
      signedBody({{"api", "api.common.group.set.add"}}) + "&group_name= Team \xc3\xa9t\xc3\xa9 ";
  EXPECT_EQ(postRaw(kCommon, raw).at("data").at("group_name"), " Team \xc3\xa9t\xc3\xa9 ");
  // Empty, too long, or not UTF-8 (stray, truncated, overlong, surrogate, too high).
  for (const std::string& bad : {std::string(), std::string(kMaxGroupNameBytes + 1, 'x'),
                                 std::string("\x80"), std::string("\xc3"), std::string("\xc0\xaf"),
                                 std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80")}) {
    EXPECT_EQ(code(group("set.add", {{"group_name", bad}})), "bad_group_name");
  }
}

TEST_F(SandboxServiceTest, ConcurrentCreatesGetDistinctKeys) {
  const std::string body = signedBody({{"api", "api.common.group.set.add"}, {"group_name", "t"}});
  std::vector<std::string> created(100);
  std::vector<std::thread> threads;
  for (std::size_t first = 0; first < 4; ++first) {
    threads.emplace_back([&, first] {
      for (std::size_t i = first; i < created.size(); i += 4) {
        const json reply = json::parse(service_.handle("POST", kCommon, kForm, body).body);
        created[i] = reply.value("/data/group_key"_json_pointer, "");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(created.begin(), created.end()).size(), 100u);
  EXPECT_EQ(group("get.list").at("data").at("groups").size(), kSeededGroups + 100);
}

// The service in-process, as an application's tests use it: answers over HTTP, shows and
// resets its groups, and never listens beyond loopback.
TEST(SandboxInProcess, AnswersShowsItsGroupsAndResets) {
  Options beyondLoopback = testOptions();
  beyondLoopback.listen = "0.0.0.0:0";
  EXPECT_FALSE(Sandbox(beyondLoopback).running());
  Sandbox sandbox(testOptions());
  ASSERT_TRUE(sandbox.running()) << sandbox.error();
  httplib::Client client("http://" + sandbox.host());
  const auto wrongMethod = client.Get(kCommon);
  const auto created = client.Post(
      kCommon, signedBody({{"api", "api.common.group.set.add"}, {"group_name", "A&B + C"}}), kForm);
  ASSERT_TRUE(wrongMethod && created);
  EXPECT_EQ(wrongMethod->status, 405);
  EXPECT_EQ(wrongMethod->get_header_value("Allow"), "POST");
  EXPECT_EQ(json::parse(created->body).at("data").at("group_name"), "A&B + C");
  ASSERT_EQ(sandbox.groups().size(), kSeededGroups + 1);
  EXPECT_EQ(sandbox.groups().back().name, "A&B + C");
  EXPECT_EQ(sandbox.groups().front().memberKeys.front().rfind("m-", 0), 0u);
  sandbox.reset();
  EXPECT_EQ(sandbox.groups().size(), kSeededGroups);
  sandbox.stop();
  EXPECT_FALSE(client.Get(kCommon));  // the port is closed
}

}  // namespace
}  // namespace tavrello::sandbox
