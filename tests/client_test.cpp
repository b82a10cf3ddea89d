// The client through its public interface against the sandbox, which keeps what it received: what
// each operation sends, the keys and the request timestamp, and where a service host sends
// requests.
#include <gtest/gtest.h>

#include <tavrello/tavrello.hpp>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "internal/text_forms.hpp"
#include "sandbox_wire.hpp"
#include "support/client.hpp"
#include "support/stdout_capture.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;
using Fields = std::map<std::string, std::string>;

constexpr const char* kGroupPath = "/api.partner.common.php";

// The signature as the service computes it: the sandbox's own, written apart from the
// library's.
using sandbox::certKey;

std::string timestampNow() {
  return std::any_cast<std::string>(TavrelloAPI::shared().getBasicParams().at("timestamp"));
}

// Runs the main queue until `count` results came; false after 30 s.
bool drainFor(const std::vector<Result>& results, std::size_t count) {
  return drainUntil([&] { return results.size() >= count; });
}

CompletionHandler into(std::vector<Result>& results) {
  return [&results](Result r) { results.push_back(std::move(r)); };
}

Fields fieldsOf(const sandbox::Request& request) {
  Fields fields;
  for (const auto& [name, value] : request.fields) {
    EXPECT_TRUE(fields.emplace(name, value).second) << "sent twice: " << name;
  }
  return fields;
}

struct Operation {
  const char* name;
  std::function<void(TavrelloAPI&, CompletionHandler)> call;
  const char* path;
  Fields fields;  // all but the three basic ones
};

// One row per operation: its call (the handler is `h`), path and fields. The arguments of
// editGroupName try to add a field; they must arrive as data.
#define OPERATION(name, call, path, ...)                                           \
  {                                                                                \
#name, [](TavrelloAPI & a, CompletionHandler h) { a.call; }, path, __VA_ARGS__ \
  }
// clang-format off
const Operation kOperations[] = {
    OPERATION(getLastData, getLastData("m-1", h), "/api.get.member.location.last.php",
              {{"member_key", "m-1"}}),
    OPERATION(getDataBetween24Hours, getDataBetween24Hours("m-2", "9", "1", h),
              "/api.get.member.location.list.php",
              {{"member_key", "m-2"}, {"from_date", "9"}, {"to_date", "1"}}),
    OPERATION(getObjectsData, getObjectsData("", h), "/api.get.member.info.all.php",
              {{"page", ""}, {"page_size", "100"}}),
    OPERATION(getGroups, getGroups(h), kGroupPath, {{"api", "api.common.group.get.list"}}),
    OPERATION(getGroupsWithObject, getGroupsWithObject("m-3", h), kGroupPath,
              {{"api", "api.common.group.get.object.group.list"}, {"member_key", "m-3"}}),
    OPERATION(getGroupMembers, getGroupMembers("g-1", h), kGroupPath,
              {{"api", "api.common.group.get.group.object.list"}, {"group_key", "g-1"}}),
    OPERATION(createGroup, createGroup(" Team \xc3\x9c", h), kGroupPath,
              {{"api", "api.common.group.set.add"}, {"group_name", " Team \xc3\x9c"}}),
    OPERATION(editGroupName, editGroupName("g&2", "x&api=api.common.group.set.delete+100%", h),
              kGroupPath, {{"api", "api.common.group.set.modify"}, {"group_key", "g&2"},
                           {"group_name", "x&api=api.common.group.set.delete+100%"}}),
    OPERATION(removeGroup, removeGroup("g-3", h), kGroupPath,
              {{"api", "api.common.group.set.delete"}, {"group_key", "g-3"}}),
    OPERATION(addGroupMember, addGroupMember("g-4", "m-4", h), kGroupPath,
              {{"api", "api.common.group.set.object.add"}, {"group_key", "g-4"},
               {"member_key", "m-4"}}),
    OPERATION(removeGroupMember, removeGroupMember("g-5", "m-5", h), kGroupPath,
              {{"api", "api.common.group.set.object.delete"}, {"group_key", "g-5"},
               {"member_key", "m-5"}}),
};
// clang-format on

