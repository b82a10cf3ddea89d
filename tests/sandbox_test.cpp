// The sandbox: its form parser and request handler, called without a socket, and the
// in-process Sandbox around them. Requests are signed with OpenSSL and encoded by
// cpp-httplib, so the tests share no code with the sandbox they check; the faults it injects
// are seen through the client library, as an application's tests see them.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <tavrello/tavrello.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "sandbox_options.hpp"
#include "sandbox_service.hpp"
#include "sandbox_wire.hpp"

namespace tavrello::sandbox {
namespace {

using nlohmann::json;
using FieldList = std::vector<std::pair<std::string, std::string>>;

const std::string kApiKey = "test-api-key", kServerKey = "test-server-key",
                  kTimestamp = "1700000000.25";
const std::string kForm = "application/x-www-form-urlencoded", kCommon(kCommonPath),
                  kMembers(kMemberInfoPath), kLast(kLastLocationPath), kList(kLocationListPath);

Options testOptions(std::uint64_t seed = Options().seed) {
  Options options;
  options.apiKey = kApiKey;
  options.serverKey = kServerKey;
  options.seed = seed;
  options.clock = 1700000000;
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

// Sends `request` on a connection of its own and returns every byte of the reply, up to the
// server's close.
std::string exchange(const std::string& host, const std::string& request) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(host.substr(host.rfind(':') + 1))));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
  }
  ::close(fd);
  return reply;
}

// Requests and the bytes the sandbox answered them with, and its log line, recorded in
// data/sandbox_replies.json: seed 7, 24 members, clock 1700000000, one request after the other
// in the file's order. Run with TAVRELLO_RECORD=1 to write this build's answers into the file.
TEST(SandboxInProcess, AnswersAsRecorded) {
  std::ifstream file(TAVRELLO_SANDBOX_REPLIES);
  nlohmann::ordered_json exchanges = nlohmann::ordered_json::parse(file);
  Options options = testOptions(7);
  options.members = 24;
  std::mutex mutex;
  std::string logged;
  options.log = [&](const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex);
    logged += line + "\n";
  };
  Sandbox sandbox(options);
  const bool record = std::getenv("TAVRELLO_RECORD") != nullptr;
  for (auto& recorded : exchanges) {
    SCOPED_TRACE(recorded.at("what").get<std::string>());
    std::string error;
    if (recorded.contains("fault")) {
      ASSERT_TRUE(sandbox.injectFault(*parseFault(recorded["fault"].get<std::string>(), error)));
    }
    std::string request = recorded.value("raw", "");
    if (request.empty()) {
      const std::string body = recorded.value("body", "");
      request = recorded.at("method").get<std::string>() + " " +
                recorded.at("target").get<std::string>() +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
      if (recorded.contains("type"))
        request += "Content-Type: " + recorded["type"].get<std::string>() + "\r\n";
      if (recorded["method"] == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
      request += "\r\n" + body;
    }
    request.append(recorded.value("pad", std::size_t{0}), 'x');  // for a body over the limit
    for (int i = 1; i < recorded.value("times", 1); ++i) exchange(sandbox.host(), request);
    std::unique_lock<std::mutex> lock(mutex);
    logged.clear();
    lock.unlock();
    const std::string reply = exchange(sandbox.host(), request);
    lock.lock();
    if (record) {
      recorded["reply"] = reply;
      recorded["log"] = logged;
    } else {
      EXPECT_EQ(reply, recorded.at("reply").get<std::string>());
      EXPECT_EQ(logged, recorded.at("log").get<std::string>());
    }
  }
  if (record) std::ofstream(TAVRELLO_SANDBOX_REPLIES) << exchanges.dump(1) << "\n";
}

