#include "support/loopback_server.hpp"

#include <httplib.h>
#include <strings.h>
#include <sys/socket.h>

#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>

namespace tavrello::testing {
namespace {

// The values of `name` in `list`, its letter case ignored or not.
std::vector<std::string> valuesOf(const HeaderList& list, std::string_view name, bool anyCase) {
  std::vector<std::string> values;
  for (const auto& [key, value] : list) {
    const bool same = anyCase ? key.size() == name.size() &&
                                    ::strncasecmp(key.data(), name.data(), key.size()) == 0
                              : key == name;
    if (same) values.push_back(value);
  }
  return values;
}

std::optional<std::string> firstOf(const std::vector<std::string>& values) {
  return values.empty() ? std::nullopt : std::optional<std::string>(values[0]);
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  return firstOf(valuesOf(headers, name, true));
}
std::size_t RecordedRequest::headerCount(std::string_view name) const {
  return valuesOf(headers, name, true).size();
}
std::optional<std::string> RecordedRequest::field(std::string_view name) const {
  return firstOf(valuesOf(fields, name, false));
}
std::size_t RecordedRequest::fieldCount(std::string_view name) const {
  return valuesOf(fields, name, false).size();
}

struct LoopbackServer::Impl {
  struct Server : httplib::Server {
    int listeningSocket() const { return svr_sock_; }
  };
  // cpp-httplib hands each accepted connection to its task queue once: that is where they
  // are counted.
  struct Pool : httplib::ThreadPool {
    explicit Pool(Impl& owner) : httplib::ThreadPool(80), owner(owner) {}
    void enqueue(std::function<void()> connection) override {
      {
        std::lock_guard<std::mutex> lock(owner.mutex);
        ++owner.connections;
      }
      httplib::ThreadPool::enqueue(std::move(connection));
    }
    Impl& owner;
  };

  void handle(const httplib::Request& req, httplib::Response& res, std::string body,
              const httplib::Params& fields) {
    RecordedRequest recorded{req.method, req.target, {}, std::move(body), {}};
    httplib::Headers headers = req.headers;
    // cpp-httplib adds the addresses of both ends after the client's own headers.
    for (const char* added : {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"}) {
      const auto [begin, end] = headers.equal_range(added);
      if (begin != end) headers.erase(std::prev(end));
    }
    recorded.headers.assign(headers.begin(), headers.end());
    recorded.fields.assign(fields.begin(), fields.end());
    Handler replyFor;
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(recorded);
      replyFor = handler;
    }
    changed.notify_all();
    const Reply reply = replyFor(recorded);
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait_for(lock, reply.delay, [this] { return stopping; });
    }
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.set_header(name, value);
    res.set_content(reply.body, reply.contentType);
  }

  Server server;
  std::thread listener;
  int port = 0;
  mutable std::mutex mutex;  // guards everything below
  mutable std::condition_variable changed;
  bool stopping = false;
  Handler handler = [](const RecordedRequest&) { return Reply{200, R"({"ok":true})"}; };
  std::vector<RecordedRequest> requests;
  std::size_t connections = 0;
};

LoopbackServer::LoopbackServer() : impl_(std::make_unique<Impl>()) {}

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::start() {
  Impl& impl = *impl_;
  if (impl.port != 0) return false;
  impl.server.new_task_queue = [&impl] { return new Impl::Pool(impl); };
  impl.server.set_keep_alive_max_count(1000000).set_keep_alive_timeout(1).set_tcp_nodelay(true);
  impl.server.set_socket_options([](int fd) {
    const int on = 1;  // and no SO_REUSEPORT, which cpp-httplib would set
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  const auto plain = [&impl](const httplib::Request& req, httplib::Response& res) {
    impl.handle(req, res, req.body, req.params);  // cpp-httplib parsed a form body into params
  };
  const auto reading = [&impl](const httplib::Request& req, httplib::Response& res,
                               const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, std::size_t size) {
      body.append(data, size);
      return true;
    });
    httplib::Params fields = req.params;  // the query string
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0) {
      httplib::detail::parse_query_text(body, fields);
    }
    impl.handle(req, res, std::move(body), fields);
  };
  const std::string any = ".*";
  impl.server.Get(any, plain).Options(any, plain);
  impl.server.Post(any, reading).Put(any, reading).Patch(any, reading).Delete(any, reading);

  impl.port = impl.server.bind_to_any_port("127.0.0.1");
  if (impl.port <= 0) return false;
  // cpp-httplib listens with a backlog of 5: a burst of connections would overflow it, and
  // each dropped SYN costs the client a second. Listening again raises it.
  ::listen(impl.server.listeningSocket(), SOMAXCONN);
  impl.listener = std::thread([&impl] { impl.server.listen_after_bind(); });
  // stop() has no effect until the accept loop runs.
  for (int i = 0; i < 5000 && !impl.server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return impl.server.is_running();
}

void LoopbackServer::stop() {
  Impl& impl = *impl_;
  if (!impl.listener.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.stopping = true;
  }
  impl.changed.notify_all();
  impl.server.stop();
  impl.listener.join();
}

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
  return impl_->connections;
}

void LoopbackServer::clear() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->requests.clear();
  impl_->connections = 0;
}

}  // namespace tavrello::testing
