// The POST exchange against real loopback servers: what the server received,
// and the result each kind of reply turns into.
#include <gtest/gtest.h>

#include <set>

#include "integration_helpers.hpp"
#include "internal/http_transport.hpp"
#include "support/fault_server.hpp"
#include "support/loopback_server.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;
using Access = TavrelloAPITestAccess;

class HttpExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    MainQueue::shared().runPending();
    ASSERT_TRUE(server.start());
  }
  void TearDown() override { internal::setExchangeTimeoutForTesting(60s); }

  std::string url(const std::string& path = "/api.get.member.location.last.php") {
    return "http://" + server.hostAndPort() + path;
  }
  std::shared_ptr<TavrelloResult> postOnce(const std::string& to, const Params& params = {}) {
    Collector collector;
    Access::doPost(to, params, collector.handler());
    EXPECT_TRUE(collector.waitFor(1));
    EXPECT_EQ(collector.results.size(), 1u);
    return collector.results.empty() ? nullptr : collector.results[0];
  }

  LoopbackServer server;
};

TEST_F(HttpExchange, OutcomeForEachKindOfReply) {
  struct Case {
    int status;
    std::string body;
    bool ok;
  };
  const Case cases[] = {
      {200, R"({"result":"ok","data":[1,2]})", true},
      {200, "", true},  // an empty body is still a body
      {200, "<html><body>not json</body></html>", true},
      {201, "created", true},
      {204, "", true},
      {299, "edge", true},
      {300, "multiple", false},
      {302, "moved", false},  // a redirect is never followed
      {404, R"({"error":"not found"})", false},
      {500, "oops", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    Reply reply{c.status, c.body};
    if (c.status == 302) reply.headers = {{"Location", url("/elsewhere")}};
    server.setReply(reply);
    server.clear();
    auto result = postOnce(url());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->type(), "[String:Any]");
    EXPECT_FALSE(result->message().has_value());
    if (c.ok) {
      EXPECT_EQ(result->result(), "ok");
      EXPECT_EQ(result->reason(), "");
      ASSERT_TRUE(result->response().has_value());
      EXPECT_EQ(text(result->response()), c.body);  // bytes unchanged
    } else {
      EXPECT_EQ(result->result(), "FAIL");
      EXPECT_EQ(result->reason(), "http");
      EXPECT_FALSE(result->response().has_value());  // body dropped
    }
    EXPECT_EQ(server.requestCount(), 1u);
  }
}

TEST_F(HttpExchange, SendsExactlyThePostItShould) {
  const std::string bigValue(4000, 'v');  // over 1 KiB: libcurl would add Expect
  Params params{{"api_key", std::string("k")},
                {"group_name", std::string("a&b=c+d%e f \xc3\xa9")},
                {"big", bigValue}};
  auto result = postOnce(url("/api.partner.common.php"), params);
  ASSERT_EQ(result->result(), "ok");
  ASSERT_EQ(server.requestCount(), 1u);
  const RecordedRequest request = server.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/api.partner.common.php");
  EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("Content-Length"), std::to_string(request.body.size()));
  std::set<std::string> names;
  for (const auto& [name, value] : request.headers) {
    std::string lower;
    for (char ch : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    names.insert(lower);
  }
  // Nothing else of ours: no Expect, no User-Agent, no Accept-Encoding.
  EXPECT_EQ(names, (std::set<std::string>{"accept", "content-length", "content-type", "host"}));
  // A standard form parser reads every value back exactly.
  EXPECT_EQ(request.fields.size(), 3u);
  EXPECT_EQ(request.field("group_name"), "a&b=c+d%e f \xc3\xa9");
  EXPECT_EQ(request.field("big"), bigValue);
  EXPECT_EQ(request.field("api_key"), "k");
  EXPECT_NE(request.body.find("group_name=a%26b%3Dc%2Bd%25e f \xc3\xa9"), std::string::npos);
}

TEST_F(HttpExchange, EmptyParametersSendAZeroByteBody) {
  auto result = postOnce(url(), {});
  ASSERT_EQ(result->result(), "ok");
  const RecordedRequest request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, "");
  EXPECT_EQ(request.header("Content-Length"), "0");
}

