// TavrelloAPI: the process-wide client of the partner service.
#pragma once

#include <tavrello/config.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <tavrello/exchange.hpp>
#include <tavrello/types.hpp>

namespace tavrello {

namespace internal {
struct Destination;
struct Post;
}  // namespace internal

/// The one client object. Set both credentials, then call any operation:
///
///   auto& api = tavrello::TavrelloAPI::shared();
///   api.setApiKey("my-api-key");
///   api.setServerKey("my-server-key");
///   api.getLastData("member-1", [](std::shared_ptr<tavrello::TavrelloResult> r) {
///     if (r->result() == "ok") std::cout << r->description();
///   });
///   // ... drain tavrello::MainQueue::shared() on the main thread.
///
/// Every operation sends one signed HTTP POST to the service host (plain
/// http, or https: see setServiceHost()) + its path and returns at once; the
/// server key never leaves the process (only the SHA-1 of
/// "timestamp|api_key|server_key" travels, as cert_key).
///
/// Every operation calls its completion handler exactly once:
///   - API key or server key never set: synchronously, on the calling thread,
///     before the operation returns, with result "FAIL" and reason "key";
///     nothing is sent. (Empty keys count as set.)
///   - otherwise later, through MainQueue, with result "ok" and the reply
///     body in response() for a 2xx reply, or "FAIL" with reason "http"
///     (transport error, 60 s timeout, other status) or "Invalid URL" (the
///     service host does not form a URL).
/// "ok" says only that the exchange succeeded: whether the service accepted
/// the request is told by the reply body. On every failure the result's
/// detail() says what happened in one line, and httpStatus() gives the status
/// received, if any.
///
/// Arguments are sent as given: no trimming, parsing or validation. The body
/// encoder escapes only "&", "=", "+" and "%", so no argument can add or
/// change a field.
///
/// Thread safety: every member may be called from any thread. One
/// operation's stamp, signature and reset of the request timestamp happen
/// under one lock, so each request's timestamp and cert_key agree. Handlers
/// run without the lock held and may call the client again.
///
/// Process events: a call made once the process has begun to exit (static
/// destruction under way) is not sent and its handler never runs, as nothing
/// would drain the main queue any more; requests in flight at exit are
/// abandoned the same way, and exit never waits for them or for a name
/// lookup. In a child made by fork() the client keeps its keys and host and
/// sends through a transport of its own; requests in flight at the fork
/// complete only in the parent, and the child closes its copies of the
/// parent's connections without sending anything on them. Every descriptor
/// the library opens is close-on-exec: a program started with exec inherits
/// none of its connections.
///
/// The library's own thread never runs a signal handler of the application's
/// (signals sent to the process go to other threads), and a handler that
/// calls exit() ends the process at once, also on a thread that waits in
/// MainQueue::runUntil().
///
/// Connections are kept alive between requests and reused for up to 55 s idle
/// (load balancers commonly close idle connections after 60 s), or a second
/// less than the server announces in "Keep-Alive: timeout=N". TLS sessions are
/// resumed by any new connection to the same host. A write
/// (createGroup, editGroupName, removeGroup, addGroupMember,
/// removeGroupMember) goes on a connection of its own and is never sent twice,
/// whatever the server does after reading it: a server that drops the
/// connection without a reply gives "http", and the service may or may not
/// have carried the write out. A read whose reused connection dies before any
/// byte of a reply came (most often one the server closed while it sat idle)
/// is sent again on another: libcurl tries up to five more kept connections,
/// then the library one fresh connection. Reading twice changes nothing.
///
/// Proxies: requests to a loopback host (localhost, 127.0.0.0/8, [::1],
/// [::ffff:127.0.0.1]) never go through a proxy. Requests to any other host follow libcurl's
/// reading of the environment: http_proxy (or HTTPS_PROXY / ALL_PROXY) and
/// no_proxy.
class TAVRELLO_API TavrelloAPI {
 public:
  /// The one instance, built on first use (thread-safe) and never destroyed.
  static TavrelloAPI& shared();

  TavrelloAPI(const TavrelloAPI&) = delete;
  TavrelloAPI& operator=(const TavrelloAPI&) = delete;
  TavrelloAPI(TavrelloAPI&&) = delete;
  TavrelloAPI& operator=(TavrelloAPI&&) = delete;

  /// Diagnostic: prints three lines to stdout, the request timestamp ("n"
  /// between operations), then each key as Optional("...") with escapes, or
  /// nil when never set. The keys are printed in clear.
  void printTest();
  void setApiKey(std::string apiKey);
  void setServerKey(std::string serverKey);

  /// A new dictionary holding "api_key" (empty when never set), "timestamp"
  /// (the request timestamp as held, "n" between operations) and "cert_key"
  /// (40 lower-case hex digits of SHA-1 over "timestamp|api_key|server_key").
  /// Neither stamps nor resets the timestamp.
  Params getBasicParams();

