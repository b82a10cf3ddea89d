// The eleven operations end to end against a recording loopback server.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <set>

#include "integration_helpers.hpp"
#include "support/fault_server.hpp"
#include "support/loopback_server.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;
using Fields = std::map<std::string, std::string>;

constexpr const char* kApiKey = "api-KEY-7f3a";
constexpr const char* kServerKey = "SERVER-secret-91c2";

struct OperationCase {
  const char* name;
  std::function<void(TavrelloAPI&, CompletionHandler)> call;
  const char* path;
  Fields fields;  // everything but the three basic fields
};

const char* const kGroupPath = "/api.partner.common.php";

std::vector<OperationCase> allOperations() {
  return {
      {"getLastData",
       [](TavrelloAPI& a, CompletionHandler h) { a.getLastData("m-1", h); },
       "/api.get.member.location.last.php",
       {{"member_key", "m-1"}}},
      {"getDataBetween24Hours",
       [](TavrelloAPI& a, CompletionHandler h) {
         a.getDataBetween24Hours("m-2", "1700090000", "1700000000", h);  // start after end: sent
       },
       "/api.get.member.location.list.php",
       {{"member_key", "m-2"}, {"from_date", "1700090000"}, {"to_date", "1700000000"}}},
      {"getObjectsData",
       [](TavrelloAPI& a, CompletionHandler h) { a.getObjectsData("", h); },
       "/api.get.member.info.all.php",
       {{"page", ""}, {"page_size", "100"}}},
      {"getGroups",
       [](TavrelloAPI& a, CompletionHandler h) { a.getGroups(h); },
       kGroupPath,
       {{"api", "api.common.group.get.list"}}},
      {"getGroupsWithObject",
       [](TavrelloAPI& a, CompletionHandler h) { a.getGroupsWithObject("m-3", h); },
       kGroupPath,
       {{"api", "api.common.group.get.object.group.list"}, {"member_key", "m-3"}}},
      {"getGroupMembers",
       [](TavrelloAPI& a, CompletionHandler h) { a.getGroupMembers("g-1", h); },
       kGroupPath,
       {{"api", "api.common.group.get.group.object.list"}, {"group_key", "g-1"}}},
      {"createGroup",
       [](TavrelloAPI& a, CompletionHandler h) { a.createGroup(" Team \xc3\x9c ", h); },
       kGroupPath,
       {{"api", "api.common.group.set.add"}, {"group_name", " Team \xc3\x9c "}}},
      {"editGroupName",
       [](TavrelloAPI& a, CompletionHandler h) { a.editGroupName("g-2", "Renamed", h); },
       kGroupPath,
       {{"api", "api.common.group.set.modify"}, {"group_key", "g-2"}, {"group_name", "Renamed"}}},
      {"removeGroup",
       [](TavrelloAPI& a, CompletionHandler h) { a.removeGroup("g-3", h); },
       kGroupPath,
       {{"api", "api.common.group.set.delete"}, {"group_key", "g-3"}}},
      {"addGroupMember",
       [](TavrelloAPI& a, CompletionHandler h) { a.addGroupMember("g-4", "m-4", h); },
       kGroupPath,
       {{"api", "api.common.group.set.object.add"}, {"group_key", "g-4"}, {"member_key", "m-4"}}},
      {"removeGroupMember",
       [](TavrelloAPI& a, CompletionHandler h) { a.removeGroupMember("g-5", "m-5", h); },
       kGroupPath,
       {{"api", "api.common.group.set.object.delete"},
        {"group_key", "g-5"},
        {"member_key", "m-5"}}},
  };
}

Fields fieldsOf(const RecordedRequest& request) {
  Fields fields;
  for (const auto& [name, value] : parseFormFields(request.body)) {
    EXPECT_TRUE(fields.emplace(name, value).second) << "field sent twice: " << name;
  }
  return fields;
}

std::string timestampOf(TavrelloAPI& api) {
  return std::any_cast<std::string>(api.getBasicParams().at("timestamp"));
}

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MainQueue::shared().runPending();
    ASSERT_TRUE(server.start());
    api.setServiceHost(server.hostAndPort());
  }
  TavrelloAPI& api = TavrelloAPI::shared();
  LoopbackServer server;
};

