// Checks that the test servers do what the integration tests rely on, driven by libcurl's
// easy and multi interfaces and by raw sockets.
#include "support/fault_server.hpp"
#include "support/loopback_server.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavrello::testing::Fault;
using tavrello::testing::FaultServer;
using tavrello::testing::LoopbackServer;
using tavrello::testing::LoopbackServerOptions;
using tavrello::testing::Reply;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBodyCap = std::size_t{1} << 20;

struct Exchange {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

size_t appendCapped(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  if (body->size() + size * count > kBodyCap) return 0;  // aborts with CURLE_WRITE_ERROR
  body->append(data, size * count);
  return size * count;
}

using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

EasyHandle newEasy(const std::string& url, const std::string& form, std::string* body,
                   std::chrono::milliseconds timeout) {
  EasyHandle curl(curl_easy_init(), &curl_easy_cleanup);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_COPYPOSTFIELDS, form.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendCapped);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, body);
  return curl;
}

Exchange performOn(CURL* curl) {
  Exchange result;
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  result.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

Exchange post(const std::string& url, const std::string& form,
              std::chrono::milliseconds timeout = 5s) {
  Exchange result;
  const EasyHandle curl = newEasy(url, form, &result.body, timeout);
  result.code = curl_easy_perform(curl.get());
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

std::chrono::milliseconds elapsedSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// A raw client socket with a receive timeout, for what libcurl would hide.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const timeval timeout{3, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& data) {
    return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Reads until `text` arrived; false on close, error or timeout.
  bool readUntil(const std::string& text) {
    char buffer[4096];
    while (received_.find(text) == std::string::npos) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      received_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  // Reads until the server closes or resets the connection; false if it is still open after
  // the receive timeout.
  bool closedByServer() {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0) return true;
      if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
    }
  }

 private:
  int fd_;
  bool connected_ = false;
  std::string received_;
};

const std::string kRequest =
    "POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
    "application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=1";

TEST(LoopbackServerTest, RecordsAFormPostAsReceivedAndAnswersWithTheReply) {
  LoopbackServer server;
  ASSERT_TRUE(server.start());
  server.setReply(Reply{201, "made", "text/plain", 0ms, {{"X-Reply", "yes"}}});

  const Exchange exchange = post("http://" + server.hostAndPort() + "/form?q=1", "a=1&b=x%26y");
  ASSERT_EQ(exchange.code, CURLE_OK);
  EXPECT_EQ(exchange.status, 201);
  EXPECT_EQ(exchange.body, "made");

  ASSERT_EQ(server.requestCount(), 1u);
  const auto request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/form");
  EXPECT_EQ(request.target, "/form?q=1");
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.body, "a=1&b=x%26y");
  EXPECT_EQ(request.field("a"), "1");
  EXPECT_EQ(request.field("b"), "x&y");
  EXPECT_EQ(request.fieldCount("b"), 1u);
  EXPECT_EQ(request.field("q"), "1");
  EXPECT_EQ(request.field("y"), std::nullopt);
  EXPECT_EQ(request.header("content-TYPE"), "application/x-www-form-urlencoded");
  EXPECT_EQ(request.headerCount("Content-Type"), 1u);
  EXPECT_EQ(request.headerCount("REMOTE_ADDR"), 0u);  // added by cpp-httplib, not the client
  EXPECT_EQ(request.remoteAddr, "127.0.0.1");
  EXPECT_EQ(request.connectionId, 1u);

  // An unencoded "&" splits a value into two fields, and the record shows it.
  ASSERT_EQ(post("http://" + server.hostAndPort() + "/", "b=x&y&b=2").code, CURLE_OK);
  const auto split = server.requests().at(1);
  EXPECT_EQ(split.fieldCount("b"), 2u);
  EXPECT_EQ(split.fieldCount("y"), 1u);

  server.setHandler([](const tavrello::testing::RecordedRequest&) -> Reply {
    throw std::runtime_error("handler failed");
  });
  const Exchange failed = post("http://" + server.hostAndPort() + "/", "");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, "handler failed");
}

TEST(LoopbackServerTest, AnswersAThousandConcurrentRequestsOverSixtyFourConnections) {
  LoopbackServer server;
  ASSERT_TRUE(server.start());
  const std::string url = "http://" + server.hostAndPort() + "/load";

  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                              &curl_multi_cleanup);
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, 64L);
  curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, 64L);
  constexpr int kRequests = 1000;
  std::vector<std::string> bodies(kRequests);
  std::vector<EasyHandle> handles;
  for (int i = 0; i < kRequests; ++i) {
    handles.push_back(newEasy(url, "n=" + std::to_string(i), &bodies[i], 20s));
    curl_multi_add_handle(multi.get(), handles.back().get());
  }

  const auto start = Clock::now();
  int running = kRequests;
  int succeeded = 0;
  while (running > 0 && elapsedSince(start) < 20s) {
    curl_multi_perform(multi.get(), &running);
    curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg == CURLMSG_DONE && message->data.result == CURLE_OK) ++succeeded;
    }
  }
  const auto elapsed = elapsedSince(start);
  for (auto& handle : handles) curl_multi_remove_handle(multi.get(), handle.get());

  EXPECT_EQ(succeeded, kRequests);
  EXPECT_LT(elapsed, 5s);
  EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kRequests));
  EXPECT_LE(server.connectionCount(), 64u);
  for (const auto& body : bodies) ASSERT_EQ(body, R"({"ok":true})");
}

