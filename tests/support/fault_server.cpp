#include "support/fault_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace tavrello::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kFaultNames[] = {
    "Normal",  "Status",         "CloseMidBody", "ResetMidHeaders",    "ResetMidBody",
    "NotHttp", "EndlessHeaders", "Trickle",      "ShortContentLength", "BadChunk",
    "Huge",    "NeverAnswer",    "NeverRead"};
constexpr std::string_view kPartialBody = R"({"ok":true)";  // 10 bytes of a JSON body
constexpr std::size_t kHugeSize = (std::size_t{64} << 20) + 1;

// Writes all of `data`; false once the client is gone or stop() shut the socket down.
bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A status line, a JSON Content-Type, `headers` (each ending in CRLF) and the blank line.
std::string head(int code, const std::string& headers) {
  return "HTTP/1.1 " + std::to_string(code) + " Fault\r\nContent-Type: application/json\r\n" +
         headers + "\r\n";
}

std::string contentLength(std::size_t size) {
  return "Content-Length: " + std::to_string(size) + "\r\n";
}

}  // namespace

const char* faultName(Fault fault) { return kFaultNames[static_cast<int>(fault)]; }

bool FaultServer::start() {
  if (listenFd_ >= 0) return false;
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (listenFd_ < 0 || ::bind(listenFd_, generic, length) != 0 ||
      ::listen(listenFd_, SOMAXCONN) != 0 || ::getsockname(listenFd_, generic, &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
  return true;
}

void FaultServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || listenFd_ < 0) return;
    stopping_ = true;
    // Wakes the accept() and every poll(), recv() and send() on a connection.
    ::shutdown(listenFd_, SHUT_RDWR);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (Worker& worker : workers_) worker.thread.join();
  workers_.clear();
  ::close(listenFd_);
}

void FaultServer::acceptLoop() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) continue;
    // Joins the threads of connections already closed, so a long run does not pile them up.
    workers_.remove_if([](Worker& worker) {
      if (worker.done) worker.thread.join();
      return worker.done;
    });
    open_.insert(fd);
    received_.emplace_back();
    Worker& worker = workers_.emplace_back();
    worker.thread = std::thread([this, fd, &worker, connection = received_.size() - 1] {
      serve(fd, connection);
      std::lock_guard<std::mutex> lock(mutex_);
      open_.erase(fd);
      ::close(fd);
      worker.done = true;
    });
  }
}

void FaultServer::serve(int fd, std::size_t connection) {
  std::string pending;  // received, not yet taken as a request
  // Takes in what arrives within `timeoutMs` (-1: waits for it); false once the client is
  // gone or stop() shut the socket down.
  const auto receive = [&](int timeoutMs) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0) return true;
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard<std::mutex> lock(mutex_);
    received_[connection].append(buffer, static_cast<std::size_t>(n));
    return true;
  };
  // Waits `duration`, taking in whatever the client sends; false once it is gone.
  const auto pause = [&](milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    for (auto left = duration; left.count() > 0;
         left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now())) {
      if (!receive(static_cast<int>(left.count()))) return false;
    }
    return true;
  };
  const milliseconds forever = std::chrono::hours(24);

  for (;;) {
    pollfd first{fd, POLLIN, 0};  // waits for a request without reading it
    if (pending.empty() && ::poll(&first, 1, -1) < 0) continue;
    Settings s;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      s = settings_;
    }
    if (s.fault == Fault::NeverRead) {
      pollfd hangUp{fd, POLLRDHUP, 0};  // the client closing, or stop()
      while (::poll(&hangUp, 1, -1) < 0 && errno == EINTR) {
      }
      return;
    }
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      if (!receive(-1)) return;
    }
    std::string lower = pending.substr(0, end + 2);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t at = lower.find("\r\ncontent-length:");
    const std::size_t total =
        end + 4 + (at == std::string::npos ? 0 : std::strtoull(&lower[at + 17], nullptr, 10));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++requests_;
    }
    changed_.notify_all();
    while (pending.size() < total) {
      if (!receive(-1)) return;
    }
    pending.erase(0, total);

    switch (s.fault) {
      case Fault::Normal:
        if (!sendAll(fd, head(200, contentLength(s.normalBody.size())) + s.normalBody)) return;
        break;
      case Fault::Status: {
        if (s.status < 200) {
          const std::string line = "HTTP/1.1 " + std::to_string(s.status) + " Wait\r\n\r\n";
          if (sendAll(fd, line)) pause(forever);
          return;
        }
        if (!sendAll(fd, head(s.status, contentLength(s.statusBody.size())) + s.statusBody)) {
          return;
        }
        break;
      }
      case Fault::CloseMidBody:
        sendAll(fd, head(200, contentLength(100)) + std::string(kPartialBody));
        return;
      case Fault::ResetMidHeaders:
      case Fault::ResetMidBody: {
        const std::string part = s.fault == Fault::ResetMidBody
                                     ? head(200, contentLength(100)) + std::string(kPartialBody)
                                     : "HTTP/1.1 200 OK\r\nContent-Type: appl";
        if (sendAll(fd, part)) pause(milliseconds(50));
        const linger reset{1, 0};  // close() then sends a TCP reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        return;
      }
      case Fault::NotHttp: {
        static constexpr char kGarbage[] = "\x00\x01\x02\x03 no status line \xfe\xff\r\n\r\n";
        sendAll(fd, std::string_view(kGarbage, sizeof kGarbage - 1));
        return;
      }
      case Fault::EndlessHeaders:
        if (!sendAll(fd, "HTTP/1.1 200 OK\r\n")) return;
        for (int i = 0;; ++i) {
          const std::string line = "X-Endless-" + std::to_string(i) + ": " + std::string(40, 'h');
          if (!sendAll(fd, line + "\r\n") || !pause(milliseconds(10))) return;
        }
      case Fault::Trickle:
        if (!sendAll(fd, head(200, contentLength(1000)))) return;
        for (int i = 0; i < 1000; ++i) {
          if (!sendAll(fd, "x") || !pause(s.trickleInterval)) return;
        }
        return;
      case Fault::ShortContentLength:
        sendAll(fd, head(200, contentLength(s.normalBody.size() + 10)) + s.normalBody);
        return;
      case Fault::BadChunk:
        sendAll(fd,
                head(200, "Transfer-Encoding: chunked\r\n") + "zz\r\n{\"ok\":true}\r\n0\r\n\r\n");
        return;
      case Fault::Huge: {
        if (!sendAll(fd, head(200, contentLength(kHugeSize)))) return;
        const std::string block(std::size_t{1} << 16, 'a');
        for (std::size_t left = kHugeSize; left > 0; left -= std::min(left, block.size())) {
          if (!sendAll(fd, std::string_view(block).substr(0, left))) return;
        }
        break;
      }
      case Fault::NeverAnswer:
        pause(forever);
        return;
      case Fault::NeverRead:
        return;  // handled before the request was read
    }
  }
}

void FaultServer::setFault(Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.fault = fault;
}

void FaultServer::setStatus(int code, std::string body) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.fault = Fault::Status;
  settings_.status = code;
  settings_.statusBody = std::move(body);
}

void FaultServer::setNormalBody(std::string body) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.normalBody = std::move(body);
}

void FaultServer::setTrickleInterval(milliseconds interval) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.trickleInterval = interval;
}

bool FaultServer::waitForRequests(std::size_t count, milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_ >= count; });
}

std::vector<std::string> FaultServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

}  // namespace tavrello::testing
