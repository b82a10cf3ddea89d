#include "support/fault_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>
#include <string_view>
#include <thread>

namespace tavrello::testing {

const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::Normal:
      return "Normal";
    case Fault::Status:
      return "Status";
    case Fault::CloseMidBody:
      return "CloseMidBody";
    case Fault::ResetMidHeaders:
      return "ResetMidHeaders";
    case Fault::ResetMidBody:
      return "ResetMidBody";
    case Fault::NotHttp:
      return "NotHttp";
    case Fault::EndlessHeaders:
      return "EndlessHeaders";
    case Fault::Trickle:
      return "Trickle";
    case Fault::ShortContentLength:
      return "ShortContentLength";
    case Fault::BadChunk:
      return "BadChunk";
    case Fault::Huge:
      return "Huge";
    case Fault::NeverAnswer:
      return "NeverAnswer";
    case Fault::NeverRead:
      return "NeverRead";
  }
  return "?";
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Limits on what a client may send, so a runaway client cannot exhaust the test's memory.
constexpr std::size_t kMaxHeadBytes = std::size_t{1} << 20;
constexpr std::uint64_t kMaxRequestBody = std::uint64_t{64} << 20;
// Time for the client to take in a partial reply before the reset that follows it.
constexpr milliseconds kPauseBeforeReset{50};
constexpr std::size_t kTrickleLength = 1000;
constexpr std::string_view kPartialBody = R"({"ok":true)";  // 10 bytes of a JSON body

const char* reasonPhrase(int code) {
  switch (code) {
    case 100:
      return "Continue";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

// "HTTP/1.1 <code> <reason>", the headers, and the blank line ending the header block.
std::string replyHead(int code, const FaultServer::Headers& headers) {
  std::string head = "HTTP/1.1 " + std::to_string(code) + " " + reasonPhrase(code) + "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  return head + "\r\n";
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool containsIgnoreCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (equalsIgnoreCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

void closeQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct FaultServer::Impl {
  // What the server does with the next request; copied when a request starts arriving.
  struct Behaviour {
    Fault fault = Fault::Normal;
    std::string normalBody = R"({"ok":true})";
    int status = 200;
    std::string statusBody;
    Headers statusHeaders;
    std::uint64_t hugeSize = kDefaultHugeSize;
    bool hugeChunked = false;
    milliseconds trickleInterval{1000};
    milliseconds headerInterval{10};
  };

  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  class Connection;

  Behaviour behaviour() const {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
  }

  void record(std::size_t connection, const char* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    received[connection].append(data, size);
  }

  void countRequest() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++requests;
    }
    changed.notify_all();
  }

  void connectionClosed() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      --open;
    }
    changed.notify_all();
  }

  void acceptLoop();

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Behaviour current;
  std::vector<std::string> received;
  std::size_t accepted = 0;
  std::size_t open = 0;
  std::size_t requests = 0;
  std::atomic<std::uint64_t> sent{0};

  std::mutex lifecycle;  // start() and stop()
  bool started = false;
  int port = 0;
  int listenFd = -1;
  // A byte written to wakeWrite at stop() leaves wakeRead readable for good, which every
  // poll() in the server watches.
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread acceptor;
  std::list<std::unique_ptr<Worker>> workers;  // the accept thread's, then stop()'s after join
};

