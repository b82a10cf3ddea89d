// LoopbackServer: an HTTP/1.1 server on 127.0.0.1 that records every request and answers with
// whatever the test asks for. It is the server the integration tests point the client at
// when they need ordinary, well-formed replies; for broken replies see fault_server.hpp.
//
// Usage:
//
//   tavrello::testing::LoopbackServer server;
//   ASSERT_TRUE(server.start());                    // listening once this returns
//   server.setReply({201, R"({"result":"ok"})"});  // fixed reply; default: 200 {"ok":true}
//   api.setServiceHost(server.hostAndPort());        // "127.0.0.1:PORT"
//   ... send a request ...
//   ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(5)));
//   const auto request = server.requests().at(0);
//   EXPECT_EQ(request.method, "POST");
//   EXPECT_EQ(request.headerCount("Expect"), 0u);
//   EXPECT_EQ(request.field("b"), "x&y");           // body "a=1&b=x%26y"
//   EXPECT_EQ(request.body, "a=1&b=x%26y");         // raw bytes as received
//
// What it records (RecordedRequest): method, path (as cpp-httplib decodes it), the raw
// request-target, the HTTP version, every header the client sent, the raw body, the fields
// cpp-httplib parsed from the query string and from an application/x-www-form-urlencoded
// body, the client address and the id of the connection the request came on.
//
// It answers GET, HEAD, POST, PUT, PATCH, DELETE and OPTIONS on every path; cpp-httplib itself
// answers other methods (400 or 404) and those requests are not recorded. The reply comes from
// a replaceable function (setHandler) or a fixed Reply (setReply); a Reply may carry extra
// headers (a Location for a redirect, say) and a delay before it is sent.
//
// Capacity: a pool of LoopbackServerOptions::threads worker threads (80 by default), each
// serving one connection at a time; a connection is kept while idle after a reply for up to
// keepAliveTimeout (1 s) and reused for as many requests as the client likes, and a new
// connection may take up to ioTimeout (5 s) to send its first request. With a listen backlog of
// SOMAXCONN, 1,000 requests in flight over 64 keep-alive connections are answered in about a
// quarter of a second (two seconds under ThreadSanitizer). A client opening more connections
// than there are threads waits for a thread to come free.
//
// Lifetime: start() binds a port the kernel picks and returns true once the server accepts
// connections. Before returning it sends two requests to itself, which are neither recorded
// nor counted (see warmUp() in the source for why). stop() (and the destructor) closes the
// listening socket, shuts down every open connection (so a client holding an idle keep-alive
// connection does not delay it), cuts short any Reply::delay in progress, and joins every
// thread the server started. A server is started at most once. Nothing in this interface
// throws.
//
// Thread safety: every member function may be called from any thread while the server runs.
// The reply function is called on the server's worker threads, possibly several at a time,
// and must be safe for that; a function that throws yields a 500 reply carrying the message.
#ifndef TAVRELLO_TESTS_SUPPORT_LOOPBACK_SERVER_HPP
#define TAVRELLO_TESTS_SUPPORT_LOOPBACK_SERVER_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrello::testing {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server received it.
struct RecordedRequest {
  std::string method;   // "POST"
  std::string path;     // "/api/v1/groups" (percent-decoded by cpp-httplib, no query)
  std::string target;   // request-target exactly as sent, query included
  std::string version;  // "HTTP/1.1"
  // Every header the client sent, name and value as received (cpp-httplib trims the value).
  // Ordered by name, compared without case; repeated names keep their arrival order.
  HeaderList headers;
  std::string body;  // raw body bytes, unchanged
  // Fields as cpp-httplib parsed them: the query string, then an urlencoded form body, with
  // names and values percent-decoded and "+" read as a space. Ordered by name; a name sent
  // twice appears twice, so a field split by an unencoded "&" shows up here.
  HeaderList fields;
  std::string remoteAddr;
  int remotePort = -1;
  std::uint64_t connectionId = 0;  // 1 for the first connection accepted, and so on

  // First value of header `name` (any case), or nullopt when the client did not send it.
  std::optional<std::string> header(std::string_view name) const;
  // How many times header `name` (any case) was sent: 0 when absent, 1 when sent once.
  std::size_t headerCount(std::string_view name) const;
  // First value of field `name` (exact case), or nullopt.
  std::optional<std::string> field(std::string_view name) const;
  std::size_t fieldCount(std::string_view name) const;
};

struct Reply {
  int status = 200;
  std::string body{};
  std::string contentType = "application/json";  // empty: no Content-Type header
  std::chrono::milliseconds delay{0};            // wait this long before answering
  HeaderList headers{};                          // extra reply headers, e.g. {"Location", url}
};

struct LoopbackServerOptions {
  std::size_t threads = 80;                  // connections served at the same time
  std::chrono::seconds keepAliveTimeout{1};  // idle time before the server closes a connection
  std::size_t keepAliveMaxCount = 1000000;   // requests served on one connection
  std::chrono::seconds ioTimeout{5};  // a read or write stalled this long drops the connection
};

class LoopbackServer {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  LoopbackServer();
  explicit LoopbackServer(LoopbackServerOptions options);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Binds 127.0.0.1 on a free port and serves on a thread of its own. Returns true once the
  // server accepts connections, false when it could not bind or was already started.
  bool start();
  // Stops serving and joins every thread; idempotent, and prompt even with connections open.
  void stop();

  int port() const;                 // 0 before start()
  std::string hostAndPort() const;  // "127.0.0.1:PORT"

  // Replaces the function deciding each reply; it sees the request already recorded.
  void setHandler(Handler handler);
  // Answers every following request with `reply`.
  void setReply(Reply reply);

  std::vector<RecordedRequest> requests() const;  // a copy, in the order requests completed
  std::size_t requestCount() const;
  // True once at least `count` requests were recorded, false when `timeout` passes first.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  // Connections accepted since start() or the last clear(), and connections open right now.
  std::size_t connectionCount() const;
  std::size_t openConnectionCount() const;
  // Forgets the recorded requests and resets connectionCount(); the reply stays as it is.
  void clear();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrello::testing

#endif  // TAVRELLO_TESTS_SUPPORT_LOOPBACK_SERVER_HPP