TEST(SandboxForm, SplitsAtAmpersandsAndTheFirstEqualsAndDecodes) {
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
  // Every reply is a 200 with JSON in the documented shape; returns its data or error code.
  json post(const std::string& path, const std::string& body, const std::string& type = kForm) {
    const Reply reply = service_.handle("POST", path, type, body);
    EXPECT_EQ(reply.status, 200);
    const json parsed = json::parse(reply.body);
    EXPECT_EQ(parsed.at("result") == "ok", reply.outcome == "ok");
    return parsed.at("result") == "ok" ? parsed.at("data") : parsed.at("error").at("code");
  }
  json call(const std::string& path, const FieldList& extra) {
    return post(path, signedBody(extra));
  }
  // A request to the group endpoint: "set.add" is action "api.common.group.set.add".
  json group(const std::string& action, FieldList extra = {}) {
    extra.insert(extra.begin(), {"api", "api.common.group." + action});
    return call(kCommon, extra);
  }

  SandboxService service_{testOptions()};
};

TEST_F(SandboxServiceTest, EveryRefusalNamesItsCause) {
  const std::string good = sign(kTimestamp, kApiKey, kServerKey);
  std::string upper = good;
  std::transform(good.begin(), good.end(), upper.begin(), ::toupper);
  const auto last = [](const std::string& apiKey, const std::string& timestamp,
                       const std::string& certKey) {
    return formBody({{"api_key", apiKey},
                     {"timestamp", timestamp},
                     {"cert_key", certKey},
                     {"member_key", "m-0001"}});
  };
  const std::string list = signedBody({{"api", "api.common.group.get.list"}});
  const std::tuple<std::string, std::string, std::string, const char*> cases[] = {
      // path, content type, body, code
      {kLast, kForm, last(kApiKey, kTimestamp, sign(kTimestamp, kApiKey, "wrong")),
       "bad_signature"},
      {kLast, kForm, last(kApiKey, "1700000001.25", good), "bad_signature"},  // tampered
      {kLast, kForm, last(kApiKey, kTimestamp, upper), "bad_signature"},
      {kLast, kForm, last("other", kTimestamp, sign(kTimestamp, "other", kServerKey)),
       "unknown_api_key"},
      {kLast, kForm, last(kApiKey, "n", sign("n", kApiKey, kServerKey)), "bad_timestamp"},
      {kLast, kForm, formBody({{"api_key", kApiKey}, {"cert_key", good}}), "missing_field"},
      {kCommon, kForm + "; charset=UTF-8", list, ""},
      {kCommon, "application/json", list, "bad_content_type"},
      {kCommon, kForm, list + "&api=api.common.group.get.list", "duplicate_field"},
      {kCommon, kForm, signedBody({{"api", "api.common.group.get.nothing"}}), "unknown_action"},
      {kCommon, kForm, signedBody({{"api", "api.common.group.set.modify"}, {"group_key", "g-001"}}),
       "missing_field"},
  };
  for (const auto& [path, type, body, expected] : cases) {
    const json reply = post(path, body, type);
    EXPECT_EQ(reply.is_string() ? reply.get<std::string>() : "", expected) << body;
  }
  const Reply reply{404, "", {}, "", "not_found"};  // a hostile path cannot forge a log line
  EXPECT_EQ(logLine("POST", "/x\n\x1b[2J y", reply), "POST /x\\x0a\\x1b[2J\\x20y 404 not_found");
}

TEST_F(SandboxServiceTest, PagesCoverAllMembersOnceAndFollowTheSeed) {
  std::vector<std::string> seen;
  for (int page = 1; page <= 3; ++page) {
    const json data = call(kMembers, {{"page", std::to_string(page)}, {"page_size", "100"}});
    for (const json& member : data.at("members")) seen.push_back(member.at("member_key"));
  }
  ASSERT_EQ(seen.size(), service_.members().size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], service_.members()[i].key);
  // 260 = 37 * 7 + 1
  EXPECT_EQ(call(kMembers, {{"page", "38"}, {"page_size", "7"}}).at("members").size(), 1u);
  for (const auto& [page, size, code] : {std::tuple{"0", "100", "page_out_of_range"},
                                         {"4", "100", "page_out_of_range"},
                                         {"99999999999999999999", "100", "page_out_of_range"},
                                         {"-1", "100", "bad_page"},
                                         {"1", "0", "bad_page_size"},
                                         {"1", "101", "bad_page_size"}}) {
    EXPECT_EQ(call(kMembers, {{"page", page}, {"page_size", size}}), code) << page << " " << size;
  }
  // The same seed gives the same world, another seed another one.
  const std::string body = signedBody({{"page", "2"}, {"page_size", "100"}});
  const std::string first = service_.handle("POST", kMembers, kForm, body).body;
  EXPECT_EQ(SandboxService(testOptions()).handle("POST", kMembers, kForm, body).body, first);
  EXPECT_NE(SandboxService(testOptions(7)).handle("POST", kMembers, kForm, body).body, first);
}