  /// The service: `host[:port]` (plain http), `http://host[:port]` or
  /// `https://host[:port]`, where host is a DNS name, a dotted IPv4 address or
  /// a bracketed IPv6 address ("[::1]:8787") and the port is 1 to 65535. The
  /// default is compiled in from the CMake cache variable
  /// TAVRELLO_SERVICE_HOST. Anything else (a path, query, fragment, user
  /// information, another scheme, space or control character) makes every
  /// operation deliver "Invalid URL" through MainQueue, sending nothing, with
  /// detail() saying what is wrong.
  ///   api.setServiceHost("api.example.com:8080");          // http
  ///   api.setServiceHost("https://api.example.com");       // https, port 443
  ///   api.setServiceHost("api.example.com/x");             // "Invalid URL"
  /// serviceHost() returns the text as it was set.
  ///
  /// https always verifies the peer's certificate and host name (there is no
  /// switch to turn that off) against the system's trust store, or the file
  /// given to setCaFile(). Only the scheme asked for is ever used, and
  /// redirects are never followed.
  void setServiceHost(std::string hostAndPort);
  std::string serviceHost() const;

  /// A PEM file of trusted CA certificates for https, for a private CA; it
  /// replaces libcurl's CA bundle (the system's CA directory is still read).
  /// Empty, the default: the system trust store. The path is looked at when
  /// it is set: where nothing is, https requests fail at once with the detail
  /// "TLS: CA file not found: PATH"; a path that is no regular file (a FIFO, a
  /// device) is never opened, and https requests fail at once with "TLS: CA
  /// file is not a regular file: PATH". A file that cannot be read makes
  /// https requests fail with "http" and a detail that says so.
  void setCaFile(std::string pemPath);

  /// Sees every request when it ends, before its handler is queued: one
  /// Exchange record, never a key, a signature or a body. Called on the thread
  /// that drives the transfers for requests that were sent (the library's own
  /// thread, or an application thread while it waits in MainQueue::runUntil()),
  /// and on the calling thread for those that could not be ("Invalid URL", no
  /// library thread); not for the missing-key result, which sends nothing. It must be quick and
  /// safe to call from any thread; what it throws is caught and dropped. An
  /// empty function (the default) turns it off, at no cost per request.
  ///   api.setObserver([](const tavrello::Exchange& e) {
  ///     std::fprintf(stderr, "%s %s %d\n", e.operation.c_str(), e.url.c_str(), e.httpStatus);
  ///   });
  void setObserver(std::function<void(const Exchange&)> observer);

  // Location and member queries.

  /// The last known location of a member.
  /// POST /api.get.member.location.last.php with member_key.
  void getLastData(const std::string& memberKey, CompletionHandler completionHandler);
  /// A member's locations between two Unix times (text, sent unchanged; the
  /// service decides what window it accepts).
  /// POST /api.get.member.location.list.php with member_key, from_date, to_date.
  void getDataBetween24Hours(const std::string& memberKey, const std::string& startUnixTime,
                             const std::string& endUnixTime, CompletionHandler completionHandler);
  /// One page of all members' information, 100 per page.
  /// POST /api.get.member.info.all.php with page and page_size "100".
  void getObjectsData(const std::string& page, CompletionHandler completionHandler);

  // Group management: POST /api.partner.common.php with the action in "api".

  /// All groups. api = "api.common.group.get.list".
  void getGroups(CompletionHandler completionHandler);
  /// The groups that hold a member. api = "api.common.group.get.object.group.list".
  void getGroupsWithObject(const std::string& memberKey, CompletionHandler completionHandler);
  /// The members of a group. api = "api.common.group.get.group.object.list".
  void getGroupMembers(const std::string& groupKey, CompletionHandler completionHandler);
  /// Creates a group; the service's reply names its key. api = "api.common.group.set.add".
  void createGroup(const std::string& groupName, CompletionHandler completionHandler);
  /// Renames a group. api = "api.common.group.set.modify".
  void editGroupName(const std::string& groupKey, const std::string& groupName,
                     CompletionHandler completionHandler);
  /// Deletes a group. api = "api.common.group.set.delete".
  void removeGroup(const std::string& groupKey, CompletionHandler completionHandler);
  /// Adds a member to a group. api = "api.common.group.set.object.add".
  void addGroupMember(const std::string& groupKey, const std::string& memberKey,
                      CompletionHandler completionHandler);
  /// Takes a member out of a group. api = "api.common.group.set.object.delete".
  void removeGroupMember(const std::string& groupKey, const std::string& memberKey,
                         CompletionHandler completionHandler);

 private:
  TavrelloAPI();
  ~TavrelloAPI() = default;

  // The helpers below expect mutex_ to be held by the caller.
  bool hashKey();
  void setTimestamp();
  void unsetTimeStamp();
  std::string getCertKey() const;
  static std::string sha1(const std::string& hashed);

  /// Posts the request's body to its destination's origin + path and
  /// delivers the outcome through MainQueue; a destination that is not a
  /// service host delivers "Invalid URL" and sends nothing. Called without
  /// mutex_ held.
  static void doPost(internal::Post&& post);

  /// The one path of every operation; `operation` indexes the endpoint table.
  void send(int operation, std::initializer_list<const std::string*> args,
            CompletionHandler completionHandler);

  mutable std::mutex mutex_;
  std::optional<std::string> API_KEY;
  std::optional<std::string> SERVER_KEY;
  std::string TIMESTAMP;
  std::shared_ptr<const internal::Destination> destination_;
};

}  // namespace tavrello