TEST(LoopbackServerTest, StopIsPromptWithAnIdleConnectionAndADelayedReplyOpen) {
  LoopbackServerOptions options;
  options.keepAliveTimeout = 60s;
  LoopbackServer server(options);
  ASSERT_TRUE(server.start());
  const std::string url = "http://" + server.hostAndPort() + "/";

  std::string idleBody;
  const EasyHandle idle = newEasy(url, "", &idleBody, 5s);
  ASSERT_EQ(performOn(idle.get()).code, CURLE_OK);  // its connection now sits idle

  server.setReply(Reply{200, "late", "text/plain", 60s});
  Exchange delayed;
  std::thread client([&] { delayed = post(url, "", 30s); });
  EXPECT_TRUE(server.waitForRequests(2, 5s));
  EXPECT_EQ(server.openConnectionCount(), 2u);

  const auto start = Clock::now();
  server.stop();
  EXPECT_LT(elapsedSince(start), 1s);
  client.join();
  EXPECT_LT(elapsedSince(start), 2s);
  EXPECT_NE(delayed.code, CURLE_OK);  // the connection closed before any reply
  EXPECT_EQ(server.openConnectionCount(), 0u);
}

// What each fault does to a plain libcurl request, and that a Normal request on the same
// server succeeds right after it.
TEST(FaultServerTest, EachFaultEndsALibcurlRequestAsDescribed) {
  struct Case {
    const char* name;
    std::function<void(FaultServer&)> arrange;
    CURLcode expected;
  };
  const std::vector<Case> cases = {
      {"Normal", [](FaultServer& s) { s.setFault(Fault::Normal); }, CURLE_OK},
      {"Status 503", [](FaultServer& s) { s.setStatus(503, "busy"); }, CURLE_OK},
      {"Status 199", [](FaultServer& s) { s.setStatus(199); }, CURLE_OPERATION_TIMEDOUT},
      {"CloseMidBody", [](FaultServer& s) { s.setFault(Fault::CloseMidBody); }, CURLE_PARTIAL_FILE},
      {"ResetMidHeaders", [](FaultServer& s) { s.setFault(Fault::ResetMidHeaders); },
       CURLE_RECV_ERROR},
      {"ResetMidBody", [](FaultServer& s) { s.setFault(Fault::ResetMidBody); }, CURLE_RECV_ERROR},
      {"NotHttp", [](FaultServer& s) { s.setFault(Fault::NotHttp); }, CURLE_UNSUPPORTED_PROTOCOL},
      {"EndlessHeaders", [](FaultServer& s) { s.setFault(Fault::EndlessHeaders); },
       CURLE_OPERATION_TIMEDOUT},
      {"Trickle", [](FaultServer& s) { s.setFault(Fault::Trickle); }, CURLE_OPERATION_TIMEDOUT},
      {"ShortContentLength", [](FaultServer& s) { s.setFault(Fault::ShortContentLength); },
       CURLE_PARTIAL_FILE},
      {"BadChunk", [](FaultServer& s) { s.setFault(Fault::BadChunk); }, CURLE_RECV_ERROR},
      {"Huge", [](FaultServer& s) { s.setFault(Fault::Huge); }, CURLE_WRITE_ERROR},
      {"Huge chunked",
       [](FaultServer& s) {
         s.setFault(Fault::Huge);
         s.setHugeBody(FaultServer::kDefaultHugeSize, true);
       },
       CURLE_WRITE_ERROR},
      {"NeverAnswer", [](FaultServer& s) { s.setFault(Fault::NeverAnswer); },
       CURLE_OPERATION_TIMEDOUT},
      {"NeverRead", [](FaultServer& s) { s.setFault(Fault::NeverRead); }, CURLE_OPERATION_TIMEDOUT},
  };

  FaultServer server;
  ASSERT_TRUE(server.start());
  const std::string url = "http://" + server.hostAndPort() + "/api";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange(server);
    const Exchange failed = post(
        url, "a=1", c.expected == CURLE_OPERATION_TIMEDOUT ? 500ms : std::chrono::milliseconds(5s));
    EXPECT_EQ(failed.code, c.expected) << curl_easy_strerror(failed.code);

    server.setFault(Fault::Normal);
    const Exchange recovered = post(url, "a=1");
    EXPECT_EQ(recovered.code, CURLE_OK) << curl_easy_strerror(recovered.code);
    EXPECT_EQ(recovered.body, R"({"ok":true})");
  }
  // The huge bodies stopped when the client gave up: far less than 64 MiB went out.
  EXPECT_TRUE(server.waitForNoOpenConnections(2s));
  EXPECT_LT(server.bytesSent(), FaultServer::kDefaultHugeSize);
  EXPECT_NE(server.received().at(0).find("POST /api HTTP/1.1\r\n"), std::string::npos);
}

// stop() must not wait for a client that holds a connection in the middle of a fault.
TEST(FaultServerTest, StopIsPromptWhileClientsAreMidFault) {
  for (const Fault fault :
       {Fault::NeverRead, Fault::NeverAnswer, Fault::Trickle, Fault::EndlessHeaders, Fault::Huge}) {
    SCOPED_TRACE(tavrello::testing::faultName(fault));
    FaultServer server(fault);
    ASSERT_TRUE(server.start());
    RawClient client(server.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(kRequest));
    if (fault == Fault::NeverRead) {
      ASSERT_TRUE(server.waitForConnections(1, 2s));
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(server.received().at(0), "");
    } else {
      ASSERT_TRUE(server.waitForRequests(1, 2s));
    }
    if (fault == Fault::Trickle) {
      // The header block and the first body byte arrive at once; the rest a byte a second.
      EXPECT_TRUE(client.readUntil("Content-Length: 1000\r\n\r\nx"));
    }

    const auto start = Clock::now();
    server.stop();
    EXPECT_LT(elapsedSince(start), 500ms);
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(server.openConnectionCount(), 0u);
  }
}

}  // namespace