void PrintTo(const Operation& operation, std::ostream* out) { *out << operation.name; }

class Operations : public ::testing::TestWithParam<Operation> {};

TEST_P(Operations, SendTheirPathAndFieldsSignedAndDeliverOnTheMainQueue) {
  Server server;
  auto& api = clientFor(server.host());
  std::vector<Exchange> seen;  // written by the driving thread before the handler is queued
  api.setObserver([&](const Exchange& exchange) { seen.push_back(exchange); });
  std::vector<Result> results;
  std::thread::id ranOn;
  GetParam().call(api, [&](Result r) {
    ranOn = std::this_thread::get_id();
    results.push_back(std::move(r));
  });
  EXPECT_TRUE(results.empty());    // never before the call returned
  EXPECT_EQ(timestampNow(), "n");  // the stamp was reset before it returned
  ASSERT_TRUE(drainFor(results, 1));
  MainQueue::shared().runPending();  // and only once
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->result(), "ok");
  EXPECT_EQ(ranOn, std::this_thread::get_id());  // on the thread draining the main queue
  ASSERT_EQ(server.requests().size(), 1u);
  const sandbox::Request request = server.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, GetParam().path);
  Fields fields = fieldsOf(request);
  EXPECT_EQ(fields["api_key"], kApiKey);
  EXPECT_EQ(fields["cert_key"], certKey(fields["timestamp"], kApiKey, kServerKey));
  // The observer's record names the operation and holds no key, stamp or signature.
  api.setObserver(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].operation, GetParam().name);
  EXPECT_EQ(seen[0].url, "http://" + server.host() + GetParam().path);
  EXPECT_EQ(seen[0].requestBytes, request.body.size());
  for (const std::string& secret : {kApiKey, kServerKey, fields["timestamp"], fields["cert_key"]}) {
    for (const std::string& text : {seen[0].url, seen[0].detail}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
  }
  for (const char* basic : {"api_key", "timestamp", "cert_key"}) fields.erase(basic);
  EXPECT_EQ(fields, GetParam().fields);
  EXPECT_EQ(request.body.find(kServerKey), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(, Operations, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

// In a process of its own, so that the client has never seen a key.
#define IN_A_FRESH_CLIENT(...)                            \
  GTEST_FLAG_SET(death_test_style, "threadsafe");         \
  EXPECT_EXIT(                                            \
      {                                                   \
        __VA_ARGS__;                                      \
        std::exit(::testing::Test::HasFailure() ? 1 : 0); \
      },                                                  \
      ::testing::ExitedWithCode(0), "")

TEST(Keys, AMissingKeyFailsAtOnceAndSendsNothing) {
  IN_A_FRESH_CLIENT({
    Server server;
    auto& api = TavrelloAPI::shared();
    api.setServiceHost(server.host());
    const std::string stamp = timestampNow();
    const auto basic = [&](const char* name) {
      return std::any_cast<std::string>(api.getBasicParams().at(name));
    };
    EXPECT_EQ(basic("api_key"), "");  // absent keys are signed as empty text
    EXPECT_EQ(basic("cert_key"), certKey(stamp, "", ""));
    api.setApiKey(kApiKey);  // the server key is never set
    EXPECT_EQ(basic("cert_key"), certKey(stamp, kApiKey, ""));
    for (const Operation& operation : kOperations) {
      SCOPED_TRACE(operation.name);
      std::vector<Result> results;
      operation.call(api, [&](Result r) {
        results.push_back(r);
        api.getGroups(into(results));  // the handler may call the client again
      });
      ASSERT_EQ(results.size(), 2u);  // both synchronously, before the call returned
      EXPECT_EQ(results[0]->result(), "FAIL");
      EXPECT_EQ(results[0]->reason(), "key");
      EXPECT_EQ(results[0]->detail(), "no server key set");
      operation.call(api, nullptr);  // an empty handler is simply not called
    }
    EXPECT_EQ(timestampNow(), stamp);  // a refusal leaves the stamp alone
    MainQueue::shared().runUntil([] { return false; }, 100ms);
    EXPECT_TRUE(server.requests().empty());
  });
}

// The first request carries the stamp of the client's creation, every later one a stamp of
// its own; between operations the stamp is "n". Empty keys are keys.
TEST(Keys, TimestampLifecycleAndDiagnosticForm) {
  IN_A_FRESH_CLIENT({
    Server server;
    auto& api = TavrelloAPI::shared();
    api.setServiceHost(server.host());
    const std::string created = timestampNow();
    EXPECT_EQ(stdoutOf([&] { api.printTest(); }), created + "\nnil\nnil\n");
    std::this_thread::sleep_for(20ms);
    api.setApiKey(std::string("a\"b\\c'd\0\t\n\r\x01\x7f\xc3\xa9", 15));
    api.setServerKey("");
    std::vector<Result> results;
    api.getGroups(into(results));
    std::this_thread::sleep_for(20ms);
    api.getGroups(into(results));
    ASSERT_TRUE(drainFor(results, 2));
    EXPECT_EQ(
        stdoutOf([&] { api.printTest(); }),
        "n\nOptional(\"a\\\"b\\\\c\\'d\\0\\t\\n\\r\\u{1}\\u{7f}\xc3\xa9\")\nOptional(\"\")\n");
    ASSERT_TRUE(server.waitForRequests(2, 5s));
    std::vector<std::string> stamps;
    for (const sandbox::Request& request : server.requests()) {
      stamps.push_back(*request.field("timestamp"));
      EXPECT_EQ(request.field("cert_key"), certKey(stamps.back(), *request.field("api_key"), ""));
    }
    EXPECT_EQ(stamps.size(), 2u);
    EXPECT_EQ(std::count(stamps.begin(), stamps.end(), created), 1);
    EXPECT_NE(stamps[0], stamps[1]);
    // Between operations the stamp is "n", and is signed as it is.
    EXPECT_EQ(timestampNow(), "n");
    EXPECT_EQ(std::any_cast<std::string>(api.getBasicParams().at("cert_key")),
              certKey("n", std::string("a\"b\\c'd\0\t\n\r\x01\x7f\xc3\xa9", 15), ""));
  });
}

// The timestamp: the shortest digits that read back as the same double, in fixed notation,
// a point and at least one digit after it.
TEST(Keys, TimestampTextIsShortestFixedDecimal) {
  const std::pair<double, const char*> rows[] = {{1700000000.0, "1700000000.0"},
                                                 {1700000000.5, "1700000000.5"},
                                                 {1733479941.1234567, "1733479941.1234567"},
                                                 {1e-7, "0.0000001"}};
  for (const auto& [seconds, text] : rows) EXPECT_EQ(internal::timestampText(seconds), text);
}

// Many threads at once: every request's cert_key matches its own timestamp.
TEST(Keys, ConcurrentCallersEachSendAMatchingSignature) {
  Server server;
  auto& api = clientFor(server.host());
  std::atomic<int> delivered{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        api.getLastData("m", [&](Result) { ++delivered; });
        api.getBasicParams();
      }
    });
  }
  for (auto& caller : callers) caller.join();
  ASSERT_TRUE(drainUntil([&] { return delivered == 200; }));
  ASSERT_EQ(server.requests().size(), 200u);
  for (const sandbox::Request& request : server.requests()) {
    ASSERT_EQ(request.field("cert_key"), certKey(*request.field("timestamp"), kApiKey, kServerKey));
  }
}