// One accepted connection, served on its own thread until either side closes it or the
// server stops. Every wait also watches the server's wake pipe.
class FaultServer::Impl::Connection {
 public:
  Connection(Impl& server, int fd, std::size_t index) : server_(server), fd_(fd), index_(index) {}
  ~Connection() {
    closeQuietly(fd_);
    server_.connectionClosed();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void run() {
    for (;;) {
      if (pending_.empty() && wait(POLLIN | POLLRDHUP, -1) != Event::Ready) return;
      const Behaviour behaviour = server_.behaviour();
      if (behaviour.fault == Fault::NeverRead) {
        holdWithoutReading();
        return;
      }
      bool keepAlive = true;
      if (!readRequest(keepAlive) || !respond(behaviour) || !keepAlive) return;
    }
  }

 private:
  enum class Event { Ready, Timeout, Stopped };

  Event wait(short events, int timeoutMs, short* revents = nullptr) {
    pollfd fds[2] = {{fd_, events, 0}, {server_.wakeRead, POLLIN, 0}};
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (;;) {
      int remaining = timeoutMs;
      if (timeoutMs > 0) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        remaining = static_cast<int>(std::max<milliseconds::rep>(left.count(), 0));
      }
      const int n = ::poll(fds, 2, remaining);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || fds[1].revents != 0) return Event::Stopped;
      if (n == 0) return Event::Timeout;
      if (revents != nullptr) *revents = fds[0].revents;
      return Event::Ready;
    }
  }

  // Reads what is available into pending_ and the record. False once the client has closed
  // or reset the connection, or the server is stopping.
  bool readAvailable(bool block) {
    char buffer[65536];
    for (bool first = true;; first = false) {
      if (block && first && wait(POLLIN, -1) != Event::Ready) return false;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        pending_.append(buffer, static_cast<std::size_t>(n));
        server_.record(index_, buffer, static_cast<std::size_t>(n));
        if (block) return true;
        continue;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!block) return true;
        if (wait(POLLIN, -1) != Event::Ready) return false;
        continue;
      }
      return false;
    }
  }

  // Reads one request: the header block, then as many body bytes as its Content-Length says.
  // This only frames the request; nothing else in it is interpreted except Connection: close
  // (and HTTP/1.0) for keep-alive and Expect: 100-continue, answered as a server would.
  bool readRequest(bool& keepAlive) {
    std::size_t headEnd;
    while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (pending_.size() > kMaxHeadBytes || !readAvailable(true)) return false;
    }
    const std::string_view head(pending_.data(), headEnd);
    std::size_t lineEnd = head.find("\r\n");
    keepAlive = !containsIgnoreCase(head.substr(0, lineEnd), "HTTP/1.0");
    std::uint64_t contentLength = 0;
    bool expectContinue = false;
    while (lineEnd != std::string_view::npos) {
      const std::size_t lineStart = lineEnd + 2;
      lineEnd = head.find("\r\n", lineStart);
      const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      const std::string_view name = trim(line.substr(0, colon));
      const std::string_view value = trim(line.substr(colon + 1));
      if (equalsIgnoreCase(name, "Content-Length")) {
        contentLength = std::strtoull(std::string(value).c_str(), nullptr, 10);
      } else if (equalsIgnoreCase(name, "Expect")) {
        expectContinue = equalsIgnoreCase(value, "100-continue");
      } else if (equalsIgnoreCase(name, "Connection") && containsIgnoreCase(value, "close")) {
        keepAlive = false;
      }
    }
    server_.countRequest();
    if (contentLength > kMaxRequestBody) return false;
    if (expectContinue && !sendAll("HTTP/1.1 100 Continue\r\n\r\n")) return false;
    const std::size_t total = headEnd + 4 + static_cast<std::size_t>(contentLength);
    while (pending_.size() < total) {
      if (!readAvailable(true)) return false;
    }
    pending_.erase(0, total);
    return true;
  }

  // Writes all of `data`. False when the client is gone or the server is stopping.
  bool sendAll(std::string_view data) {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        server_.sent += static_cast<std::uint64_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (wait(POLLOUT, -1) != Event::Ready) return false;
        continue;
      }
      return false;
    }
    return true;
  }

  // Waits `duration`, recording whatever the client sends meanwhile. False as soon as the
  // client closes or resets the connection, or the server is stopping.
  bool pause(milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return true;
      const auto timeout = std::min<milliseconds::rep>(left.count(), 60 * 60 * 1000);
      switch (wait(POLLIN | POLLRDHUP, static_cast<int>(timeout))) {
        case Event::Stopped:
          return false;
        case Event::Timeout:
          continue;
        case Event::Ready:
          if (!readAvailable(false)) return false;
      }
    }
  }

  void holdReading() {
    while (pause(std::chrono::hours(1))) {
    }
  }

  // Leaves the request unread: waits only for the client to hang up, or for stop().
  void holdWithoutReading() {
    for (;;) {
      short revents = 0;
      if (wait(POLLRDHUP, -1, &revents) != Event::Ready) return;
      if ((revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0) return;
    }
  }

  // Closes with SO_LINGER 0, which sends a TCP reset instead of an orderly FIN.
  void resetAndClose() {
    const linger abortive{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    closeQuietly(fd_);
  }

  bool sendHuge(const Behaviour& b) {
    Headers headers = {{"Content-Type", "text/plain"}};
    if (b.hugeChunked) {
      headers.emplace_back("Transfer-Encoding", "chunked");
    } else {
      headers.emplace_back("Content-Length", std::to_string(b.hugeSize));
    }
    if (!sendAll(replyHead(200, headers))) return false;
    const std::string block(std::size_t{1} << 16, 'a');
    for (std::uint64_t left = b.hugeSize; left > 0;) {
      const std::size_t size =
          static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
      const std::string_view piece(block.data(), size);
      if (b.hugeChunked) {
        char sizeLine[32];
        std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", size);
        if (!sendAll(sizeLine) || !sendAll(piece) || !sendAll("\r\n")) return false;
      } else if (!sendAll(piece)) {
        return false;
      }
      left -= size;
    }
    return !b.hugeChunked || sendAll("0\r\n\r\n");
  }

  // Answers one request as `b` says. True when the connection may serve another request.
  bool respond(const Behaviour& b) {
    const std::pair<std::string, std::string> json = {"Content-Type", "application/json"};
    switch (b.fault) {
      case Fault::Normal:
        return sendAll(
            replyHead(200, {json, {"Content-Length", std::to_string(b.normalBody.size())}}) +
            b.normalBody);
      case Fault::Status: {
        if (b.status >= 100 && b.status < 200) {
          sendAll(replyHead(b.status, b.statusHeaders));
          holdReading();
          return false;
        }
        Headers headers = {json};
        headers.insert(headers.end(), b.statusHeaders.begin(), b.statusHeaders.end());
        const bool hasBody = b.status != 204 && b.status != 304;
        if (hasBody) headers.emplace_back("Content-Length", std::to_string(b.statusBody.size()));
        return sendAll(replyHead(b.status, headers) + (hasBody ? b.statusBody : std::string()));
      }
      case Fault::CloseMidBody:
        sendAll(replyHead(200, {json, {"Content-Length", "100"}}) + std::string(kPartialBody));
        return false;
      case Fault::ResetMidHeaders:
        if (sendAll("HTTP/1.1 200 OK\r\nContent-Type: appl")) pause(kPauseBeforeReset);
        resetAndClose();
        return false;
      case Fault::ResetMidBody:
        if (sendAll(replyHead(200, {json, {"Content-Length", "100"}}) +
                    std::string(kPartialBody))) {
          pause(kPauseBeforeReset);
        }
        resetAndClose();
        return false;
      case Fault::NotHttp: {
        static constexpr char kGarbage[] = "\x00\x01\x02\x03 no status line here \xfe\xff\r\n\r\n";
        sendAll(std::string_view(kGarbage, sizeof kGarbage - 1));
        return false;
      }
      case Fault::EndlessHeaders:
        if (!sendAll("HTTP/1.1 200 OK\r\n")) return false;
        for (std::uint64_t i = 0;; ++i) {
          const std::string line =
              "X-Endless-" + std::to_string(i) + ": " + std::string(40, 'h') + "\r\n";
          if (!sendAll(line) || !pause(b.headerInterval)) return false;
        }
      case Fault::Trickle:
        if (!sendAll(replyHead(200, {json, {"Content-Length", std::to_string(kTrickleLength)}}))) {
          return false;
        }
        for (std::size_t i = 0; i < kTrickleLength; ++i) {
          if (!sendAll("x") || !pause(b.trickleInterval)) return false;
        }
        return false;
      case Fault::ShortContentLength:
        sendAll(
            replyHead(200, {json, {"Content-Length", std::to_string(b.normalBody.size() + 10)}}) +
            b.normalBody);
        return false;
      case Fault::BadChunk:
        sendAll(replyHead(200, {json, {"Transfer-Encoding", "chunked"}}) +
                "zz\r\n{\"ok\":true}\r\n0\r\n\r\n");
        return false;
      case Fault::Huge:
        return sendHuge(b);
      case Fault::NeverAnswer:
        holdReading();
        return false;
      case Fault::NeverRead:
        break;  // handled before the request is read
    }
    return false;
  }

  Impl& server_;
  int fd_;
  std::size_t index_;
  std::string pending_;  // received bytes not yet consumed as a request
};

void FaultServer::Impl::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) return;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return;

    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: back off instead of spinning on the pending connection.
        pollfd wake{wakeRead, POLLIN, 0};
        ::poll(&wake, 1, 10);
      }
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    std::size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex);
      index = received.size();
      received.emplace_back();
      ++accepted;
      ++open;
    }
    changed.notify_all();

    auto worker = std::make_unique<Worker>();
    Worker* slot = worker.get();
    try {
      worker->thread = std::thread([this, fd, index, slot] {
        {
          Connection connection(*this, fd, index);
          connection.run();
        }
        slot->done = true;
      });
    } catch (const std::exception&) {
      ::close(fd);
      connectionClosed();
      continue;
    }
    workers.push_back(std::move(worker));
    // Join the threads of connections already closed, so a long test does not pile them up.
    for (auto it = workers.begin(); it != workers.end();) {
      if ((*it)->done.load()) {
        (*it)->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }
}

