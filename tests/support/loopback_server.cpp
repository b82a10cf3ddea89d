#include "support/loopback_server.hpp"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

namespace tavrello::testing {
namespace {

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

int toMilliseconds(std::chrono::seconds s) { return static_cast<int>(s.count() * 1000); }

// The connection a worker thread is serving, read by the request handler on the same thread.
thread_local std::uint64_t t_connectionId = 0;
// Connection id of the exchange start() makes with itself; it is neither recorded nor counted.
constexpr std::uint64_t kWarmUpConnection = UINT64_MAX;

// Waits for `events` on `fd`. Hang-ups and errors count as ready, so the next read or write
// reports them.
bool pollFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

void addressOf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  const int rc = peer ? ::getpeername(fd, generic, &length) : ::getsockname(fd, generic, &length);
  if (rc != 0 || address.ss_family != AF_INET) return;
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(v4->sin_port);
}

// The byte stream cpp-httplib parses requests from and writes replies to. One per
// connection, kept across its requests; it buffers reads because the request line and headers
// are read a byte at a time, and it writes everything it is given or fails.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, int readTimeoutMs, int writeTimeoutMs)
      : fd_(fd), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

  using httplib::Stream::write;

  bool is_readable() const override { return buffered() || pollFor(fd_, POLLIN, readTimeoutMs_); }
  bool is_writable() const override { return pollFor(fd_, POLLOUT, writeTimeoutMs_); }

  // True when a request is waiting (or the peer closed) within `timeoutMs`.
  bool waitForRequest(int timeoutMs) const { return buffered() || pollFor(fd_, POLLIN, timeoutMs); }

