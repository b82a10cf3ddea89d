#include "internal/transfer.hpp"

#include <strings.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "internal/failure_detail.hpp"
#include "internal/spares.hpp"

namespace tavrello::internal {
namespace {

// N of "Keep-Alive: timeout=N, max=M" (anything over kMaxIdleSeconds as one more), or -1.
long keepAliveTimeout(std::string_view line) {
  const std::size_t at = line.find("timeout=");
  long seconds = -1;
  for (std::size_t i = at + 8;
       at != std::string_view::npos && i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    seconds = std::min(std::max(seconds, 0L) * 10 + (line[i] - '0'), kMaxIdleSeconds + 1);
  }
  return seconds;
}

// Every header line of the reply, 1xx ones included. A blank line ends a header block; only
// a final block that ended makes a reply (a server that closes mid-header leaves libcurl
// reporting success with whatever it had). The trailers of a chunked body come after the
// final block, without a closing blank line: they change nothing.
// cppcheck-suppress constParameter ; libcurl's callback type
size_t onHeaderLine(char* data, size_t size, size_t count, void* userdata) {
  auto* handle = static_cast<Handle*>(userdata);
  Transfer* transfer = handle->transfer;
  const size_t length = size * count;
  transfer->replyStarted = true;
  constexpr std::string_view kKeepAlive = "keep-alive:";
  if (length > kKeepAlive.size() && (data[0] | 0x20) == 'k' &&
      strncasecmp(data, kKeepAlive.data(), kKeepAlive.size()) == 0) {
    transfer->keepAlive = keepAliveTimeout(std::string_view(data, length));
  }
  if ((length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n')) {
    long status = 0;
    curl_easy_getinfo(handle->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    transfer->finalStatus = status >= 200 ? status : 0;  // a 1xx block is followed by another
    transfer->keepBody = status >= 200 && status <= 299;
    // A 2xx body announced over the cap is refused before a byte of it is read. Any other
    // is read up to the cap, for its status and the start of its body (errorBody()).
    curl_off_t announced = -1;
    curl_easy_getinfo(handle->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (transfer->keepBody && announced > static_cast<curl_off_t>(kMaxReplyBytes)) {
      transfer->overCap = true;
      return 0;  // aborts the transfer with CURLE_WRITE_ERROR
    }
  }
  return length;
}

size_t onBody(char* data, size_t size, size_t count, void* userdata) {
  Transfer* transfer = static_cast<Handle*>(userdata)->transfer;
  const size_t length = size * count;
  transfer->received += length;
  // Returning less than given aborts the transfer with CURLE_WRITE_ERROR.
  if (transfer->received > kMaxReplyBytes) {
    transfer->overCap = true;
    return 0;
  }
  // The body of a reply outside 2xx is never delivered: it is read, and only its start is
  // kept, for errorBody().
  if (transfer->keepBody) {
    transfer->reply.insert(transfer->reply.end(), data, data + length);
  } else {
    const size_t kept = std::min(length, kMaxErrorBodyBytes - transfer->errorBody.size());
    transfer->errorBody.insert(transfer->errorBody.end(), data, data + kept);
  }
  return length;
}

void setFreshConnect(Handle& handle, bool fresh) {
  if (handle.freshConnect == fresh) return;
  curl_easy_setopt(handle.easy.get(), CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
  handle.freshConnect = fresh;
}

std::chrono::milliseconds remaining(const Transfer& transfer) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(transfer.deadline - Clock::now());
}

}  // namespace

HandlePtr newHandle(const HandleDefaults& defaults) {
  auto created = std::make_unique<Handle>();
  created->url.reset(curl_url());
  created->easy.reset(curl_easy_init());
  CURL* handle = created->easy.get();
  if (!handle || !created->url) return nullptr;
  const SocketHooks& hooks = defaults.hooks;
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_POST, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, defaults.headers);
  curl_easy_setopt(handle, CURLOPT_SHARE, defaults.share);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  // Peer and host name verification, whatever libcurl's defaults may become.
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
  curl_easy_setopt(handle, CURLOPT_OPENSOCKETFUNCTION, hooks.open);
  curl_easy_setopt(handle, CURLOPT_OPENSOCKETDATA, hooks.owner);
  curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, hooks.close);
  curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, hooks.owner);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, created.get());
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, created.get());
  curl_easy_setopt(handle, CURLOPT_PRIVATE, created.get());
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, created->error);
  curl_easy_setopt(handle, CURLOPT_CURLU, created->url.get());
#if LIBCURL_VERSION_NUM >= 0x075700
  // A transfer that ends while its name lookup still runs (a timeout, process exit) leaves
  // the resolver thread behind instead of waiting for it, which would hold up every other
  // transfer, or the exit, until the lookup gave up.
  curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);
#endif
  return created;
}

std::shared_ptr<TavrelloResult> failureResult(std::string detail, int status) {
  auto result = std::make_shared<TavrelloResult>();
  result->setReason("http");
  result->setDetail(std::move(detail));
  result->setHttpStatus(status);
  return result;
}