TEST_F(SandboxServiceTest, LocationWindowIsAtMost24Hours) {
  const Member& member = service_.members()[7];
  EXPECT_EQ(call(kLast, {{"member_key", member.key}}).at("location").at("time"),
            member.track.back().time);
  const auto window = [&](const std::string& from, const std::string& to) {
    return call(kList, {{"member_key", member.key}, {"from_date", from}, {"to_date", to}});
  };
  // Both ends are inclusive: a window starting on a point keeps it.
  const std::int64_t from = member.track[10].time, to = from + kMaxWindowSeconds;
  std::vector<std::int64_t> expected, listed;
  for (const Location& l : member.track) {
    if (l.time >= from && l.time <= to) expected.push_back(l.time);
  }
  const json day = window(std::to_string(from), std::to_string(to));
  for (const json& point : day.at("locations")) listed.push_back(point.at("time"));
  EXPECT_EQ(listed, expected);
  const auto text = [](std::int64_t t) { return std::to_string(t); };
  EXPECT_EQ(window(text(from), text(to + 1)), "window_too_long");
  EXPECT_EQ(window(text(from + 1), text(from)), "window_reversed");
  EXPECT_EQ(window(text(INT64_MIN), text(INT64_MAX)), "window_too_long");  // no overflow
  for (const char* bad : {"1.5", "+1", "-9223372036854775809"}) {
    EXPECT_EQ(window(bad, "1"), "bad_time") << bad;
  }
}

// Every refusal of the group actions; their successes are what the command-line tool's
// tests go through.
TEST_F(SandboxServiceTest, GroupRefusals) {
  const std::string key = group("set.add", {{"group_name", "Drivers"}}).at("group_key");
  const FieldList pair = {{"group_key", key}, {"member_key", "m-0100"}};
  EXPECT_TRUE(group("set.object.add", pair).is_object());
  EXPECT_EQ(group("set.object.add", pair), "already_in_group");
  EXPECT_TRUE(group("set.object.delete", pair).is_object());
  EXPECT_EQ(group("set.object.delete", pair), "not_in_group");
  EXPECT_EQ(group("set.object.add", {pair[0], {"member_key", "m-0"}}), "unknown_member");
  EXPECT_TRUE(group("set.delete", {pair[0]}).is_object());
  for (const char* action : {"set.delete", "get.group.object.list", "set.object.add"}) {
    EXPECT_EQ(group(action, pair), "unknown_group") << action;
  }
  // Keys are never reused.
  EXPECT_EQ(group("set.add", {{"group_name", "Again"}}).at("group_key"), "g-007");
}

