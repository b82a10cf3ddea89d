// What the sandbox received: each request kept, as it came, for Sandbox::requests() and
// waitForRequests(), and one line per answer for Options::log.
//
// Thread safety: every member may be called from any thread; the log function is called
// by one thread at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>
#include <tavrello/sandbox.hpp>

#include "sandbox_service.hpp"

namespace tavrello::sandbox {

class RequestLog {
 public:
  // Before the first request: whether to keep requests, and where the lines go (empty: none).
  void open(bool keep, std::function<void(const std::string&)> log);

  // Keeps the request, when requests are kept, and wakes waitFor().
  void keep(const httplib::Request& req, std::string_view operation, const std::string& body);
  // Logs the answer to a request, and the fault that made it, if one did.
  void record(const httplib::Request& req, const Reply& reply, const Fault* fault = nullptr);

  std::vector<Request> requests() const;
  // Waits until `count` requests were kept; false when `timeout` passed first.
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout) const;
  void forget();  // every request kept so far

 private:
  bool keep_ = false;
  std::function<void(const std::string&)> log_;
  std::mutex logMutex_;       // one line at a time
  mutable std::mutex mutex_;  // guards what follows
  mutable std::condition_variable arrived_;
  std::vector<Request> requests_;
};

// logLine() is the one line logged for a request: method, path, action when there was one,
// status and outcome, then "fault" and the fault that answered it, as a --fault text. Bytes
// outside printable ASCII are written as \xHH and long texts are cut, so a hostile path (or
// fault body) cannot forge log lines.
//   "POST /api.partner.common.php api.common.group.set.add 200 ok"
//   "POST /api.partner.common.php 503 injected fault op=createGroup,status=503"
std::string logLine(std::string_view method, std::string_view path, const Reply& reply,
                    const Fault* fault);

}  // namespace tavrello::sandbox