bool attach(Transfer& transfer, const HandleDefaults& defaults, long maxIdleSeconds) {
  Handle& state = *transfer.handle;
  CURL* handle = state.easy.get();
  const Post& post = transfer.post;
  const std::shared_ptr<const Destination>& destination = post.destination;
  state.transfer = &transfer;
  state.body.assign(post.body);
  if (state.bodySetAt != state.body.data()) {
    state.bodySetAt = state.body.data();
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, state.bodySetAt);
  }
  const auto size = static_cast<curl_off_t>(state.body.size());
  if (state.bodySizeSet != size) {
    state.bodySizeSet = size;
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, size);
  }
  // A write goes on a connection of its own. On a reused one that the server closes after
  // reading it without a reply (a crash, a restart, a load balancer giving up), libcurl
  // would send it again on another connection, and the service would apply it twice; from
  // a fresh connection nothing sends it again.
  setFreshConnect(state, post.write);
  if (state.maxIdle != maxIdleSeconds) {
    curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, maxIdleSeconds);
    state.maxIdle = maxIdleSeconds;
  }
  const bool samePath =
      state.pathSetFor.data() == post.path.data() && state.pathSetFor.size() == post.path.size();
  if (state.setFor == destination && samePath) return true;
  std::string url;
  url.reserve(destination->origin.size() + post.path.size());
  url.append(destination->origin).append(post.path);
  // A destination's origin always parses (it was checked when set): only memory can run out.
  if (curl_url_set(state.url.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    state.setFor = nullptr;  // the URL is set again for the next request
    return false;
  }
  state.pathSetFor = post.path;
  if (state.setFor != destination) {
    // Only the scheme asked for, never another (no redirect is followed either).
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, destination->https ? "https" : "http");
    // Over HTTPS a request waits until the first connection's handshake says whether it can
    // take more streams (HTTP/2) rather than open one of its own: one connection and one
    // handshake for many requests, at no cost in throughput (bench/README.md). Over plain
    // HTTP nothing would ever say so, and the requests would wait for a whole reply.
    curl_easy_setopt(handle, CURLOPT_PIPEWAIT, destination->https ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_CAINFO,
                     destination->caFile.empty() ? defaults.caFile : destination->caFile.c_str());
    // "*" exempts every host from a proxy, whatever the environment says (and spares
    // reading it); null goes back to libcurl's reading of http_proxy, no_proxy and the like.
    curl_easy_setopt(handle, CURLOPT_NOPROXY, destination->loopback ? "*" : nullptr);
    state.setFor = destination;
  }
  return true;
}

bool prepareRetry(Transfer& transfer, CURLcode code) {
  const bool diedUnused =
      code == CURLE_GOT_NOTHING || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR;
  if (!diedUnused || transfer.replyStarted || transfer.retried) return false;
  long connects = 0;
  curl_easy_getinfo(transfer.handle->easy.get(), CURLINFO_NUM_CONNECTS, &connects);
  if (connects != 0 || remaining(transfer).count() <= 0) return false;
  transfer.retried = true;
  transfer.received = 0;
  transfer.handle->error[0] = '\0';
  setFreshConnect(*transfer.handle, true);
  return true;
}

Ended end(Transfer& transfer, CURLcode code, Spares& spares) {
  CURL* handle = transfer.handle->easy.get();
  long connects = 0;
  curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects);
  const std::chrono::milliseconds timeout = transfer.timeout();  // before the request moves
  Ended ended{std::move(transfer.post), nullptr, transfer.received, connects > 0};
  // A transfer error wins over any status libcurl may already have seen (a reset mid-body
  // still reports the 200 of its status line).
  if (code == CURLE_OK && transfer.finalStatus >= 200 && transfer.finalStatus <= 299) {
    ended.result = spares.okResult(transfer.reply, static_cast<int>(transfer.finalStatus));
    return ended;
  }
  long status = 0, port = 0, osErrno = 0;
  const char* ip = nullptr;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &ip);
  curl_easy_getinfo(handle, CURLINFO_PRIMARY_PORT, &port);
  curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osErrno);
  const Destination& destination = *ended.post.destination;
  Ending ending;
  ending.code = code;
  ending.status = status;
  ending.headerBlockEnded = transfer.finalStatus != 0;
  ending.overCap = transfer.overCap;
  ending.osErrno = osErrno;
  // The address that answered, or refused: the proxy's when there is one.
  const std::string address = ip != nullptr ? ip : "";
  ending.peer = address.empty() ? destination.authority
                : address.find(':') == std::string::npos
                    ? address + ":" + std::to_string(port)
                    : "[" + address + "]:" + std::to_string(port);
  ending.authority = destination.authority;
  ending.host = destination.host;
  ending.https = destination.https;
  ending.timeout = timeout;
  ending.curlError = transfer.handle->error;
  ended.result = failureResult(failureDetail(ending), static_cast<int>(status));
  if (status < 200 || status > 299) ended.result->setErrorBody(std::move(transfer.errorBody));
  return ended;
}

}  // namespace tavrello::internal
