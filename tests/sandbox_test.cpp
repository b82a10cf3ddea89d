// The sandbox: the in-process Sandbox over HTTP, its answers to a recorded set of requests,
// and its request handler called without a socket. Requests are signed with OpenSSL and
// encoded by cpp-httplib, so the tests share no code with the sandbox they check; the faults
// it injects are seen through the client library, as an application's tests see them.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <tavrello/tavrello.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "sandbox_options.hpp"
#include "sandbox_service.hpp"
#include "sandbox_wire.hpp"
#include "sandbox_world.hpp"

namespace tavrello::sandbox {
namespace {

using nlohmann::json;
using FieldList = std::vector<std::pair<std::string, std::string>>;

const std::string kApiKey = "test-api-key", kServerKey = "test-server-key",
                  kTimestamp = "1700000000.25";
const std::string kForm = "application/x-www-form-urlencoded", kCommon(kCommonPath);

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

// Sends `request` on a connection of its own and returns the connection (-1 if it failed).
int sendOnly(const std::string& host, const std::string& request) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(host.substr(host.rfind(':') + 1))));
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(request.size())) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

// Every byte that comes on `fd` up to the server's close; closes it.
std::string readAll(int fd) {
  std::string reply;
  char buffer[4096];
  for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
  if (fd >= 0) ::close(fd);
  return reply;
}

// Sends `request` on a connection of its own and returns every byte of the reply.
std::string roundTrip(const std::string& host, const std::string& request) {
  return readAll(sendOnly(host, request));
}