  ssize_t read(char* ptr, size_t size) override {
    if (!buffered()) {
      if (!pollFor(fd_, POLLIN, readTimeoutMs_)) return -1;
      if (size >= sizeof buffer_) return receive(ptr, size);
      const ssize_t n = receive(buffer_, sizeof buffer_);
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    size_t sent = 0;
    while (sent < size) {
      if (!pollFor(fd_, POLLOUT, writeTimeoutMs_)) return -1;
      const ssize_t n = ::send(fd_, ptr + sent, size - sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return -1;
      }
      sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    addressOf(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    addressOf(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  bool buffered() const { return begin_ < end_; }

  ssize_t receive(char* ptr, size_t size) {
    for (;;) {
      const ssize_t n = ::recv(fd_, ptr, size, 0);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  int fd_;
  int readTimeoutMs_;
  int writeTimeoutMs_;
  char buffer_[16384];
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return value;
  }
  return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(headers.begin(), headers.end(), [&](const auto& h) {
    return equalsIgnoreCase(h.first, name);
  }));
}

std::optional<std::string> RecordedRequest::field(std::string_view name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::size_t RecordedRequest::fieldCount(std::string_view name) const {
  return static_cast<std::size_t>(
      std::count_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; }));
}

struct LoopbackServer::Impl {
  // cpp-httplib's server, with its per-connection loop replaced by one that tracks open
  // connections: that is what lets stop() close idle keep-alive connections at once instead
  // of waiting out their keep-alive timeout, and what counts accepted connections. Parsing
  // and writing stay with cpp-httplib's process_request().
  class Server final : public httplib::Server {
   public:
    explicit Server(Impl& owner) : owner_(owner) {}

    int listeningSocket() const { return svr_sock_; }

   private:
    bool process_and_close_socket(socket_t sock) override {
      const std::uint64_t id = owner_.openConnection(sock);
      if (id == 0) {
        ::close(sock);
        return false;
      }
      t_connectionId = id;
      const auto& options = owner_.options;
      const int ioTimeoutMs = toMilliseconds(options.ioTimeout);
      ConnectionStream stream(sock, ioTimeoutMs, ioTimeoutMs);
      bool ok = false;
      std::size_t remaining = std::max<std::size_t>(options.keepAliveMaxCount, 1);
      // A client may be slow to send its first request on a busy machine; the keep-alive
      // timeout only limits the idle time after a reply.
      int waitMs = ioTimeoutMs;
      while (remaining > 0 && !owner_.stopping.load() && stream.waitForRequest(waitMs)) {
        waitMs = toMilliseconds(options.keepAliveTimeout);
        bool closed = false;
        ok = process_request(stream, remaining == 1, closed, nullptr);
        if (!ok || closed) break;
        --remaining;
      }
      owner_.closeConnection(sock);
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
      return ok;
    }

    Impl& owner_;
  };

  explicit Impl(LoopbackServerOptions o) : options(o), server(*this) {
    handler = [](const RecordedRequest&) { return Reply{200, R"({"ok":true})"}; };
  }

  // Registers an accepted socket; returns its connection id, or 0 when the server is stopping.
  std::uint64_t openConnection(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping.load()) return 0;
    openSockets.insert(fd);
    if (warmingUp) return kWarmUpConnection;
    ++accepted;
    return ++lastConnectionId;
  }

  void closeConnection(int fd) {
    std::lock_guard<std::mutex> lock(mutex);
    openSockets.erase(fd);
  }

  void handle(const httplib::Request& req, httplib::Response& res, const std::string& body) {
    if (t_connectionId == kWarmUpConnection) {
      res.status = 204;
      return;
    }
    RecordedRequest recorded;
    recorded.method = req.method;
    recorded.path = req.path;
    recorded.target = req.target;
    recorded.version = req.version;
    recorded.headers.assign(req.headers.begin(), req.headers.end());
    // cpp-httplib adds the peer and local addresses to the request as if they were headers,
    // after the client's own; the client never sent them, so the last entry of each name
    // holding httplib's value is taken out.
    const std::pair<const char*, std::string> added[] = {
        {"REMOTE_ADDR", req.remote_addr},
        {"REMOTE_PORT", std::to_string(req.remote_port)},
        {"LOCAL_ADDR", req.local_addr},
        {"LOCAL_PORT", std::to_string(req.local_port)}};
    for (const auto& entry : added) {
      const auto last =
          std::find_if(recorded.headers.rbegin(), recorded.headers.rend(), [&entry](const auto& h) {
            return equalsIgnoreCase(h.first, entry.first) && h.second == entry.second;
          });
      if (last != recorded.headers.rend()) recorded.headers.erase(std::next(last).base());
    }
    recorded.body = body;
    // req.params holds the query string; the form body is parsed here because it was read
    // through a content reader (see start()).
    httplib::Params fields(req.params.begin(), req.params.end());
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0) {
      httplib::detail::parse_query_text(body, fields);
    }
    recorded.fields.assign(fields.begin(), fields.end());
    recorded.remoteAddr = req.remote_addr;
    recorded.remotePort = req.remote_port;
    recorded.connectionId = t_connectionId;

    Handler replyFor;
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(recorded);
      replyFor = handler;
    }
    changed.notify_all();

    Reply reply;
    try {
      reply = replyFor(recorded);
    } catch (const std::exception& e) {
      reply = Reply{500, e.what(), "text/plain"};
    } catch (...) {
      reply = Reply{500, "reply function threw", "text/plain"};
    }
    if (reply.delay.count() > 0) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait_for(lock, reply.delay, [&] { return stopping.load(); });
    }
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    if (reply.contentType.empty()) {
      res.body = std::move(reply.body);
    } else {
      res.set_content(reply.body, reply.contentType);
    }
  }

