#include "request_log.hpp"

#include <utility>

#include "sandbox_options.hpp"
#include "sandbox_wire.hpp"

namespace tavrello::sandbox {
namespace {

std::string printable(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x21 && c <= 0x7e && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out.append("\\x").push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
  if (text.size() > limit) out.append("...");
  return out;
}

}  // namespace

void RequestLog::open(bool keep, std::function<void(const std::string&)> log) {
  keep_ = keep;
  log_ = std::move(log);
}

void RequestLog::keep(const httplib::Request& req, std::string_view operation,
                      const std::string& body) {
  if (!keep_) return;
  Request kept{std::string(operation), req.method,     req.target, {}, body,
               parseForm(body),        req.remote_port};
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
  kept.tlsResumed = req.ssl != nullptr && SSL_session_reused(req.ssl) == 1;
#endif
  for (const auto& [name, value] : req.headers) {
    // httplib adds both ends' addresses to the headers the client sent.
    if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
        name != "LOCAL_PORT") {
      kept.headers.emplace_back(name, value);
    }
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(kept));
  arrived_.notify_all();
}

void RequestLog::record(const httplib::Request& req, const Reply& reply, const Fault* fault) {
  if (!log_) return;
  const std::lock_guard<std::mutex> lock(logMutex_);
  log_(logLine(req.method, req.path, reply, fault));
}

std::vector<Request> RequestLog::requests() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool RequestLog::waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto arrived = [&] { return requests_.size() >= count; };
  // Adding a timeout near the duration's maximum (milliseconds::max()) to the clock would
  // overflow: such a one has no end.
  if (timeout >= std::chrono::hours(24 * 365 * 100)) {
    arrived_.wait(lock, arrived);
    return true;
  }
  return arrived_.wait_for(lock, timeout, arrived);
}

void RequestLog::forget() {
  const std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

std::optional<std::string> Request::field(const std::string& name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::string logLine(std::string_view method, std::string_view path, const Reply& reply,
                    const Fault* fault) {
  std::string line = printable(method, 16);
  line.append(" ").append(printable(path, 80));
  if (!reply.action.empty()) line.append(" ").append(reply.action);
  line.append(" ").append(std::to_string(reply.status)).append(" ").append(reply.outcome);
  if (fault != nullptr) line.append(" fault ").append(printable(describeFault(*fault), 160));
  return line;
}

}  // namespace tavrello::sandbox
