// tavrello::sandbox::Sandbox: the sandbox service, started inside the calling process, for
// tests of applications that use the client. The same service as the tavrello-sandbox
// program: the same endpoints, signature check, seeded members and groups.
//
// Part of the optional component "sandbox":
//   find_package(tavrello CONFIG REQUIRED COMPONENTS sandbox)
//   target_link_libraries(my_tests PRIVATE tavrello::tavrello tavrello::sandbox)
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrello::sandbox {

/// How a sandbox starts. The defaults are the demo keys and world of tavrello-sandbox.
struct Options {
  std::string apiKey = "demo-api-key";        // the one api_key accepted
  std::string serverKey = "demo-server-key";  // the key requests must be signed with
  std::uint64_t seed = 20240611;              // the same seed and clock, the same world
  std::size_t members = 260;                  // seeded members, 1 to 10000
  std::int64_t clock = 0;  // Unix time the seeded tracks end at, 0 to 253402300799; 0: now
  std::string listen = "127.0.0.1:0";  // loopback HOST:PORT; port 0 picks a free one
  std::string tlsCertFile;             // PEM certificate chain and key: HTTPS (both needed)
  std::string tlsKeyFile;
  std::function<void(const std::string&)> log;  // one line per request; empty: quiet
  bool keepRequests = true;  // keep every request for requests(); off for long runs
};

/// A failure the sandbox produces on purpose, so that a test can see how the code under
/// test copes with it over the real protocol: the next `count` requests of `operation` get
/// this answer instead of the service's.
///
///   // The next createGroup call fails with a 503 and the service's explanation: the
///   // client reports reason() "http", httpStatus() 503, errorBody() that body.
///   sandbox.injectFault({"createGroup", 503, R"({"error":"maintenance"})"});
///
///   // The next three requests, of any operation, wait 2 s and are then answered as usual.
///   tavrello::sandbox::Fault slow("", 0, "", 3);
///   slow.delay = std::chrono::seconds(2);
///   sandbox.injectFault(slow);
struct Fault {
  Fault(std::string operationName = {}, int replyStatus = 503, std::string replyBody = {},
        std::size_t times = 1)
      : operation(std::move(operationName)),
        status(replyStatus),
        body(std::move(replyBody)),
        count(times) {}

  /// The operation, named as the client's member function ("createGroup", "getLastData",
  /// ...); empty: any request.
  std::string operation;
  /// The reply's status, 200 to 599, with `body` as its body (application/json), exactly as
  /// given: an empty one when none is; the request is not handled, so it changes nothing.
  /// 0: the service handles the request and answers as usual, for a delay or a cut on its
  /// real reply.
  int status;
  std::string body;
  /// How many requests it answers; after them, requests are answered as usual again.
  std::size_t count;
  /// How long to wait before answering; releaseDelayed() and stop() cut the wait short, and
  /// milliseconds::max() waits for one of them. A client that closes its connection (a
  /// timeout, a killed process) ends the wait too: the request is then answered (handled,
  /// with status 0) as if released. Held requests hold up no other request.
  std::chrono::milliseconds delay{0};
  /// Send the status line, the headers (with the whole body's Content-Length) and only this
  /// many bytes of the body, then close the connection: a reply cut short.
  std::optional<std::size_t> cutAfterBytes;
};

/// A request as the sandbox received it, kept for Sandbox::requests().
struct Request {
  std::string operation;  // the client's member function it stands for ("getGroups"), or ""
  std::string method;
  std::string target;  // as sent: "/api.partner.common.php", or the whole URL through a proxy
  std::vector<std::pair<std::string, std::string>> headers;  // as sent
  std::string body;
  std::vector<std::pair<std::string, std::string>> fields;  // the body's form, decoded, in order
  int peerPort = 0;                                         // the client's port: one per connection
  bool tlsResumed = false;  // over HTTPS: its connection resumed an earlier TLS session

  /// The first value of the field `name`.
  std::optional<std::string> field(const std::string& name) const;
};

/// A group as the sandbox holds it.
struct Group {
  std::string key;                      // "g-001", ...
  std::string name;                     // as the client sent it
  std::vector<std::string> memberKeys;  // in key order
};

/// A running sandbox service on a loopback port.
///
///   tavrello::sandbox::Sandbox sandbox({"my-api-key", "my-server-key"});
///   ASSERT_TRUE(sandbox.running()) << sandbox.error();
///   tavrello::TavrelloAPI::shared().setServiceHost(sandbox.host());
///   ... run the code under test ...
///   EXPECT_EQ(sandbox.groups().back().name, "Created by the test");
///   sandbox.reset();  // the seeded groups again, for the next test
///
/// Starting never throws: a sandbox that could not start (a listen address that is not
/// loopback, a port in use, TLS files it cannot read or whose key does not match the
/// certificate, an option out of range) is not running() and error() says why:
///   "cannot serve HTTPS with that certificate and key file: the key in KEY does not match
///   the certificate in CERT"
///
/// Thread safety: every member may be called from any thread. The service answers on
/// threads of its own, any number of requests at once; each request sees the groups wholly
/// before or wholly after any other request's change (and any reset()).
class Sandbox {
 public:
  explicit Sandbox(Options options = {});
  ~Sandbox();  // stop()
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  bool running() const;              // from a successful start until stop() begins
  const std::string& error() const;  // empty while running

  /// What to pass to TavrelloAPI::setServiceHost(): "127.0.0.1:PORT", or
  /// "https://127.0.0.1:PORT" when serving HTTPS. Empty when not running.
  std::string host() const;

  /// The groups, in creation order.
  std::vector<Group> groups() const;
  /// Puts the seeded groups back and forgets every change and every kept request; group keys
  /// start over.
  void reset();

  /// The requests received so far, in the order they arrived, each kept as soon as it
  /// arrived (also one that a fault's delay still holds). Empty with Options::keepRequests
  /// off.
  ///
  ///   EXPECT_EQ(sandbox.requests().at(0).operation, "getLastData");
  ///   EXPECT_EQ(sandbox.requests().at(0).field("member_key"), "m-0007");
  std::vector<Request> requests() const;
  /// Waits until `count` requests have arrived; false when `timeout` passed first.
  /// milliseconds::max() waits without a deadline.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  /// Queues a fault. Each request takes the first queued fault that applies to it, in the
  /// order injected, and uses up one of its count. It does so as it arrives, before
  /// requests() and waitForRequests() can see it: a fault injected (or cleared) once a test
  /// saw a request is for the requests after it. Returns false, and queues nothing, for an
  /// operation that is not one of the client's, a status outside 0 and 200-599, or a count
  /// of 0.
  bool injectFault(Fault fault);
  /// Drops every queued fault.
  void clearFaults();
  /// Ends the delay of every request a fault now holds: each is answered at once. With a long
  /// delay, a test holds requests until it has seen what it wanted (a loading state, a
  /// timeout, the order of replies):
  ///
  ///   tavrello::sandbox::Fault held("", 0, "", 16);
  ///   held.delay = std::chrono::hours(1);
  ///   sandbox.injectFault(held);
  ///   ... 16 calls; sandbox.waitForRequests(16, 30s) ...
  ///   sandbox.releaseDelayed();
  void releaseDelayed();

  /// Stops answering, closes the port, ends every connection and joins every thread of the
  /// service. It waits for no client (an idle keep-alive connection, a body still coming in,
  /// a request a fault holds), so it returns within milliseconds. Requests in progress are
  /// cut off. Idempotent; when several threads call it at once, each returns once the service
  /// has stopped.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavrello::sandbox