// Which service hosts are accepted, and where their requests go. The sandbox, answering
// everything with an injected 503, is both the service (for loopback hosts, which never go
// through a proxy) and the proxy that http_proxy names (for every other host, so no name is
// ever looked up). The 503's detail names the host and its port, the default one filled in.
// The observer sees every request, those that could not be sent too, until it is taken away.
TEST(ServiceHost, OnlyHostAndPortIsAcceptedAndLoopbackIsNeverProxied) {
  Server server;
  server.injectFault({"", 503, "down", 1000});
  const std::string port = server.host().substr(server.host().find(':') + 1);
  setenv("http_proxy", ("http://" + server.host()).c_str(), 1);
  auto& api = clientFor(server.host());
  std::vector<Exchange> seen;
  api.setObserver([&](const Exchange& exchange) { seen.push_back(exchange); });
  enum Goes { kDirect, kProxied, kNowhere, kInvalid };
  const std::tuple<std::string, Goes, std::string> hosts[] = {
      // host, where it goes, the authority its details name
      {"127.0.0.1:" + port, kDirect, "127.0.0.1:" + port},
      {"LocalHost:" + port, kDirect, "LocalHost:" + port},
      {"[::ffff:127.0.0.1]:" + port, kDirect, "[::ffff:127.0.0.1]:" + port},
      {"127.1.2.3:" + port, kNowhere, ""},  // loopback, where nothing listens: not via the proxy
      {"[::1]:" + port, kNowhere, ""},
      {"api.example.com", kProxied, "api.example.com:80"},
      {"HTTP://a-b_c.example.:65535", kProxied, "a-b_c.example.:65535"},
      {"10.1.2.3:1", kProxied, "10.1.2.3:1"},
      {"[2001:db8::1]:443", kProxied, "[2001:db8::1]:443"},
      {"", kInvalid, ""},
      {"h/evil", kInvalid, ""},
      {"user@h", kInvalid, ""},
      {"user:secret@h", kInvalid, ""},
      {"ftp://h", kInvalid, ""},
      {"h:0", kInvalid, ""},
      {"h:65536", kInvalid, ""},
      {"h\n", kInvalid, ""},
      {"[::1", kInvalid, ""},
      {"[::1]x", kInvalid, ""},
      {"256.1.1.1", kInvalid, ""},
      {"a..b", kInvalid, ""},
      {"-a.example", kInvalid, ""},
      {std::string(64, 'a') + ".example", kInvalid, ""},
  };
  for (const auto& [host, goes, authority] : hosts) {
    SCOPED_TRACE(::testing::PrintToString(host));
    const std::size_t before = server.requests().size();
    api.setServiceHost(host);
    EXPECT_EQ(api.serviceHost(), host);
    std::vector<Result> results;
    seen.clear();
    api.getGroups(into(results));
    EXPECT_TRUE(results.empty());  // an invalid host too is told through the main queue
    ASSERT_TRUE(drainFor(results, 1));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].reason, results[0]->reason());
    const std::vector<sandbox::Request> received = server.requests();
    const std::string target = received.size() > before ? received.back().target : "<nothing>";
    switch (goes) {
      case kDirect:
      case kProxied:
        EXPECT_EQ(target, goes == kDirect ? kGroupPath
                          : host.find("://") == std::string::npos
                              ? "http://" + host + kGroupPath
                              : "http" + host.substr(4) + kGroupPath);
        EXPECT_EQ(results[0]->detail(), "HTTP 503 from " + authority);
        break;
      case kNowhere:
        EXPECT_EQ(results[0]->reason(), "http");
        EXPECT_EQ(target, "<nothing>");
        break;
      case kInvalid:
        EXPECT_EQ(results[0]->reason(), "Invalid URL");
        EXPECT_FALSE(results[0]->detail().empty());
        EXPECT_EQ(results[0]->detail().find("secret"), std::string::npos);
        EXPECT_EQ(target, "<nothing>");
        break;
    }
  }
  unsetenv("http_proxy");
  seen.clear();
  api.setObserver({});
  ASSERT_TRUE(callOnce(api));
  EXPECT_TRUE(seen.empty());
}

// A client that never set its service host sends to the one compiled in.
TEST(ServiceHost, TheDefaultIsCompiledIn) {
  IN_A_FRESH_CLIENT({
    auto& api = TavrelloAPI::shared();
    const std::string host = TAVRELLO_TEST_DEFAULT_HOST;
    EXPECT_EQ(api.serviceHost(), host);
    std::string url;
    api.setObserver([&](const Exchange& exchange) { url = exchange.url; });
    api.setApiKey("k");
    api.setServerKey("s");
    ASSERT_TRUE(callOnce(api));
    EXPECT_EQ(url, (host.find("://") == std::string::npos ? "http://" + host : host) +
                       "/api.get.member.location.last.php");
  });
}

}  // namespace
}  // namespace tavrello::testing