  // cpp-httplib sets up some function-local statics while it serves its first request. The
  // library is not built for ThreadSanitizer, which therefore cannot see that set-up ordered
  // before the reads in other worker threads and reports a race when two first requests
  // overlap. Serving two requests here, before any test can connect, does the set-up once;
  // every later connection takes this server's mutex (openConnection) before cpp-httplib
  // reads the statics, and that orders them for ThreadSanitizer too.
  void warmUp() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      warmingUp = true;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const std::string request =
          "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=1";
      const std::string last = "GET /?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
      const std::string both = request + last;
      if (::send(fd, both.data(), both.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(both.size())) {
        char buffer[1024];
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
      }
    }
    if (fd >= 0) ::close(fd);
    std::lock_guard<std::mutex> lock(mutex);
    warmingUp = false;
  }

  const LoopbackServerOptions options;
  Server server;
  std::thread listener;
  std::atomic<bool> listenerDone{false};
  bool warmingUp = false;  // guarded by mutex
  std::atomic<bool> stopping{false};
  std::mutex lifecycle;  // start() and stop()
  bool started = false;
  int port = 0;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Handler handler;
  std::vector<RecordedRequest> requests;
  std::set<int> openSockets;
  std::size_t accepted = 0;
  std::uint64_t lastConnectionId = 0;
};

LoopbackServer::LoopbackServer() : LoopbackServer(LoopbackServerOptions{}) {}

LoopbackServer::LoopbackServer(LoopbackServerOptions options)
    : impl_(std::make_unique<Impl>(options)) {}

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::start() {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lifecycle(impl.lifecycle);
  if (impl.started) return false;
  impl.started = true;

  const std::size_t threads = std::max<std::size_t>(impl.options.threads, 1);
  impl.server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  impl.server.set_tcp_nodelay(true);
  impl.server.set_socket_options([](int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  const auto handler = [&impl](const httplib::Request& req, httplib::Response& res) {
    impl.handle(req, res, req.body);
  };
  // Bodies are read through a content reader: cpp-httplib refuses a form body over 8 KiB
  // with 413 before a plain handler runs, and tests send values of a megabyte.
  const auto reading = [&impl](const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, std::size_t length) {
      body.append(data, length);
      return true;
    });
    impl.handle(req, res, body);
  };
  const std::string any = ".*";
  impl.server.Get(any, handler)
      .Post(any, reading)
      .Put(any, reading)
      .Patch(any, reading)
      .Delete(any, handler)
      .Options(any, handler);

  const int port = impl.server.bind_to_any_port("127.0.0.1");
  if (port <= 0) return false;
  // cpp-httplib listens with a backlog of a handful; a burst of connections from one client
  // would overflow it and each dropped SYN costs the client a second. Listening again on
  // the same socket only raises the backlog.
  ::listen(impl.server.listeningSocket(), SOMAXCONN);
  impl.port = port;

  try {
    impl.listener = std::thread([&impl] {
      impl.server.listen_after_bind();
      impl.listenerDone = true;
    });
  } catch (const std::exception&) {
    impl.server.stop();
    return false;
  }
  // stop() does nothing until the accept loop runs, so wait for it before handing over.
  while (!impl.server.is_running() && !impl.listenerDone.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!impl.server.is_running()) return false;
  impl.warmUp();
  return true;
}

void LoopbackServer::stop() {
  Impl& impl = *impl_;
  std::lock_guard<std::mutex> lifecycle(impl.lifecycle);
  if (!impl.started || !impl.listener.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.stopping = true;
    // Wakes every worker waiting on a connection; each then closes its own socket.
    for (int fd : impl.openSockets) ::shutdown(fd, SHUT_RDWR);
  }
  impl.changed.notify_all();
  impl.server.stop();
  impl.listener.join();
}

int LoopbackServer::port() const { return impl_->port; }

std::string LoopbackServer::hostAndPort() const {
  return "127.0.0.1:" + std::to_string(impl_->port);
}

void LoopbackServer::setHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

void LoopbackServer::setReply(Reply reply) {
  setHandler([reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

std::size_t LoopbackServer::requestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

std::size_t LoopbackServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->accepted;
}

std::size_t LoopbackServer::openConnectionCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->openSockets.size();
}

void LoopbackServer::clear() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->requests.clear();
  impl_->accepted = 0;
}

}  // namespace tavrello::testing
