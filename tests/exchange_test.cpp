// The POST exchange through the public interface: the request on the wire, the result each
// kind of reply turns into, and how the transport holds up under load and at rest.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tavrello/tavrello.hpp>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "internal/http_transport.hpp"
#include "support/recording_server.hpp"

namespace tavrello::testing {
namespace {

using namespace std::chrono_literals;
using Result = std::shared_ptr<TavrelloResult>;

std::string text(const Result& result) {
  const auto& bytes = result->response();
  return bytes ? std::string(bytes->begin(), bytes->end()) : "<absent>";
}

TavrelloAPI& clientOf(const std::string& host) {
  auto& api = TavrelloAPI::shared();
  api.setApiKey("k");
  api.setServerKey("s");
  api.setServiceHost(host);
  return api;
}

// Sends getLastData to `host` and drains the main queue until its result came.
Result send(const std::string& host) {
  Result result;
  clientOf(host).getLastData("m-1", [&](Result r) { result = std::move(r); });
  MainQueue::shared().runUntil([&] { return result != nullptr; }, 30s);
  return result;
}

// A server that answers every request with `reply` and closes the connection: replies no
// HTTP library would write.
class RawServer {
 public:
  explicit RawServer(std::string reply) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, reply] {
      for (int connection; (connection = ::accept(fd_, nullptr, nullptr)) >= 0;) {
        // The whole request first: unread bytes would turn the close into a reset.
        std::string request;
        char buffer[4096];
        for (ssize_t n; (n = ::read(connection, buffer, sizeof buffer)) > 0;) {
          request.append(buffer, static_cast<std::size_t>(n));
          const std::size_t end = request.find("\r\n\r\n"), length = request.find("Length: ");
          if (end != std::string::npos && length != std::string::npos &&
              request.size() >= end + 4 + std::stoul(request.substr(length + 8))) {
            break;
          }
        }
        [[maybe_unused]] const ssize_t written = ::write(connection, reply.data(), reply.size());
        ::close(connection);
      }
    });
  }
  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_;
  int port_ = 0;
  std::thread thread_;
};

struct Outcome {
  const char* name;
  Answer answer;
  int status;                 // httpStatus()
  const char* detail;         // what detail() starts with; "" for "ok"
  const char* raw = nullptr;  // sent by a RawServer instead
  std::chrono::milliseconds timeout = 60s;
};

const std::string kMiB(1 << 20, 'x');

const Outcome kOutcomes[] = {
    {"Ok", {200, R"({"result":"ok","data":[1,2]})"}, 200, ""},
    {"OkEmpty", {200, ""}, 200, ""},
    {"Status299", {299, "edge"}, 299, ""},
    {"Status300NotFollowed",
     {300, "moved", 1, std::string::npos, false, 0ms, {{"Location", "/"}}},
     300,
     "HTTP 300 from 127.0.0.1:"},
    {"CutMidBody", {200, std::string(100, 'b'), 1, 10}, 200, "reply cut short by 127.0.0.1:"},
    {"CutMidHeader",
     {},
     200,
     "reply cut short by 127.0.0.1:",
     "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-"},
    {"Timeout",
     {200, "late", 1, std::string::npos, false, 3s},
     0,
     "no complete reply within 500 ms",
     nullptr,
     500ms},
    {"Refused", {}, 0, "connection refused by 127.0.0.1:", ""},
    {"OverCap", {200, kMiB, 65}, 200, "reply larger than 64 MiB"},
    {"OverCapChunked", {200, kMiB, 65, std::string::npos, true}, 200, "reply larger than 64 MiB"},
};

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

class Outcomes : public ::testing::TestWithParam<Outcome> {
 protected:
  void TearDown() override { internal::setExchangeTimeoutForTesting(60s); }
};