TEST_F(Operations, EachSendsItsPathFieldsAndAValidSignature) {
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  for (const auto& op : allOperations()) {
    SCOPED_TRACE(op.name);
    server.clear();
    Collector collector;
    op.call(api, collector.handler());
    EXPECT_TRUE(collector.results.empty());  // not before the operation returned
    EXPECT_EQ(timestampOf(api), "n");        // stamp reset before it returned
    ASSERT_TRUE(collector.waitFor(1));
    MainQueue::shared().runPending();
    ASSERT_EQ(collector.results.size(), 1u);
    EXPECT_EQ(collector.results[0]->result(), "ok");
    EXPECT_TRUE(collector.allOn(std::this_thread::get_id()));

    ASSERT_EQ(server.requestCount(), 1u);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, op.path);
    Fields fields = fieldsOf(request);
    const std::string timestamp = fields["timestamp"];
    EXPECT_EQ(fields["api_key"], kApiKey);
    EXPECT_EQ(fields["cert_key"], serviceSha1(timestamp + "|" + kApiKey + "|" + kServerKey));
    EXPECT_NE(timestamp.find('.'), std::string::npos);
    for (const char* basic : {"api_key", "timestamp", "cert_key"}) fields.erase(basic);
    EXPECT_EQ(fields, op.fields);  // no more, no fewer, values as given
    for (const auto& [name, value] : request.headers) {
      EXPECT_EQ(value.find(kServerKey), std::string::npos);
    }
    EXPECT_EQ(request.body.find(kServerKey), std::string::npos);
    EXPECT_EQ(request.target.find(kServerKey), std::string::npos);
  }
}

