// The POST exchange: one background I/O thread driving libcurl's multi
// interface for every request in flight.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <tavrello/types.hpp>

#include "internal/destination.hpp"

namespace tavrello::internal {

/// One request as the client hands it over.
struct Post {
  std::string url;   // destination->origin + the endpoint's path
  std::string body;  // form-encoded
  std::shared_ptr<const Destination> destination;
  CompletionHandler callback;
};

/// Sends "POST url" with the body and the library's two headers, and delivers
/// exactly one result through MainQueue:
///   a whole 2xx reply               -> bytes constructor, result "ok"
///   any other status, a reply cut
///   short, a transfer error (timeout,
///   reset, refused, reply over 64 MiB) -> "http", body dropped
/// Returns at once and never throws; the I/O thread is started on first use,
/// and again by a later call when it could not be started (that request gets
/// "http"). Never calls the callback on the calling thread. In a child made
/// by fork() the first call starts the child's own transport. Once static
/// destruction has begun, requests are dropped and their callbacks never run.
void submitPost(Post post);

/// Largest reply body accepted; a longer one ends the exchange with "http".
inline constexpr std::size_t kMaxReplyBytes = 64u << 20;

/// Whole-exchange timeout of every request submitted after the call. The
/// client uses 60 s; only the library's own tests lower it.
void setExchangeTimeoutForTesting(std::chrono::milliseconds timeout);

}  // namespace tavrello::internal
