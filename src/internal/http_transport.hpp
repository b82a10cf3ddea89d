// The POST exchange: what the client hands to the transport, and how it is answered.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <tavrello/exchange.hpp>
#include <tavrello/types.hpp>

#include "internal/destination.hpp"

namespace tavrello::internal {

/// One request as the client hands it over.
struct Post {
  const char* operation = "";  // "getLastData", ...: static text
  std::string_view path;       // appended to the destination's origin; static text
  std::string body;            // form-encoded
  std::shared_ptr<const Destination> destination;
  CompletionHandler callback;
  std::chrono::steady_clock::time_point started;  // the operation's call
  bool write = false;  // changes the service's state: never sent more than once
};

/// Sends "POST origin+path" with the body and the library's two headers, and
/// delivers exactly one result through MainQueue:
///   a whole 2xx reply                   -> bytes constructor, result "ok"
///   a destination that is no host        -> "Invalid URL", nothing sent
///   any other status, a reply cut short,
///   a transfer error (timeout, reset,
///   refused, TLS, reply over 64 MiB)    -> "http", body dropped
/// A write goes on a fresh connection, from which nothing sends it again. A read whose
/// reused connection turned out dead before any byte of a reply came goes again, once, on
/// a fresh one.
/// with httpStatus() and, on failure, detail() filled in; the observer sees
/// each request first. Returns at once and never throws; the library's
/// thread is started on first use, and again by a later call when it could
/// not be started (that request gets "http"). Never calls the callback on the
/// calling thread. In a child made by fork() the first call starts the
/// child's own transport. Once static destruction has begun, requests are
/// dropped and their callbacks never run.
void submitPost(Post&& post);

/// An empty string for the body of a request about to be made. On the thread that drives
/// the transfers, one an ended request's body left, with its capacity: a request made there
/// (by a handler, most often) allocates no body of its own.
std::string spareBody();

/// Whole-exchange timeout of every request submitted after the call. The
/// client uses 60 s; only the library's own tests lower it.
void setExchangeTimeoutForTesting(std::chrono::milliseconds timeout);

}  // namespace tavrello::internal