TEST_P(Outcomes, EachReplyEndsInExactlyOneResult) {
  const Outcome& outcome = GetParam();
  internal::setExchangeTimeoutForTesting(outcome.timeout);
  RecordingServer server(outcome.answer);
  std::unique_ptr<RawServer> raw;
  if (outcome.raw) raw = std::make_unique<RawServer>(outcome.raw);
  const std::string host = raw ? raw->host() : server.host();
  if (outcome.raw && *outcome.raw == '\0') raw.reset();  // its port, closed again
  auto& api = clientOf(host);
  int calls = 0;
  Result result;
  std::vector<Exchange> seen;
  api.setObserver([&](const Exchange& exchange) {
    seen.push_back(exchange);
    throw std::runtime_error("an observer that fails");  // must not matter
  });
  api.getLastData("m", [&](Result r) {
    ++calls;
    result = std::move(r);
  });
  ASSERT_TRUE(MainQueue::shared().runUntil([&] { return calls > 0; }, 30s));
  MainQueue::shared().runUntil([] { return false; }, 100ms);
  api.setObserver(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(result->type(), "[String:Any]");
  EXPECT_FALSE(result->message().has_value());
  EXPECT_EQ(result->httpStatus(), outcome.status);
  if (*outcome.detail == '\0') {
    EXPECT_EQ(result->result(), "ok");
    EXPECT_EQ(result->reason(), "");
    EXPECT_EQ(result->detail(), "");
    EXPECT_EQ(text(result), outcome.answer.body);  // the bytes, unchanged
  } else {
    EXPECT_EQ(result->result(), "FAIL");
    EXPECT_EQ(result->reason(), "http");
    EXPECT_EQ(result->detail().rfind(outcome.detail, 0), 0u) << result->detail();
    EXPECT_FALSE(result->response().has_value());
  }
  // The observer saw the same outcome, once.
  ASSERT_EQ(seen.size(), 1u);
  const Exchange& record = seen[0];
  EXPECT_EQ(record.method + " " + record.url + " " + record.operation,
            "POST http://" + host + "/api.get.member.location.last.php getLastData");
  EXPECT_EQ(
      std::make_tuple(record.httpStatus, record.result, record.reason, record.detail),
      std::make_tuple(result->httpStatus(), result->result(), result->reason(), result->detail()));
  EXPECT_EQ(record.newConnection, outcome.raw == nullptr || *outcome.raw != '\0');
  EXPECT_EQ(record.replyBytes, result->response() ? result->response()->size() : record.replyBytes);
  // No retry, and no redirect followed.
  EXPECT_EQ(server.received().size(), outcome.raw ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(, Outcomes, ::testing::ValuesIn(kOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Exchange, SendsExactlyThePostItShould) {
  RecordingServer server;
  const std::string name(4000, 'n');  // over 1 KiB, where libcurl would add "Expect"
  Result result;
  clientOf(server.host()).createGroup(name, [&](Result r) { result = std::move(r); });
  ASSERT_TRUE(MainQueue::shared().runUntil([&] { return result != nullptr; }, 30s));
  const Received request = server.received().at(0);
  std::set<std::string, httplib::detail::ci> names;
  for (const auto& [header, value] : request.headers) names.insert(header);
  EXPECT_EQ(names, (std::set<std::string, httplib::detail::ci>{"Accept", "Content-Length",
                                                               "Content-Type", "Host"}));
  EXPECT_EQ(request.headers.find("Content-Type")->second, "application/x-www-form-urlencoded");
  EXPECT_EQ(request.headers.find("Accept")->second, "application/json");
  EXPECT_EQ(request.field("group_name"), name);
}

// The voluntary context switches (wakeups) of each thread named tavrello-io.
std::vector<long> ioThreadWakeups() {
  std::vector<long> wakeups;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string line;
    std::getline(std::ifstream(task.path() / "comm"), line);
    if (line != "tavrello-io") continue;
    for (std::ifstream status(task.path() / "status"); std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        wakeups.push_back(std::stol(line.substr(24)));
    }
  }
  return wakeups;
}

TEST(Exchange, AThousandInFlightEachGetTheirOwnResultOnce) {
  RecordingServer server;
  server.answer([](const Received& request) { return Answer{200, request.field("member_key")}; });
  auto& api = clientOf(server.host());
  std::vector<int> calls(1000, 0);
  std::size_t finished = 0;
  for (int i = 0; i < 1000; ++i) {
    api.getLastData(std::to_string(i), [&, i](Result r) {
      ++calls[i];
      ++finished;
      EXPECT_EQ(text(r), std::to_string(i));
    });
  }
  EXPECT_EQ(ioThreadWakeups().size(), 1u);
  ASSERT_TRUE(MainQueue::shared().runUntil([&] { return finished == 1000; }, 60s));
  MainQueue::shared().runUntil([] { return false; }, 100ms);
  for (int count : calls) ASSERT_EQ(count, 1);
  std::set<int> ports;
  for (const Received& request : server.received()) ports.insert(request.peerPort);
  EXPECT_LE(ports.size(), 64u);  // never more connections than active transfers
  // One after the other, requests share one connection.
  ports.clear();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(send(server.host())->result(), "ok");
  for (std::size_t i = 1000; i < 1020; ++i) ports.insert(server.received()[i].peerPort);
  EXPECT_EQ(ports.size(), 1u);
}

// Requests beyond the 64 active wait in the library's own queue; their deadline runs there.
TEST(Exchange, RequestsWaitingForASlotKeepTheirDeadline) {
  RecordingServer server({200, "late", 1, std::string::npos, false, 60s});
  auto& api = clientOf(server.host());
  std::size_t finished = 0;
  const auto count = [&](Result) { ++finished; };
  for (int i = 0; i < 64; ++i) api.getGroups(count);
  ASSERT_TRUE(server.waitFor(64, 10s));
  internal::setExchangeTimeoutForTesting(500ms);
  std::vector<Result> waiting;
  for (int i = 0; i < 5; ++i) api.getGroups([&](Result r) { waiting.push_back(r); });
  EXPECT_TRUE(MainQueue::shared().runUntil([&] { return waiting.size() == 5; }, 10s));
  for (const Result& result : waiting) EXPECT_EQ(result->reason(), "http");
  internal::setExchangeTimeoutForTesting(60s);
  server.stop();  // the 64 end now
  EXPECT_TRUE(MainQueue::shared().runUntil([&] { return finished == 64; }, 30s));
}

TEST(Exchange, AnIdleLibrarySleepsUntilThereIsWork) {
  RecordingServer server;
  ASSERT_EQ(send(server.host())->result(), "ok");
  server.stop();  // no connection left for the I/O thread to hear about
  std::this_thread::sleep_for(200ms);
  const std::vector<long> before = ioThreadWakeups();
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(ioThreadWakeups(), before);
}

long peakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(Exchange, TheBodyOfAFailedReplyIsNotKept) {
#ifdef TAVRELLO_TSAN
  GTEST_SKIP() << "ThreadSanitizer's shadow memory grows with every byte copied";
#endif
  RecordingServer server({404, kMiB, 64});
  const long before = peakResidentKiB();
  const Result result = send(server.host());
  EXPECT_EQ(result->reason(), "http");
  EXPECT_EQ(result->errorBody(), Bytes(64 * 1024, 'x'));  // the first 64 KiB of 64 MiB
  EXPECT_LT(peakResidentKiB() - before, 24 * 1024);
}

}  // namespace
}  // namespace tavrello::testing
