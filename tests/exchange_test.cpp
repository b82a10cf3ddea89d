// The POST exchange through the public interface: the request on the wire, the result each
// kind of reply turns into, the order results arrive in, and how the transport holds up
// under load and at rest.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <tavrello/tavrello.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "internal/descriptors.hpp"
#include "internal/http_transport.hpp"
#include "support/client.hpp"
#include "support/exchange_timeout.hpp"
#include "support/raw_server.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;

std::string text(const Result& result) {
  const auto& bytes = result->response();
  return bytes ? std::string(bytes->begin(), bytes->end()) : "<absent>";
}

std::string headWithLength(int status, std::size_t length, const std::string& more = "") {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + more +
         "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

const std::string kHeld = "<held>";        // a sandbox that holds every request
const std::string kRefused = "<refused>";  // a port where nothing listens
const std::string kMiB(1 << 20, 'x');
const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct Outcome {
  const char* name;
  std::string head;  // the reply up to its body, or kHeld, kRefused
  std::string body;  // sent after the head `repeat` times
  std::size_t repeat;
  int status;             // httpStatus()
  const char* detail;     // what detail() starts with; "" for "ok"
  const char* kept = "";  // response() of an "ok" whose body is framed in the head
  const char* tail = "";  // sent after the body
};

const Outcome kOutcomes[] = {
    {"Ok", headWithLength(200, 28), R"({"result":"ok","data":[1,2]})", 1, 200, ""},
    {"OkEmpty", headWithLength(200, 0), "", 1, 200, ""},
    {"Status299", headWithLength(299, 4), "edge", 1, 299, ""},
    {"Ok48MiB", headWithLength(200, 48 << 20), kMiB, 48, 200, ""},
    {"ChunkedWithTrailers", kChunkedHead + "5\r\nhello\r\n0\r\nX-T: 1\r\n\r\n", "", 0, 200, "",
     "hello"},
    {"Status300NotFollowed", headWithLength(300, 5, "Location: /\r\n"), "moved", 1, 300,
     "HTTP 300 from 127.0.0.1:"},
    {"Status503CutShort", headWithLength(503, 100), "short", 1, 503, "HTTP 503 from 127.0.0.1:"},
    {"CutMidBody", headWithLength(200, 100), "short", 1, 200, "reply cut short by 127.0.0.1:"},
    {"CutMidHeader", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-", "", 0, 200,
     "reply cut short by 127.0.0.1:"},
    // Nothing at all on a fresh connection: the server saw the request, so it is not sent
    // again.
    {"EmptyReply", "", "", 0, 0, "empty reply from 127.0.0.1:"},
    {"Timeout", kHeld, "", 0, 0, "no complete reply within 500 ms"},
    {"Refused", kRefused, "", 0, 0, "connection refused by 127.0.0.1:"},
    {"OverCap", headWithLength(200, 65 << 20), kMiB, 65, 200, "reply larger than 64 MiB"},
    {"OverCapChunked", kChunkedHead, "100000\r\n" + kMiB + "\r\n", 65, 200,
     "reply larger than 64 MiB", "", "0\r\n\r\n"},  // a chunked reply that ends properly
};

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

class Outcomes : public ::testing::TestWithParam<Outcome> {};

TEST_P(Outcomes, EachReplyEndsInExactlyOneResult) {
  const Outcome& outcome = GetParam();
#ifdef TAVRELLO_TSAN
  if (outcome.repeat * outcome.body.size() > kMiB.size()) {
    GTEST_SKIP() << "ThreadSanitizer checks every byte copied: tens of MiB take minutes on a "
                    "busy machine; the other builds carry the large replies";
  }
#endif
  const bool holds = outcome.head == kHeld;
  const ExchangeTimeout timeout(holds ? 500ms : 60s);
  // Held for 10 s, long past the 500 ms: a deadline that does not end the request in time
  // lets that answer through.
  Server holding;
  sandbox::Fault late = held();
  late.delay = 10s;
  if (holds) holding.injectFault(late);
  std::unique_ptr<RawServer> raw;
  if (!holds) {
    raw = std::make_unique<RawServer>(outcome.head, outcome.body, outcome.repeat, outcome.tail);
  }
  const std::string host = holds ? holding.host() : raw->host();
  if (outcome.head == kRefused) raw.reset();  // its port, closed again
  auto& api = clientFor(host);
  std::vector<Exchange> seen;
  api.setObserver([&](const Exchange& exchange) {
    seen.push_back(exchange);
    throw std::runtime_error("an observer that fails");  // must not matter
  });
  int calls = 0;
  Result result;
  api.getLastData("m", [&](Result r) {
    ++calls;
    result = std::move(r);
  });
  ASSERT_TRUE(drainUntil([&] { return calls > 0; }));
  MainQueue::shared().runUntil([] { return false; }, 100ms);
  api.setObserver(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result->httpStatus(), outcome.status);
  const std::size_t sent = outcome.body.size() * outcome.repeat;
  if (*outcome.detail == '\0') {
    EXPECT_EQ(result->result(), "ok");
    EXPECT_EQ(result->reason(), "");
    EXPECT_EQ(result->detail(), "");
    std::string expected = outcome.kept;
    for (std::size_t i = 0; i < outcome.repeat && !*outcome.kept; ++i) expected += outcome.body;
    EXPECT_TRUE(text(result) == expected);  // the bytes, unchanged (not printed: up to 48 MiB)
  } else {
    EXPECT_EQ(result->result(), "FAIL");
    EXPECT_EQ(result->reason(), "http");
    EXPECT_EQ(result->detail().rfind(outcome.detail, 0), 0u) << result->detail();
    EXPECT_FALSE(result->response().has_value());
  }
  // The observer saw the same outcome, once, with the body bytes read, kept or not.
  ASSERT_EQ(seen.size(), 1u);
  const Exchange& record = seen[0];
  EXPECT_EQ(record.method + " " + record.url + " " + record.operation,
            "POST http://" + host + "/api.get.member.location.last.php getLastData");
  EXPECT_EQ(
      std::make_tuple(record.httpStatus, record.result, record.reason, record.detail),
      std::make_tuple(result->httpStatus(), result->result(), result->reason(), result->detail()));
  EXPECT_EQ(record.newConnection, outcome.head != kRefused);
  if (sent < kMiB.size() && !*outcome.kept) {
    EXPECT_EQ(record.replyBytes, sent);
  }
  if (holds) {
    EXPECT_GE(record.elapsed, 450ms);  // the real time from the call (libcurl rounds)
    EXPECT_TRUE(holding.waitForRequests(1, 30s));
  }
  // No retry, and no redirect followed.
  EXPECT_EQ(raw ? raw->requests() : holding.requests().size(), outcome.head == kRefused ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(, Outcomes, ::testing::ValuesIn(kOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that reads a request on a kept-alive connection and drops it unanswered, as a
// crashing server or a load balancer that gives up does. A write is never sent again: the
// service may have applied it. A read may go again, and gets its answer; not once a byte of
// its reply came.
struct Dropped {
  const char* name;
  bool write;
  RawServer::Then then;  // for the second request
  const char* result;
  std::size_t requests;  // that the server read
};

const Dropped kDropped[] = {
    {"WriteThenClose", true, RawServer::kCloseUnanswered, "FAIL", 2},
    {"WriteThenReset", true, RawServer::kResetUnanswered, "FAIL", 2},
    {"ReadThenClose", false, RawServer::kCloseUnanswered, "ok", 3},
    {"ReadThenReset", false, RawServer::kResetUnanswered, "ok", 3},
    {"ReadResetInTheHead", false, RawServer::kResetInTheHead, "FAIL", 2},
};

void PrintTo(const Dropped& row, std::ostream* out) { *out << row.name; }

class DeadAfterReading : public ::testing::TestWithParam<Dropped> {};

TEST_P(DeadAfterReading, AWriteIsSentOnceAReadAtMostTwice) {
  const Dropped& row = GetParam();
  RawServer server(headWithLength(200, 2), "{}");
  server.script({RawServer::kAnswerAndKeep, row.then, RawServer::kAnswerAndKeep});
  auto& api = clientFor(server.host());
  ASSERT_EQ(callOnce(api)->result(), "ok");  // its connection is kept
  int calls = 0;
  Result result;
  const CompletionHandler handler = [&](Result r) {
    ++calls;
    result = std::move(r);
  };
  row.write ? api.createGroup("g", handler) : api.getLastData("m", handler);
  ASSERT_TRUE(drainUntil([&] { return calls > 0; }));
  MainQueue::shared().runUntil([] { return false; }, 100ms);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result->result(), row.result) << result->detail();
  EXPECT_EQ(server.requests(), row.requests);
}

INSTANTIATE_TEST_SUITE_P(, DeadAfterReading, ::testing::ValuesIn(kDropped),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that restarted behind its kept connections reads a request on each and drops
// it. libcurl sends a read again on the next kept connection, five times at most; when
// every one it tried was dead, the library's own retry on a fresh connection answers it.
TEST(Exchange, AReadOutlastsEveryKeptConnectionDying) {
  constexpr std::size_t kKept = 6;  // libcurl's first send and its five retries
  RawServer server(headWithLength(200, 2), "{}");
  std::vector<RawServer::Then> script(kKept, RawServer::kAnswerAndKeep);
  script.insert(script.end(), kKept, RawServer::kCloseUnanswered);
  script.push_back(RawServer::kAnswerAndKeep);
  server.script(script);
  server.answerOnceRead(kKept);
  auto& api = clientFor(server.host());
  std::size_t done = 0;
  for (std::size_t i = 0; i < kKept; ++i) api.getLastData("m", [&](Result) { ++done; });
  ASSERT_TRUE(drainUntil([&] { return done == kKept; }));
  ASSERT_EQ(server.connections(), kKept);
  const Result result = callOnce(api);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->result(), "ok") << result->detail();
  EXPECT_EQ(server.requests(), 2 * kKept + 1);
}

// A server that says how long it keeps idle connections: they are not reused after that.
TEST(Exchange, AConnectionIsNotReusedPastTheServersKeepAlive) {
  RawServer server(headWithLength(200, 2, "Keep-Alive: timeout=1\r\n"), "{}");
  server.script({RawServer::kAnswerAndKeep});
  auto& api = clientFor(server.host());
  ASSERT_EQ(callOnce(api)->result(), "ok");
  std::this_thread::sleep_for(1100ms);
  ASSERT_EQ(callOnce(api)->result(), "ok");
  EXPECT_EQ(server.connections(), 2u);
}

TEST(Exchange, SendsExactlyThePostItShould) {
  Server server;
  const std::string name(1100000, 'n');  // over 1 MiB, where libcurl would add "Expect"
  ASSERT_TRUE(callOnce(clientFor(server.host()), [&](TavrelloAPI& api, CompletionHandler h) {
    api.createGroup(name, std::move(h));
  }));
  const sandbox::Request request = server.requests().at(0);
  std::map<std::string, std::string> headers;  // by lower-case name
  for (auto [header, value] : request.headers) {
    std::transform(header.begin(), header.end(), header.begin(), ::tolower);
    headers.emplace(header, value);
  }
  EXPECT_EQ(headers, (std::map<std::string, std::string>{
                         {"accept", "application/json"},
                         {"content-length", std::to_string(request.body.size())},
                         {"content-type", "application/x-www-form-urlencoded"},
                         {"host", server.host()}}));
  EXPECT_EQ(request.field("group_name"), name);
}

// Replies released at once complete in some order, often several in one round of the
// transport: handlers run in exactly that order (the observer's), behind a task queued
// before they completed. Each reply is told apart by its own 2xx status.
TEST(Exchange, ResultsArriveInCompletionOrderBehindQueuedTasks) {
  Server server;
  for (int i = 0; i < 16; ++i) server.injectFault(held("", 230 + i, 1));
  auto& api = clientFor(server.host());
  std::mutex mutex;
  std::vector<int> completed, handled;
  api.setObserver([&](const Exchange& exchange) {
    std::lock_guard lock(mutex);
    completed.push_back(exchange.httpStatus);
  });
  for (int i = 0; i < 16; ++i) {
    api.getLastData(std::to_string(i), [&](Result r) { handled.push_back(r->httpStatus()); });
  }
  ASSERT_TRUE(server.waitForRequests(16, 30s));
  MainQueue::shared().post([&] { handled.push_back(-1); });
  server.releaseDelayed();
  waitWithoutDraining([&] {
    std::lock_guard lock(mutex);
    return completed.size() == 16;
  });
  ASSERT_TRUE(drainUntil([&] { return handled.size() == 17; }));
  api.setObserver(nullptr);
  completed.insert(completed.begin(), -1);
  EXPECT_EQ(handled, completed);
  EXPECT_EQ(std::count(handled.begin(), handled.end(), 0), 0);  // none timed out
}

TEST(Exchange, AThousandInFlightEachGetTheirOwnResultOnce) {
  sandbox::Options thousand = sandboxOptions();
  thousand.members = 1000;
  Server server(Server::kAtOnce, thousand);
  auto& api = clientFor(server.host());
  std::vector<int> calls(1000, 0);
  std::size_t finished = 0;
  for (int i = 0; i < 1000; ++i) {
    char member[8];
    std::snprintf(member, sizeof member, "m-%04d", i + 1);
    CompletionHandler handler = [&, i, member = std::string(member)](Result r) {
      ++calls[i];
      ++finished;
      EXPECT_NE(text(r).find("\"" + member + "\""), std::string::npos) << text(r);
    };
    // Every fourth a write, on a connection of its own; its reply names the new group.
    i % 4 == 3 ? api.createGroup(member, handler) : api.getLastData(member, handler);
  }
  EXPECT_EQ(ioThreads().size(), 1u);
  ASSERT_TRUE(drainUntil([&] { return finished == 1000; }));
  MainQueue::shared().runUntil([] { return false; }, 100ms);
  for (int count : calls) ASSERT_EQ(count, 1);
  // Never more connections open at once than active transfers (the server may close idle
  // ones on a busy machine, and more are made over the run).
  EXPECT_LE(internal::peakConnectionsForTesting(), 64u);
}

// Whatever a handler did to its result, the next request's result comes as a new one: its
// own bytes, "ok" and its status, every other field as TavrelloResult(Bytes) leaves it.
TEST(Exchange, AResultComesNewWhateverTheHandlerDidToTheOneBefore) {
  Server server;
  auto& api = clientFor(server.host());
  Result next;
  api.getLastData("m-1", [&](Result first) {
    first->setMessage(Message{{{"key", std::any(1)}}});
    first->setResult("x");
    first->setType("t");
    first->setReason("r");
    first->setResponse(Bytes(4, '\1'));
    first->setHttpStatus(7);
    first->setDetail("d");
    first->setErrorBody(Bytes(4, '\1'));
    api.getLastData("m-1", [&](Result r) { next = std::move(r); });
  });
  ASSERT_TRUE(drainUntil([&] { return next != nullptr; }));
  const TavrelloResult made(*next->response());
  EXPECT_EQ(text(next).rfind("{", 0), 0u) << text(next);
  EXPECT_FALSE(next->message());
  EXPECT_EQ(next->result(), "ok");
  EXPECT_EQ(next->type(), made.type());
  EXPECT_EQ(next->reason(), made.reason());
  EXPECT_EQ(next->httpStatus(), 200);
  EXPECT_EQ(next->detail(), made.detail());
  EXPECT_EQ(next->errorBody(), made.errorBody());
}

// Requests beyond the 64 active wait in the library's own queue; their deadline runs there.
TEST(Exchange, RequestsWaitingForASlotKeepTheirDeadline) {
  Server server(Server::kHeld);
  auto& api = clientFor(server.host());
  std::size_t finished = 0;
  const auto count = [&](Result) { ++finished; };
  for (int i = 0; i < 64; ++i) api.getGroups(count);
  ASSERT_TRUE(server.waitForRequests(64, 30s)) << server.requests().size() << ", " << finished;
  std::vector<Result> waiting;
  {
    const ExchangeTimeout timeout(500ms);
    for (int i = 0; i < 5; ++i) api.getGroups([&](Result r) { waiting.push_back(r); });
  }
  EXPECT_TRUE(drainUntil([&] { return waiting.size() == 5; }));
  for (const Result& result : waiting) {
    EXPECT_EQ(result->detail(), "no complete reply within 500 ms");
  }
  server.releaseDelayed();  // the 64 end now
  EXPECT_TRUE(drainUntil([&] { return finished == 64; }));
}

TEST(Exchange, AnIdleLibrarySleepsUntilThereIsWork) {
  Server server;
  ASSERT_EQ(callOnce(clientFor(server.host()))->result(), "ok");
  server.stop();  // no connection left for the I/O thread to hear about
  std::this_thread::sleep_for(200ms);
  const long before = ioThreads().at(0).wakeups;
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(ioThreads().at(0).wakeups, before);
}

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Past the 64 MiB cap too, a failed reply is told by its status and the start of its body.
TEST(Exchange, TheBodyOfAFailedReplyIsNotKept) {
#ifdef TAVRELLO_TSAN
  GTEST_SKIP() << "ThreadSanitizer's shadow memory grows with every byte copied";
#endif
  RawServer server(headWithLength(503, 70 << 20), kMiB, 70);
  const long before = peakResidentKiB();
  const Result result = callOnce(clientFor(server.host()));
  EXPECT_EQ(result->detail(), "HTTP 503 from " + server.host());
  EXPECT_EQ(result->errorBody(), Bytes(64 * 1024, 'x'));  // the first 64 KiB of 70 MiB
  EXPECT_LT(peakResidentKiB() - before, 24 * 1024);
}

}  // namespace
}  // namespace tavrello::testing