TEST_F(SandboxServiceTest, GroupNamesAreStoredExactly) {
  for (const std::string& name : {std::string("a&b=c+d%41 \xe6\x97\xa5\xf0\x9f\x98\x80"),
                                  std::string(kMaxGroupNameBytes, 'x')}) {
    EXPECT_EQ(group("set.add", {{"group_name", name}}).at("group_name"), name);
  }
  // Unescaped spaces and UTF-8 bytes, as a client that escapes only "&=+%" sends them.
  const std::string raw =
      signedBody({{"api", "api.common.group.set.add"}}) + "&group_name= Team \xc3\xa9t\xc3\xa9 ";
  EXPECT_EQ(post(kCommon, raw).at("group_name"), " Team \xc3\xa9t\xc3\xa9 ");
  // Empty, too long, or not UTF-8 (stray, truncated, overlong, surrogate, too high).
  for (const std::string& bad : {std::string(), std::string(kMaxGroupNameBytes + 1, 'x'),
                                 std::string("\x80"), std::string("\xc3"), std::string("\xc0\xaf"),
                                 std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80")}) {
    EXPECT_EQ(group("set.add", {{"group_name", bad}}), "bad_group_name");
  }
}

TEST_F(SandboxServiceTest, ConcurrentCreatesGetDistinctKeys) {
  const std::string body = signedBody({{"api", "api.common.group.set.add"}, {"group_name", "t"}});
  std::vector<std::string> created(100);
  std::vector<std::thread> threads;
  for (std::size_t first = 0; first < 4; ++first) {
    threads.emplace_back([&, first] {
      for (std::size_t i = first; i < created.size(); i += 4) {
        created[i] = json::parse(service_.handle("POST", kCommon, kForm, body).body)
                         .value("/data/group_key"_json_pointer, "");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(created.begin(), created.end()).size(), 100u);
  EXPECT_EQ(service_.groups().size(), kSeededGroups + 100);
}

// The service in-process, as an application's tests use it: answers over HTTP, shows and
// resets its groups, and never listens beyond loopback.
TEST(SandboxInProcess, AnswersShowsItsGroupsAndResets) {
  Options beyondLoopback = testOptions();
  beyondLoopback.listen = "0.0.0.0:0";
  EXPECT_FALSE(Sandbox(beyondLoopback).running());
  Sandbox sandbox(testOptions());
  ASSERT_TRUE(sandbox.running()) << sandbox.error();
  Options taken = testOptions();
  taken.listen = sandbox.host();
  EXPECT_EQ(Sandbox(taken).error(),
            "cannot listen on " + sandbox.host() + ": address already in use");
  httplib::Client client("http://" + sandbox.host());
  const auto wrongMethod = client.Get(kCommon);
  const auto nowhere = client.Post("/api.partner.other.php", signedBody({}), kForm);
  const std::string create =
      signedBody({{"api", "api.common.group.set.add"}, {"group_name", "A&B + C"}});
  const auto created = client.Post(kCommon, create, kForm);
  ASSERT_TRUE(wrongMethod && nowhere && created);
  EXPECT_EQ(wrongMethod->status, 405);
  EXPECT_EQ(wrongMethod->get_header_value("Allow"), "POST");
  EXPECT_EQ(nowhere->status, 404);
  EXPECT_EQ(json::parse(created->body).at("data").at("group_name"), "A&B + C");
  EXPECT_TRUE(sandbox.waitForRequests(3, std::chrono::milliseconds::max()));  // no deadline
  const std::vector<Request> sent = sandbox.requests();                       // each as it came
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].method + " " + sent[1].target + " " + sent[2].operation + " " +
                sent[2].field("group_name").value_or(""),
            "GET /api.partner.other.php createGroup A&B + C");
  ASSERT_EQ(sandbox.groups().size(), kSeededGroups + 1);
  EXPECT_EQ(sandbox.groups().back().name, "A&B + C");
  EXPECT_EQ(sandbox.groups().front().memberKeys.front().rfind("m-", 0), 0u);
  sandbox.reset();
  EXPECT_EQ(sandbox.groups().size(), kSeededGroups);
  EXPECT_TRUE(sandbox.requests().empty());
  // Keys start over from the seed: the next group is the sixth again.
  EXPECT_EQ(json::parse(client.Post(kCommon, create, kForm)->body).at("data").at("group_key"),
            "g-006");
  sandbox.stop();
  EXPECT_FALSE(client.Get(kCommon));  // the port is closed
  Options forgetful = testOptions();
  forgetful.keepRequests = false;
  Sandbox keepsNone(forgetful);
  ASSERT_TRUE(httplib::Client("http://" + keepsNone.host()).Post(kCommon, create, kForm));
  EXPECT_TRUE(keepsNone.requests().empty());
}

// stop() returns at once even while a client holds an idle keep-alive connection and a
// request waits out an injected delay, and may be called from two threads at once while a
// third asks running().
TEST(SandboxInProcess, StopsAtOnceFromAnyThread) {
  Sandbox sandbox(testOptions());
  httplib::Client client("http://" + sandbox.host());
  client.set_keep_alive(true);
  ASSERT_TRUE(client.Get(kCommon));  // the connection stays open, idle
  Fault held("", 0);
  held.delay = std::chrono::milliseconds::max();  // until stop()
  sandbox.injectFault(held);
  std::thread delayed([&] { httplib::Client("http://" + sandbox.host()).Get(kCommon); });
  // Time for the server to wait for the next request on the idle connection, and for the
  // other request to reach its delay (where stop() would be held up).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::atomic<bool> stopped{false};
  std::thread reader([&] {
    while (!stopped) static_cast<void>(sandbox.running());
  });
  const auto start = std::chrono::steady_clock::now();
  std::thread first([&] { sandbox.stop(); }), second([&] { sandbox.stop(); });
  first.join();
  second.join();
  delayed.join();
  // The promise is 50 ms: this bound holds on a slow machine and still catches the second
  // that a server spends waiting for the next request on an idle connection.
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 500);
  stopped = true;
  reader.join();
  EXPECT_FALSE(sandbox.running());
}

using Result = std::shared_ptr<TavrelloResult>;
using Call = void (*)(TavrelloAPI&, CompletionHandler);

// Injected faults reach the client over the real protocol: each kind, for one operation or
// any, as many times as asked and then normal answers again.
TEST(SandboxInProcess, InjectedFaultsReachTheClient) {
  Sandbox sandbox(testOptions());
  auto& api = TavrelloAPI::shared();
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  api.setServiceHost(sandbox.host());
  const Call createGroup = [](TavrelloAPI& a, CompletionHandler h) { a.createGroup("x", h); };
  const Call getGroups = [](TavrelloAPI& a, CompletionHandler h) { a.getGroups(h); };
  const std::string http = "HTTP 503 from " + sandbox.host();
  Fault slow("", 0), cut("getGroups", 0);
  slow.delay = std::chrono::milliseconds(300);
  cut.cutAfterBytes = 10;
  const struct Row {
    const char* name;
    Fault fault;
    Call call;
    std::vector<std::string> details;  // of consecutive calls; "" for success
  } rows[] = {
      {"status and body",
       {"createGroup", 503, R"({"error":"maintenance"})"},
       createGroup,
       {http, ""}},
      // Left queued, and dropped by clearFaults() before the next rows' getGroups.
      {"another operation", {"getGroups"}, createGroup, {""}},
      {"any operation, twice", {"", 503, "busy", 2}, createGroup, {http, http, ""}},
      {"delay", slow, getGroups, {""}},
      {"cut short", cut, getGroups, {"reply cut short by " + sandbox.host(), ""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sandbox.clearFaults();
    ASSERT_TRUE(sandbox.injectFault(row.fault));
    for (const std::string& detail : row.details) {
      const std::size_t groups = sandbox.groups().size();
      const auto start = std::chrono::steady_clock::now();
      Result result;
      row.call(api, [&](Result r) { result = std::move(r); });
      ASSERT_TRUE(MainQueue::shared().runUntil([&] { return result != nullptr; },
                                               std::chrono::seconds(30)));
      EXPECT_GE(std::chrono::steady_clock::now() - start, row.fault.delay);
      EXPECT_EQ(result->detail(), detail);  // the service's words are in errorBody() only
      if (detail == http) {
        EXPECT_EQ(std::string(result->errorBody().begin(), result->errorBody().end()),
                  row.fault.body);
        EXPECT_EQ(sandbox.groups().size(), groups);  // the request was not handled
      }
    }
  }
  for (const Fault& unusable : {Fault("creategroup"), Fault("", 199), Fault("", 503, "", 0)}) {
    EXPECT_FALSE(sandbox.injectFault(unusable)) << unusable.operation << unusable.status;
  }
}

}  // namespace
}  // namespace tavrello::sandbox
