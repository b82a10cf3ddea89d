// LoopbackServer: an HTTP/1.1 server (cpp-httplib) on 127.0.0.1 that records every request and
// answers as the test asks. For broken replies see fault_server.hpp.
//
//   tavrello::testing::LoopbackServer server;
//   ASSERT_TRUE(server.start());
//   server.setReply({201, R"({"result":"ok"})"});  // default: 200 {"ok":true}
//   api.setServiceHost(server.hostAndPort());        // "127.0.0.1:PORT"
//   ... send a request ...
//   ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(5)));
//   const auto request = server.requests().at(0);
//   EXPECT_EQ(request.field("b"), "x&y");            // body "a=1&b=x%26y"
//
// It answers GET, HEAD, POST, PUT, PATCH, DELETE and OPTIONS on every path. Bodies of any size
// are read (cpp-httplib would refuse a form body over 8 KiB to a plain handler).
//
// Capacity: 80 worker threads, each serving one connection at a time; a connection left idle
// for a second is closed. With a listen backlog of SOMAXCONN, 1,000 requests in flight over 64
// keep-alive connections are answered in well under a second.
//
// Lifetime: start() listens on a port the kernel picks. stop() (also the destructor) cuts
// short any Reply::delay, closes the listening socket and joins every thread; a connection
// kept idle by a client ends within its second of keep-alive.
//
// Thread safety: start() and stop() belong to the thread that owns the server; every other
// member function may be called from any thread. The handler runs on the worker threads,
// possibly several at a time; one that throws yields a 500.
#ifndef TAVRELLO_TESTS_SUPPORT_LOOPBACK_SERVER_HPP
#define TAVRELLO_TESTS_SUPPORT_LOOPBACK_SERVER_HPP

#include <chrono>
#include <cstddef>
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
  std::string method;  // "POST"
  std::string target;  // the request-target exactly as sent, query included
  HeaderList headers;  // as the client sent them (values trimmed), ordered by name
  std::string body;    // raw bytes, unchanged
  // The query string's and an urlencoded body's fields, decoded by cpp-httplib, ordered by
  // name; a name sent twice appears twice.
  HeaderList fields;

  // The first value of header `name` (any case) / field `name` (exact case), or nullopt;
  // and how many times it was sent.
  std::optional<std::string> header(std::string_view name) const;
  std::size_t headerCount(std::string_view name) const;
  std::optional<std::string> field(std::string_view name) const;
  std::size_t fieldCount(std::string_view name) const;
};

struct Reply {
  int status = 200;
  std::string body{};
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{0};  // waits this long before answering
  HeaderList headers{};                // extra headers, e.g. {"Location", url}
};

class LoopbackServer {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Listens on 127.0.0.1 on a free port; false when that failed or it was started before.
  bool start();
  void stop();  // idempotent
  std::string hostAndPort() const;

  void setHandler(Handler handler);  // decides each reply; sees the request already recorded
  void setReply(Reply reply);        // the same reply to every request

  std::vector<RecordedRequest> requests() const;  // in the order they were received
  std::size_t requestCount() const;
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  std::size_t connectionCount() const;  // accepted since start() or clear()
  void clear();                         // forgets requests and connections, keeps the reply

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrello::testing

#endif  // TAVRELLO_TESTS_SUPPORT_LOOPBACK_SERVER_HPP
