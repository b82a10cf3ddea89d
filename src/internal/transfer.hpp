// One request on an easy handle: its options, libcurl's callbacks into it, and the result
// its outcome turns into.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <tavrello/tavrello_result.hpp>

#include "internal/descriptors.hpp"
#include "internal/http_transport.hpp"

namespace tavrello::internal {

using Clock = std::chrono::steady_clock;

/// How long a connection may sit idle in the pool and still be reused, in whole seconds:
/// under the 60 s after which the commonest load balancers close idle connections (nginx
/// keeps them 65 to 75 s). A server that closes sooner mostly says so (Keep-Alive:
/// timeout=5 from Apache or Node.js), and the pool then keeps its connections a second
/// less. One that closes sooner without saying so costs a read one more try on a fresh
/// connection, and a write nothing (it never reuses a connection).
inline constexpr long kMaxIdleSeconds = 55;

/// Largest reply body read; a longer one ends the exchange with "http".
inline constexpr std::size_t kMaxReplyBytes = 64u << 20;
/// How much of the body of a reply outside 2xx is kept, for TavrelloResult::errorBody().
inline constexpr std::size_t kMaxErrorBodyBytes = 64u << 10;

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

struct Transfer;
class Spares;

/// An easy handle and what it keeps from one request to the next. libcurl's callbacks and
/// CURLOPT_PRIVATE point at it, set once, so it never moves (the driver holds it by
/// pointer); it points at the request it serves. Reused for the same destination and
/// path, it needs only the options of the request itself.
struct Handle {
  // The URL, parsed once for as long as it stays the same (CURLOPT_CURLU): libcurl parses a
  // URL set as text again for every transfer, which costs more than all of the library's
  // own work on a request. Declared first, so that it outlives the easy handle.
  UrlHandle url;
  EasyHandle easy;
  Transfer* transfer = nullptr;               // the request it serves now
  std::shared_ptr<const Destination> setFor;  // scheme, CA file, proxy and `url` are for it
  std::string_view pathSetFor;                // and the URL for this path
  // A copy of the body it sends. Copied in, it keeps its storage from one request to the
  // next, and libcurl its pointer to it: only a change of size is an option to set.
  std::string body;
  const char* bodySetAt = nullptr;   // CURLOPT_POSTFIELDS
  curl_off_t bodySizeSet = -1;       // CURLOPT_POSTFIELDSIZE_LARGE
  bool freshConnect = false;         // CURLOPT_FRESH_CONNECT is on
  long maxIdle = kMaxIdleSeconds;    // CURLOPT_MAXAGE_CONN
  char error[CURL_ERROR_SIZE] = "";  // libcurl's own words for a failure
};
using HandlePtr = std::unique_ptr<Handle>;

/// What every handle of a driver shares.
struct HandleDefaults {
  const curl_slist* headers = nullptr;  // the request headers
  SocketHooks hooks{};
  CURLSH* share = nullptr;       // one TLS session cache: any handle resumes any session
  const char* caFile = nullptr;  // libcurl's own CA bundle
};

/// A new handle with the options every request shares; null when libcurl could not make
/// one.
HandlePtr newHandle(const HandleDefaults& defaults);

/// One request from its submission to its result. Its owner (the driver) keeps it while
/// libcurl works on it; libcurl's callbacks and CURLOPT_PRIVATE point at it then. Once it
/// ended it may be kept (see Spares) for a later request.
struct Transfer {
  Transfer(Post&& post, Clock::time_point deadline) : post(std::move(post)), deadline(deadline) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  /// Every field as the constructor sets it, for `next`; the storage of the reply stays.
  void renew(Post&& next, Clock::time_point nextDeadline) {
    post = std::move(next);
    deadline = nextDeadline;
    handle.reset();
    activeIndex = 0;
    reply.clear();
    errorBody.clear();
    received = 0;
    replyStarted = keepBody = overCap = false;
    finalStatus = 0;
    keepAlive = -1;
    retried = false;
  }

  /// The whole time it was given, from the call to its deadline.
  std::chrono::milliseconds timeout() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - post.started);
  }

  Post post;
  Clock::time_point deadline;
  HandlePtr handle;  // while active
  std::size_t activeIndex = 0;
  Bytes reply;                // the body of a 2xx reply
  Bytes errorBody;            // else its first kMaxErrorBodyBytes
  std::size_t received = 0;   // body bytes, kept or not
  bool replyStarted = false;  // a byte of the reply arrived
  long finalStatus = 0;       // of the final (non-1xx) header block, once it ended
  bool keepBody = false;      // the final status is 2xx: the body is the result
  bool overCap = false;       // the body outgrew kMaxReplyBytes, or announced it would
  long keepAlive = -1;        // the server's Keep-Alive: timeout=N, in seconds
  bool retried = false;       // sent again once, on a fresh connection
  // A field added here is set by renew() too.
};

/// A request that ended, ready for the observer and its handler.
struct Ended {
  Post post;
  std::shared_ptr<TavrelloResult> result;
  std::size_t replyBytes = 0;
  bool newConnection = false;
};

/// "http" with `detail`: how every failure of the exchange is told.
std::shared_ptr<TavrelloResult> failureResult(std::string detail, int status = 0);

/// Puts `transfer` on its handle: body and, when they changed, URL, scheme, CA file, proxy
/// and the idle time, in whole seconds, after which a pooled connection is not reused for
/// it. Its deadline is the driver's to keep. False when memory ran out setting the URL.
bool attach(Transfer& transfer, const HandleDefaults& defaults, long maxIdleSeconds);

/// After libcurl ended `transfer` with `code`: true when its reused connection died before
/// any byte of a reply came (most often one the server had closed while it sat idle). It
/// is then ready to go again, once, on a fresh connection, within its deadline. Only a
/// read can be on a reused connection (see attach()): reading twice changes nothing, while
/// a write that the server read before the connection died must not be applied twice.
bool prepareRetry(Transfer& transfer, CURLcode code);

/// The result of `transfer`, which libcurl ended with `code`; a whole reply's from `spares`.
Ended end(Transfer& transfer, CURLcode code, Spares& spares);

}  // namespace tavrello::internal