FaultServer::FaultServer(Fault fault) : impl_(std::make_unique<Impl>()) {
  impl_->current.fault = fault;
}

FaultServer::~FaultServer() { stop(); }

bool FaultServer::start() {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lifecycle(impl.lifecycle);
  if (impl.started) return false;
  impl.started = true;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  impl.wakeRead = pipeFds[0];
  impl.wakeWrite = pipeFds[1];

  impl.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  const int on = 1;
  if (impl.listenFd < 0 ||
      ::setsockopt(impl.listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(impl.listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(impl.listenFd, SOMAXCONN) != 0 ||
      ::getsockname(impl.listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeQuietly(impl.listenFd);
    closeQuietly(impl.wakeRead);
    closeQuietly(impl.wakeWrite);
    return false;
  }
  try {
    impl.acceptor = std::thread([&impl] { impl.acceptLoop(); });
  } catch (const std::exception&) {
    closeQuietly(impl.listenFd);
    closeQuietly(impl.wakeRead);
    closeQuietly(impl.wakeWrite);
    return false;
  }
  // The socket already listens: connections made from here on wait in its backlog.
  impl.port = ntohs(address.sin_port);
  return true;
}

void FaultServer::stop() {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lifecycle(impl.lifecycle);
  if (!impl.acceptor.joinable()) return;
  const char byte = 'x';
  while (::write(impl.wakeWrite, &byte, 1) < 0 && errno == EINTR) {
  }
  impl.acceptor.join();
  for (auto& worker : impl.workers) worker->thread.join();
  impl.workers.clear();
  closeQuietly(impl.listenFd);
  closeQuietly(impl.wakeRead);
  closeQuietly(impl.wakeWrite);
}

int FaultServer::port() const { return impl_->port; }

std::string FaultServer::hostAndPort() const { return "127.0.0.1:" + std::to_string(impl_->port); }

void FaultServer::setFault(Fault fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->current.fault = fault;
}

Fault FaultServer::fault() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->current.fault;
}

void FaultServer::setNormalBody(std::string body) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->current.normalBody = std::move(body);
}

void FaultServer::setStatus(int code, std::string body, Headers headers) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->current.fault = Fault::Status;
  impl_->current.status = code;
  impl_->current.statusBody = std::move(body);
  impl_->current.statusHeaders = std::move(headers);
}

void FaultServer::setHugeBody(std::uint64_t size, bool chunked) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->current.hugeSize = size;
  impl_->current.hugeChunked = chunked;
}

void FaultServer::setTrickleInterval(std::chrono::milliseconds interval) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->current.trickleInterval = interval;
}

void FaultServer::setHeaderInterval(std::chrono::milliseconds interval) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->current.headerInterval = interval;
}

std::size_t FaultServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->accepted;
}

std::size_t FaultServer::openConnectionCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->open;
}

std::size_t FaultServer::requestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

std::uint64_t FaultServer::bytesSent() const { return impl_->sent.load(); }

std::vector<std::string> FaultServer::received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

bool FaultServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->accepted >= count; });
}

bool FaultServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests >= count; });
}

bool FaultServer::waitForNoOpenConnections(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->open == 0; });
}

}  // namespace tavrello::testing
