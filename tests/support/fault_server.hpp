// FaultServer: a server on 127.0.0.1, on plain POSIX sockets, that misbehaves in the ways an
// HTTP library would refuse to. The integration tests point the client at it to check that
// every failure ends in one result, never in a hang, a crash or unbounded memory.
//
//   tavrello::testing::FaultServer server(tavrello::testing::Fault::CloseMidBody);
//   ASSERT_TRUE(server.start());
//   ... post to "http://" + server.hostAndPort() + "/x", expect an "http" failure ...
//   server.setFault(tavrello::testing::Fault::Normal);  // applies from the next request on
//   ... post again, expect success: the client recovered ...
//
// Each request is read whole (its header block, then as many body bytes as its
// Content-Length says) and recorded; then, by the fault set when its first byte arrived:
//   Normal             200 application/json with the body of setNormalBody() ({"ok":true}),
//                      keep-alive.
//   Status             the code and body of setStatus() with a Content-Length, keep-alive. A
//                      1xx code is sent as a bare status line and the connection is then held:
//                      a client waiting for the final reply times out.
//   CloseMidBody       Content-Length: 100, 10 body bytes, close.
//   ResetMidHeaders    half a header block, 50 ms, then a TCP reset.
//   ResetMidBody       Content-Length: 100, 10 body bytes, 50 ms, then a TCP reset.
//   NotHttp            bytes that are no status line, close.
//   EndlessHeaders     a 200 status line, then one more header line every 10 ms, forever.
//   Trickle            Content-Length: 1000, then one byte every trickle interval (1 s unless
//                      setTrickleInterval() says otherwise).
//   ShortContentLength the Normal body announced 10 bytes longer than it is, close.
//   BadChunk           Transfer-Encoding: chunked with the chunk size "zz", close.
//   Huge               Content-Length: 64 MiB + 1 (one byte over the client's limit) and that
//                      many bytes, for as long as the client reads them.
//   NeverAnswer        reads on, never replies.
//   NeverRead          reads nothing at all (a large request stalls in the socket buffers).
// "Forever" and "held" end when the client goes or at stop(); writes never raise SIGPIPE.
//
// Lifetime: start() listens on a port the kernel picks. stop() (also the destructor) shuts
// every socket down, which wakes every connection thread whatever it is doing, and joins them
// all; it is prompt.
//
// Thread safety: start() and stop() belong to the thread that owns the server; every other
// member function may be called from any thread at any time.
#ifndef TAVRELLO_TESTS_SUPPORT_FAULT_SERVER_HPP
#define TAVRELLO_TESTS_SUPPORT_FAULT_SERVER_HPP

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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

// "CloseMidBody" and so on, for SCOPED_TRACE.
const char* faultName(Fault fault);

class FaultServer {
 public:
  explicit FaultServer(Fault fault = Fault::Normal) { settings_.fault = fault; }
  ~FaultServer() { stop(); }
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  // Listens on 127.0.0.1 on a free port; false when that failed or it was started before.
  bool start();
  void stop();  // idempotent

  int port() const { return port_; }  // 0 before start()
  std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

  void setFault(Fault fault);
  void setStatus(int code, std::string body = {});  // and switches to Fault::Status
  void setNormalBody(std::string body);
  void setTrickleInterval(std::chrono::milliseconds interval);

  // True once `count` requests were read (their header blocks at least), false after `timeout`.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  // The raw bytes received, one string per connection in accept order.
  std::vector<std::string> received() const;

 private:
  struct Settings {
    Fault fault = Fault::Normal;
    int status = 200;
    std::string statusBody;
    std::string normalBody = R"({"ok":true})";
    std::chrono::milliseconds trickleInterval{1000};
  };
  struct Worker {
    std::thread thread;
    bool done = false;
  };
  void acceptLoop();
  void serve(int fd, std::size_t connection);

  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::list<Worker> workers_;  // the accept thread's while it runs, then stop()'s

  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::set<int> open_;  // connections not yet closed: stop() shuts them down
  Settings settings_;
  std::size_t requests_ = 0;
  std::vector<std::string> received_;
};

}  // namespace tavrello::testing

#endif  // TAVRELLO_TESTS_SUPPORT_FAULT_SERVER_HPP
