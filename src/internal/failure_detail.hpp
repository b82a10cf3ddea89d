// The one line of English that says why an exchange failed.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <string>

namespace tavrello::internal {

/// How an exchange ended, as the transport saw it.
struct Ending {
  CURLcode code = CURLE_OK;
  long status = 0;                       // the final status received, 0 when none came
  bool headerBlockEnded = false;         // the final header block came whole
  bool overCap = false;                  // the body outgrew the 64 MiB cap
  long osErrno = 0;                      // of the last failed socket call
  std::string peer;                      // "ip:port" that answered or refused, else the authority
  std::string authority;                 // the service's host:port, the default port filled in
  std::string host;                      // the service's host
  bool https = false;                    // the service was asked for https
  std::chrono::milliseconds timeout{0};  // the exchange's whole timeout
  std::string curlError;  // libcurl's own words: said only for TLS, where they name the problem
};

/// What went wrong, in one line that holds no key, signature or body. A status outside 2xx
/// says more than whatever then befell its body.
///   failureDetail({CURLE_RECV_ERROR, 503, true, ..., "api.example.com:443"})
///       == "HTTP 503 from api.example.com:443"
///   failureDetail({CURLE_COULDNT_CONNECT, 0, false, false, ECONNREFUSED, "127.0.0.1:1"})
///       == "connection refused by 127.0.0.1:1"
/// A scheme that seems to be the wrong one for the port (https to a plain HTTP server, http
/// to a TLS one) is said after what went wrong, as the likely cause.
std::string failureDetail(const Ending& ending);

/// "no complete reply within 60 s", or "... within 500 ms" for the shorter timeouts of tests.
std::string noReplyWithin(std::chrono::milliseconds timeout);

}  // namespace tavrello::internal