TEST_F(Operations, WithAKeyAbsentEveryOperationFailsAtOnceAndSendsNothing) {
  EXPECT_EXIT(
      {
        api.setApiKey(kApiKey);  // the server key is never set
        for (const auto& op : allOperations()) {
          Collector collector;
          op.call(api, collector.handler());
          // Delivered synchronously, on this thread, before the call returned.
          if (collector.results.size() != 1 || collector.results[0]->reason() != "key" ||
              collector.results[0]->result() != "FAIL" ||
              !collector.allOn(std::this_thread::get_id())) {
            std::exit(1);
          }
        }
        MainQueue::shared().runUntil([] { return false; }, 200ms);
        std::exit(server.requestCount() == 0 ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Operations, EmptyKeysArePresentKeys) {
  api.setApiKey("");
  api.setServerKey("");
  Collector collector;
  for (const auto& op : allOperations()) op.call(api, collector.handler());
  ASSERT_TRUE(collector.waitFor(11));
  ASSERT_TRUE(server.waitForRequests(11, 5s));
  for (const auto& request : server.requests()) {
    const std::string timestamp = request.field("timestamp").value_or("");
    EXPECT_EQ(request.field("api_key"), "");
    EXPECT_EQ(request.field("cert_key"), serviceSha1(timestamp + "||"));
  }
}

TEST_F(Operations, FirstRequestCarriesTheConstructionStampLaterOnesTheirOwn) {
  EXPECT_EXIT(
      {
        const std::string constructed = timestampOf(api);  // read, not reset
        std::this_thread::sleep_for(20ms);
        api.setApiKey(kApiKey);
        api.setServerKey(kServerKey);
        Collector collector;
        api.getGroups(collector.handler());
        std::this_thread::sleep_for(20ms);
        api.getGroups(collector.handler());
        if (!collector.waitFor(2)) std::exit(1);
        auto requests = server.requests();
        std::set<std::string> stamps;
        for (auto& r : requests) stamps.insert(r.field("timestamp").value_or(""));
        bool first = stamps.count(constructed) == 1;
        bool second = stamps.size() == 2;
        std::exit(first && second ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Operations, HostileArgumentsArriveAsExactlyOneFieldEach) {
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  const std::string names[] = {
      "a&b=c+d%e f \xc3\xa9\xe6\x9d\xb1",
      "x&api=api.common.group.set.delete",
      "%26api%3Dapi.common.group.set.delete",
      std::string("nul\0and\r\nCRLF", 14),
  };
  for (const auto& name : names) {
    SCOPED_TRACE(::testing::PrintToString(name));
    server.clear();
    Collector collector;
    api.editGroupName("g&1", name, collector.handler());
    ASSERT_TRUE(collector.waitFor(1));
    const RecordedRequest request = server.requests().at(0);
    EXPECT_EQ(request.fields.size(), 6u);
    EXPECT_EQ(request.fieldCount("api"), 1u);
    EXPECT_EQ(request.field("api"), "api.common.group.set.modify");
    EXPECT_EQ(request.field("group_name"), name);
    EXPECT_EQ(request.field("group_key"), "g&1");
  }
}

TEST_F(Operations, TwoInFlightEachGetTheirOwnResult) {
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  server.setHandler([](const RecordedRequest& request) {
    std::string member = request.field("member_key").value_or("");
    // The first reply comes last.
    return Reply{200, "{\"member\":\"" + member + "\"}", "application/json",
                 member == "first" ? 300ms : 0ms};
  });
  std::shared_ptr<TavrelloResult> first, second;
  std::vector<std::string> order;
  api.getLastData("first", [&](std::shared_ptr<TavrelloResult> r) {
    first = r;
    order.push_back("first");
  });
  api.getLastData("second", [&](std::shared_ptr<TavrelloResult> r) {
    second = r;
    order.push_back("second");
  });
  ASSERT_TRUE(MainQueue::shared().runUntil([&] { return first && second; }, 10s));
  EXPECT_EQ(text(first->response()), "{\"member\":\"first\"}");
  EXPECT_EQ(text(second->response()), "{\"member\":\"second\"}");
  EXPECT_EQ(order, (std::vector<std::string>{"second", "first"}));  // in reply order
}

TEST_F(Operations, HostThatIsNotAUrlGivesInvalidUrlThroughTheMainQueue) {
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  api.setServiceHost("bad host:80");
  Collector collector;
  api.getGroups(collector.handler());
  EXPECT_TRUE(collector.results.empty());
  EXPECT_EQ(timestampOf(api), "n");
  ASSERT_TRUE(collector.waitFor(1));
  EXPECT_EQ(collector.results[0]->reason(), "Invalid URL");
  EXPECT_EQ(server.requestCount(), 0u);
}

// Every byte that reached the server, headers and framing included, is free
// of the server key (and of any recognisable part of it).
TEST_F(Operations, TheServerKeyNeverLeavesTheProcess) {
  const std::string serverKey = "SrvKey-\xe2\x9c\x93-Zq9&=+%-unique";
  api.setApiKey("ApiKey-visible-1");
  api.setServerKey(serverKey);
  FaultServer raw(Fault::Normal);
  ASSERT_TRUE(raw.start());
  api.setServiceHost(raw.hostAndPort());
  Collector collector;
  for (const auto& op : allOperations()) op.call(api, collector.handler());
  ASSERT_TRUE(collector.waitFor(11));
  ASSERT_TRUE(raw.waitForRequests(11, 5s));
  std::string everything;
  for (const auto& bytes : raw.received()) everything += bytes;
  EXPECT_NE(everything.find("ApiKey-visible-1"), std::string::npos);  // the scan sees the traffic
  for (const std::string& piece :
       {serverKey, std::string("SrvKey"), std::string("Zq9"), std::string("unique")}) {
    EXPECT_EQ(everything.find(piece), std::string::npos) << piece;
  }
}

// Many threads at once: every request's cert_key matches its own timestamp.
TEST_F(Operations, ConcurrentCallersEachSendAConsistentSignature) {
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  constexpr int kThreads = 4, kEach = 50;
  std::atomic<int> delivered{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        api.getLastData("m-" + std::to_string(t), [&](auto) { ++delivered; });
        api.getBasicParams();  // readers interleave with the operations
      }
    });
  }
  for (auto& c : callers) c.join();
  ASSERT_TRUE(MainQueue::shared().runUntil([&] { return delivered == kThreads * kEach; }, 30s));
  ASSERT_EQ(server.requestCount(), static_cast<std::size_t>(kThreads * kEach));
  for (const auto& request : server.requests()) {
    const std::string timestamp = request.field("timestamp").value_or("");
    ASSERT_NE(timestamp, "n");
    ASSERT_EQ(request.field("cert_key"), serviceSha1(timestamp + "|" + kApiKey + "|" + kServerKey));
  }
  EXPECT_EQ(timestampOf(api), "n");
}

}  // namespace
}  // namespace tavrello::testing
