// The POST exchange: one background I/O thread driving libcurl's multi
// interface for every request in flight.
#pragma once

#include <chrono>
#include <string>

#include <tavrello/types.hpp>

namespace tavrello::internal {

/// Sends "POST url" with `body` and the library's two headers, and delivers
/// exactly one result through MainQueue:
///   transfer error (timeout, reset, refused, reply over 64 MiB) -> "http"
///   status 200..299                  -> bytes constructor, result "ok"
///   any other status / no response   -> "http", body dropped
/// `url` must already have been checked. Returns at once; the I/O thread is
/// started on the first call. Never calls `callback` on the calling thread or
/// on the I/O thread. After process exit has begun, requests are dropped and
/// their callbacks are never called.
void submitPost(std::string url, std::string body, CompletionHandler callback);

/// True when `url` parses as an absolute URL (libcurl's URL parser).
bool isValidUrl(const std::string& url);

/// Largest reply body accepted; a longer one ends the exchange with "http".
inline constexpr std::size_t kMaxReplyBytes = 64u << 20;

/// Whole-exchange timeout of every request submitted after the call. The
/// client uses 60 s; only the library's own tests lower it.
void setExchangeTimeoutForTesting(std::chrono::milliseconds timeout);

/// Number of threads the transport has started so far (0 or 1).
int transportThreadsStartedForTesting();

/// Connections libcurl opened for finished transfers, summed.
long transportConnectionsOpenedForTesting();

}  // namespace tavrello::internal
