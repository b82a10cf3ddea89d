// FaultServer: a server on 127.0.0.1, written on plain POSIX sockets, that misbehaves in
// the ways an HTTP library would refuse to: replies cut off or reset, bytes that are not
// HTTP, headers or bodies that never end, requests never answered or never read. The
// integration tests point the client at it to check that each failure ends in a result and
// never in a hang, a crash or unbounded memory.
//
// Usage:
//
//   tavrello::testing::FaultServer server(tavrello::testing::Fault::CloseMidBody);
//   ASSERT_TRUE(server.start());
//   api.setServiceHost(server.hostAndPort());
//   ... send a request, expect a failure result ...
//   server.setFault(tavrello::testing::Fault::Normal);  // applies to the following requests
//   ... send a request, expect success: the client recovered ...
//   EXPECT_EQ(server.connectionCount(), 2u);             // the broken connection was not reused
//   EXPECT_NE(server.received().at(0).find("POST /"), std::string::npos);
//
// What each fault does, once the request has arrived (all but NeverRead read the whole request
// first, framed by its Content-Length; a request without one has no body):
//   Normal             200, Content-Type application/json, the body from setNormalBody()
//                      ({"ok":true} by default), keep-alive: the next request on the same
//                      connection is served by whatever fault is set by then.
//   Status             the status line and body from setStatus(), keep-alive. A 1xx code is
//                      informational in HTTP, so the server sends that status line with an empty
//                      header block, then nothing more: it holds the connection until the client
//                      closes it or stop(). A client waiting for the final reply times out.
//                      204 and 304 go without a body; any other code gets the body with a
//                      Content-Length. The code is written as given, so setStatus(42) or
//                      setStatus(1000) produce a malformed status line.
//   CloseMidBody       headers announcing Content-Length: 100, 10 body bytes, then close.
//   ResetMidHeaders    part of a header block, a 50 ms pause, then a TCP reset (SO_LINGER 0).
//   ResetMidBody       full headers announcing 100 bytes, 10 bytes, 50 ms, then a reset.
//   NotHttp            bytes that are no HTTP status line (binary and text), then close.
//   EndlessHeaders     a 200 status line, then one more header line every header interval
//                      (10 ms by default), until the client goes or stop().
//   Trickle            200 with Content-Length: 1000, then one body byte every trickle interval
//                      (1 s by default) until the client goes or stop(); closes after the 1000th.
//   ShortContentLength the Normal body, announced 10 bytes longer than it is, then close.
//   BadChunk           Transfer-Encoding: chunked with the chunk size line "zz", then close.
//   Huge               200 with a body of kDefaultHugeSize (64 MiB + 1) bytes, or the size set
//                      by setHugeBody(), with a Content-Length or chunked; stops writing as soon
//                      as the client closes. keep-alive if the whole body went out.
//   NeverAnswer        reads the request (and whatever follows) and never replies, until the
//                      client closes or stop().
//   NeverRead          reads nothing at all and holds the connection until the client closes
//                      or stop(); a large request then fills the socket buffers and stalls.
// A client "goes" when it closes or resets the connection; writes never raise SIGPIPE.
//
// The fault is read when the first byte of a request arrives, so setFault() between two
// requests applies to the second even on a kept-alive connection.
//
// Records: connections accepted and open, requests whose header block was read, bytes sent,
// and the raw bytes received on each connection (in accept order).
//
// Lifetime: start() binds a port the kernel picks and returns true once connections are
// accepted. stop() (and the destructor) wakes every connection thread through a self-pipe,
// closes every socket and joins every thread, whatever fault is in progress; it returns within
// milliseconds. A server is started at most once. Nothing in this interface throws.
//
// Thread safety: every member function may be called from any thread while the server runs.
#ifndef TAVRELLO_TESTS_SUPPORT_FAULT_SERVER_HPP
#define TAVRELLO_TESTS_SUPPORT_FAULT_SERVER_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tavrello::testing {

enum class Fault {
  Normal,
  Status,
  CloseMidBody,
  ResetMidHeaders,
  ResetMidBody,
  NotHttp,
  EndlessHeaders,
  Trickle,
  ShortContentLength,
  BadChunk,
  Huge,
  NeverAnswer,
  NeverRead,
};

// "CloseMidBody" and so on, for SCOPED_TRACE and test names.
const char* faultName(Fault fault);

class FaultServer {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;
  static constexpr std::uint64_t kDefaultHugeSize = (std::uint64_t{64} << 20) + 1;

  explicit FaultServer(Fault fault = Fault::Normal);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  // Binds 127.0.0.1 on a free port and accepts on a thread of its own. Returns true once
  // connections are accepted, false when it could not bind or was already started.
  bool start();
  // Closes every connection and joins every thread; idempotent and prompt.
  void stop();

  int port() const;                 // 0 before start()
  std::string hostAndPort() const;  // "127.0.0.1:PORT"

  void setFault(Fault fault);
  Fault fault() const;
  // Body of Normal replies, and the body ShortContentLength cuts short.
  void setNormalBody(std::string body);
  // Switches to Fault::Status with this reply; `headers` go after Content-Type.
  void setStatus(int code, std::string body = {}, Headers headers = {});
  void setHugeBody(std::uint64_t size, bool chunked = false);
  void setTrickleInterval(std::chrono::milliseconds interval);
  void setHeaderInterval(std::chrono::milliseconds interval);

  std::size_t connectionCount() const;        // accepted since start()
  std::size_t openConnectionCount() const;    // not yet closed by either side
  std::size_t requestCount() const;           // header blocks read completely
  std::uint64_t bytesSent() const;            // on all connections together
  std::vector<std::string> received() const;  // raw bytes, one string per connection

  // Each returns true once the condition holds, false when `timeout` passes first.
  bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  bool waitForNoOpenConnections(std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrello::testing

#endif  // TAVRELLO_TESTS_SUPPORT_FAULT_SERVER_HPP