TEST_F(HttpExchange, InvalidUrlIsDeliveredLaterOnTheMainQueueAndSendsNothing) {
  for (const std::string bad :
       {"http://bad host/x", "http:///x", "", "not a url at all", "http://[::1/x"}) {
    SCOPED_TRACE(bad);
    Collector collector;
    Access::doPost(bad, {{"a", std::string("1")}}, collector.handler());
    EXPECT_TRUE(collector.results.empty());  // never before doPost has returned
    ASSERT_TRUE(collector.waitFor(1));
    auto result = collector.results.at(0);
    EXPECT_EQ(result->result(), "FAIL");
    EXPECT_EQ(result->reason(), "Invalid URL");
    EXPECT_FALSE(result->response().has_value());
    EXPECT_TRUE(collector.allOn(std::this_thread::get_id()));
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(HttpExchange, ThousandInFlightEachGetTheirOwnResultOnOneIoThread) {
  server.setHandler([](const RecordedRequest& request) {
    return Reply{200, request.field("n").value_or("?")};
  });
  Collector collector;
  constexpr int kRequests = 1000;
  std::vector<int> handlerCalls(kRequests, 0);
  for (int i = 0; i < kRequests; ++i) {
    Access::doPost(url(), {{"n", std::to_string(i)}},
                   [&, i](std::shared_ptr<TavrelloResult> result) {
                     ++handlerCalls[i];
                     EXPECT_EQ(text(result->response()), std::to_string(i));
                     collector.handler()(std::move(result));
                   });
  }
  EXPECT_EQ(threadsNamed("tavrello-io"), 1);  // one I/O thread, whatever is pending
  EXPECT_EQ(internal::transportThreadsStartedForTesting(), 1);
  ASSERT_TRUE(collector.waitFor(kRequests));
  MainQueue::shared().runPending();  // nothing extra arrives
  for (int calls : handlerCalls) ASSERT_EQ(calls, 1);
  EXPECT_TRUE(collector.allOn(std::this_thread::get_id()));
  std::set<TavrelloResult*> distinct;
  for (auto& result : collector.results) distinct.insert(result.get());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(internal::transportThreadsStartedForTesting(), 1);
  EXPECT_EQ(threadsNamed("tavrello-io"), 1);
}

TEST_F(HttpExchange, SequentialRequestsReuseOneConnection) {
  const long opened = internal::transportConnectionsOpenedForTesting();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(postOnce(url())->result(), "ok");
  EXPECT_EQ(internal::transportConnectionsOpenedForTesting() - opened, 1);
  EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_F(HttpExchange, ConnectionRefusedIsHttp) {
  FaultServer gone;
  ASSERT_TRUE(gone.start());
  const std::string host = gone.hostAndPort();
  gone.stop();  // nothing listens on that port any more
  auto result = postOnce("http://" + host + "/x");
  EXPECT_EQ(result->reason(), "http");
  EXPECT_FALSE(result->response().has_value());
}

// Faults an HTTP library would not produce, each ending in exactly one "http"
// result, after which the library still serves the next request.
TEST(HttpExchangeFaults, EachFaultEndsInOneHttpResultAndTheNextRequestWorks) {
  internal::setExchangeTimeoutForTesting(1500ms);
  struct Case {
    Fault fault;
    int status = 0;
  };
  const Case cases[] = {{Fault::CloseMidBody},
                        {Fault::ResetMidHeaders},
                        {Fault::ResetMidBody},
                        {Fault::NotHttp},
                        {Fault::EndlessHeaders},
                        {Fault::Trickle},
                        {Fault::ShortContentLength},
                        {Fault::BadChunk},
                        {Fault::Huge},
                        {Fault::NeverAnswer},
                        {Fault::NeverRead},
                        {Fault::Status, 199}};
  for (const auto& c : cases) {
    SCOPED_TRACE(faultName(c.fault));
    FaultServer server(c.fault);
    if (c.fault == Fault::Status) server.setStatus(c.status, "informational");
    if (c.fault == Fault::Trickle) server.setTrickleInterval(1000ms);  // past the timeout
    ASSERT_TRUE(server.start());
    Collector collector;
    Access::doPost("http://" + server.hostAndPort() + "/x", {{"a", std::string("1")}},
                   collector.handler());
    ASSERT_TRUE(collector.waitFor(1));
    MainQueue::shared().runUntil([] { return false; }, 50ms);  // no second call
    ASSERT_EQ(collector.results.size(), 1u);
    EXPECT_EQ(collector.results[0]->result(), "FAIL");
    EXPECT_EQ(collector.results[0]->reason(), "http");
    EXPECT_FALSE(collector.results[0]->response().has_value());

    server.setFault(Fault::Normal);
    server.setNormalBody("fine");
    Collector next;
    Access::doPost("http://" + server.hostAndPort() + "/x", {}, next.handler());
    ASSERT_TRUE(next.waitFor(1));
    EXPECT_EQ(next.results[0]->result(), "ok");
    EXPECT_EQ(text(next.results[0]->response()), "fine");
  }
  internal::setExchangeTimeoutForTesting(60s);
}

}  // namespace
}  // namespace tavrello::testing