// An HTTP/1.1 request for roundTrip(): the connection closes after the reply.
std::string request(const std::string& method, const std::string& target,
                    const std::string& body = "", const std::string& type = kForm) {
  std::string text =
      method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!type.empty()) text += "Content-Type: " + type + "\r\n";
  if (method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
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
    std::string sent = recorded.value("raw", "");
    if (sent.empty()) {
      sent = request(recorded.at("method"), recorded.at("target"), recorded.value("body", ""),
                     recorded.value("type", ""));
    }
    sent.append(recorded.value("pad", std::size_t{0}), 'x');  // for a body over the limit
    for (int i = 1; i < recorded.value("times", 1); ++i) roundTrip(sandbox.host(), sent);
    std::unique_lock<std::mutex> lock(mutex);
    logged.clear();
    lock.unlock();
    const std::string reply = roundTrip(sandbox.host(), sent);
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

// Many threads at once: each created group gets a key of its own.
TEST(SandboxService, ConcurrentCreatesGetDistinctKeys) {
  SandboxService service(testOptions());
  const std::string body = signedBody({{"api", "api.common.group.set.add"}, {"group_name", "t"}});
  std::vector<std::string> created(100);
  std::vector<std::thread> threads;
  for (std::size_t first = 0; first < 4; ++first) {
    threads.emplace_back([&, first] {
      for (std::size_t i = first; i < created.size(); i += 4) {
        created[i] = json::parse(service.handle("POST", kCommon, kForm, body).body)
                         .value("/data/group_key"_json_pointer, "");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(created.begin(), created.end()).size(), 100u);
  EXPECT_EQ(service.groups().size(), kSeededGroups + 100);
}

// The service in-process, as an application's tests use it: shows what it received and its
// groups, resets them, never listens beyond loopback or on a port in use, and closes its port
// when stopped. A client on a busy machine may send its request long after connecting.
TEST(SandboxInProcess, ShowsAndResetsWhatItReceived) {
  Options beyondLoopback = testOptions();
  beyondLoopback.listen = "0.0.0.0:0";
  EXPECT_FALSE(Sandbox(beyondLoopback).running());
  Sandbox sandbox(testOptions());
  ASSERT_TRUE(sandbox.running()) << sandbox.error();
  const std::string host = sandbox.host();
  Options taken = testOptions();
  taken.listen = host;
  EXPECT_EQ(Sandbox(taken).error(), "cannot listen on " + host + ": address already in use");
  const std::string create =
      request("POST", kCommon,
              signedBody({{"api", "api.common.group.set.add"}, {"group_name", "A&B + C"}}));
  const int late = sendOnly(host, "");  // past the server's 1 s limit for an idle connection
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(::send(late, create.data(), create.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(create.size()));
  ASSERT_EQ(readAll(late).substr(0, 12), "HTTP/1.1 200");
  roundTrip(host, request("GET", "/api.partner.other.php"));
  EXPECT_TRUE(sandbox.waitForRequests(2, std::chrono::milliseconds::max()));  // no deadline
  const std::vector<Request> sent = sandbox.requests();                       // each as it came
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].operation + " " + sent[0].field("group_name").value_or("") + " " +
                sent[1].method + " " + sent[1].target,
            "createGroup A&B + C GET /api.partner.other.php");
  ASSERT_EQ(sandbox.groups().size(), kSeededGroups + 1);
  EXPECT_EQ(sandbox.groups().back().name, "A&B + C");
  EXPECT_EQ(sandbox.groups().front().memberKeys.front().rfind("m-", 0), 0u);
  sandbox.reset();
  EXPECT_EQ(sandbox.groups().size(), kSeededGroups);
  EXPECT_TRUE(sandbox.requests().empty());
  // Keys start over from the seed: the next group is the sixth again.
  EXPECT_NE(roundTrip(host, create).find(R"("group_key":"g-006")"), std::string::npos);
  sandbox.stop();
  EXPECT_EQ(roundTrip(host, create), "");  // the port is closed
  Options forgetful = testOptions();
  forgetful.keepRequests = false;
  Sandbox keepsNone(forgetful);
  EXPECT_NE(roundTrip(keepsNone.host(), create), "");
  EXPECT_TRUE(keepsNone.requests().empty());
}

// stop() waits for no client: not for a request a fault holds without end, nor for a body
// that trickles in (nor for an idle keep-alive connection, the same case to the server: it
// waits to read). It may be called from two threads at once while a third asks running().
TEST(SandboxInProcess, StopsWithoutWaitingForClientsFromAnyThread) {
  Sandbox sandbox(testOptions());
  Fault held("", 0);
  held.delay = std::chrono::milliseconds::max();  // until stop()
  ASSERT_TRUE(sandbox.injectFault(held));
  auto delayed = std::async(std::launch::async,
                            [&] { return roundTrip(sandbox.host(), request("GET", kCommon)); });
  ASSERT_TRUE(sandbox.waitForRequests(1, std::chrono::milliseconds::max()));
  // Once the server said "100 Continue", it reads the body, which comes a byte at a time.
  const int trickling = sendOnly(sandbox.host(), "POST " + kCommon +
                                                     " HTTP/1.1\r\nExpect: 100-continue\r\n"
                                                     "Content-Length: 1000000\r\n\r\n");
  std::string interim;
  char buffer[64];
  for (ssize_t n; interim.find("\r\n\r\n") == std::string::npos &&
                  (n = ::read(trickling, buffer, sizeof buffer)) > 0;) {
    interim.append(buffer, n);
  }
  ASSERT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
  std::atomic<bool> stopped{false};
  std::thread reader([&] {
    while (!stopped) static_cast<void>(sandbox.running());
  }),
      trickle([&] {
        while (::send(trickling, "x", 1, MSG_NOSIGNAL) == 1) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      });
  std::thread first([&] { sandbox.stop(); }), second([&] { sandbox.stop(); });
  first.join();
  second.join();
  stopped = true;
  reader.join();
  trickle.join();
  ::close(trickling);
  delayed.get();
  EXPECT_FALSE(sandbox.running());
}

// A request's fault is decided before the request can be seen: a fault injected once a call
// was seen never applies to it.
TEST(SandboxInProcess, AFaultInjectedAfterACallWasSeenIsNotItsOwn) {
  Sandbox sandbox(testOptions());
  const std::string list =
      request("POST", kCommon, signedBody({{"api", "api.common.group.get.list"}}));
  for (std::size_t seen = 1; seen <= 40; ++seen) {
    auto reply = std::async(std::launch::async, [&] { return roundTrip(sandbox.host(), list); });
    ASSERT_TRUE(sandbox.waitForRequests(seen, std::chrono::milliseconds::max()));
    ASSERT_TRUE(sandbox.injectFault({"getGroups", 503}));
    EXPECT_EQ(reply.get().substr(0, 12), "HTTP/1.1 200");
    sandbox.clearFaults();
  }
}

// Held requests hold up nothing else: with more held than any fixed pool of threads, others
// are answered, and a held request whose client has gone stops waiting (a createGroup then
// goes ahead).
TEST(SandboxInProcess, HeldRequestsStarveNoOther) {
  Sandbox sandbox(testOptions());
  Fault held("createGroup", 0, "", 100);
  held.delay = std::chrono::milliseconds::max();
  ASSERT_TRUE(sandbox.injectFault(held));
  const std::string create = request(
      "POST", kCommon, signedBody({{"api", "api.common.group.set.add"}, {"group_name", "held"}}));
  std::vector<int> clients;
  for (int i = 0; i < 80; ++i) clients.push_back(sendOnly(sandbox.host(), create));
  EXPECT_EQ(roundTrip(sandbox.host(), request("GET", kCommon)).substr(0, 12), "HTTP/1.1 405");
  ASSERT_TRUE(sandbox.waitForRequests(81, std::chrono::milliseconds::max()));
  EXPECT_EQ(sandbox.groups().size(), kSeededGroups);  // held, so not handled yet
  for (const int fd : clients) ::close(fd);
  while (sandbox.groups().size() < kSeededGroups + 80) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

using Result = std::shared_ptr<TavrelloResult>;
using Call = void (*)(TavrelloAPI&, CompletionHandler);

// Injected faults reach the client over the real protocol (what each answers on the wire is
// in the recorded exchanges): a status with the service's words in errorBody(), a reply cut
// short, each once and then normal answers again.
TEST(SandboxInProcess, InjectedFaultsReachTheClient) {
  Sandbox sandbox(testOptions());
  auto& api = TavrelloAPI::shared();
  api.setApiKey(kApiKey);
  api.setServerKey(kServerKey);
  api.setServiceHost(sandbox.host());
  const Call createGroup = [](TavrelloAPI& a, CompletionHandler h) { a.createGroup("x", h); };
  const Call getGroups = [](TavrelloAPI& a, CompletionHandler h) { a.getGroups(h); };
  const std::string http = "HTTP 503 from " + sandbox.host();
  Fault cut("getGroups", 0);
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
      {"cut short", cut, getGroups, {"reply cut short by " + sandbox.host(), ""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sandbox.clearFaults();
    ASSERT_TRUE(sandbox.injectFault(row.fault));
    for (const std::string& detail : row.details) {
      const std::size_t groups = sandbox.groups().size();
      Result result;
      row.call(api, [&](Result r) { result = std::move(r); });
      ASSERT_TRUE(MainQueue::shared().runUntil([&] { return result != nullptr; },
                                               std::chrono::seconds(30)));
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
