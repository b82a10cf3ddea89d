// Exchange: what the client's observer sees of one request.
#pragma once

#include <tavrello/config.hpp>

#include <chrono>
#include <cstddef>
#include <string>

namespace tavrello {

/// One request as it ended, for logging and metrics (TavrelloAPI::setObserver()). It never
/// holds a key, a signature or a body: only what can be printed anywhere.
///
///   operation "getGroups", method "POST",
///   url "http://127.0.0.1:8787/api.partner.common.php",
///   requestBytes 171, httpStatus 200, replyBytes 87, elapsed 3100us,
///   newConnection true, result "ok", reason "", detail ""
struct Exchange {
  std::string operation;                 // "getLastData", ...
  std::string method;                    // "POST"
  std::string url;                       // scheme://host[:port]/path, nothing else
  std::size_t requestBytes = 0;          // body size
  int httpStatus = 0;                    // 0 when none
  std::size_t replyBytes = 0;            // body bytes received, whether kept or not
  std::chrono::microseconds elapsed{0};  // from the call to the end of the exchange
  bool newConnection = false;            // a connection was opened for it
  std::string result;                    // "ok" or "FAIL"
  std::string reason;                    // "", "http", "Invalid URL"
  std::string detail;                    // as TavrelloResult::detail()
};

}  // namespace tavrello
