// Sandbox: the sandbox service behind an HTTP (or HTTPS) front end on a loopback port.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>
#include <tavrello/sandbox.hpp>

#include "connections.hpp"
#include "holds.hpp"
#include "sandbox_options.hpp"
#include "sandbox_service.hpp"
#include "sandbox_wire.hpp"
#include "worker_pool.hpp"

namespace tavrello::sandbox {
namespace {

// Larger bodies get httplib's 413; the handler itself copes with any size below this.
constexpr std::size_t kMaxBodyBytes = 8 * 1024 * 1024;

sockaddr_in socketAddress(const ListenAddress& address) {
  sockaddr_in socket{};
  socket.sin_family = AF_INET;
  socket.sin_port = htons(static_cast<std::uint16_t>(address.port));
  inet_pton(AF_INET, address.host.c_str(), &socket.sin_addr);
  return socket;
}

// Writes the reply, or with `cutAfter` its status line, its headers (with the Content-Length
// of the whole body) and that many bytes of its body, and then closes the connection.
void writeReply(const Reply& reply, httplib::Response& res,
                std::optional<std::size_t> cutAfter = std::nullopt) {
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  if (!cutAfter) {
    res.set_content(reply.body, "application/json");
    return;
  }
  const auto body = std::make_shared<const std::string>(reply.body);
  res.set_content_provider(
      body->size(), "application/json",
      [body, cut = *cutAfter](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset >= cut) return false;  // httplib then closes the connection
        sink.write(body->data() + offset, std::min(length, cut - offset));
        return true;
      });
}

// What makes a fault one that cannot be injected; empty for one that can.
std::string faultProblem(const Fault& fault) {
  if (!fault.operation.empty() && !SandboxService::isOperation(fault.operation)) {
    return "\"" + fault.operation + "\" is not an operation of the client";
  }
  if (fault.status != 0 && (fault.status < 200 || fault.status > 599)) {
    return "the status is not 0 or 200 to 599";
  }
  return fault.count == 0 ? "the count is 0" : "";
}

// Why `address` cannot be listened on, in the system's words ("address already in use"):
// httplib does not tell, so a socket of this function's own tries the same.
std::string listenProblem(const ListenAddress& address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const sockaddr_in where = socketAddress(address);
  const bool failed =
      bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || listen(fd, 1) != 0;
  const int problem = errno;
  close(fd);
  if (!failed) return "";
  std::string words = std::strerror(problem);
  if (!words.empty()) words[0] = static_cast<char>(std::tolower(words[0]));
  return ": " + words;
}

}  // namespace

std::optional<ListenAddress> parseListen(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host == "localhost") address.host = "127.0.0.1";
  in_addr ipv4{};
  if (inet_pton(AF_INET, address.host.c_str(), &ipv4) != 1) return std::nullopt;
  if ((ntohl(ipv4.s_addr) >> 24) != 127) return std::nullopt;
  const std::string portText = text.substr(colon + 1);
  const char* begin = portText.data();
  const char* end = begin + portText.size();
  const auto [parsed, ec] = std::from_chars(begin, end, address.port);
  if (portText.empty() || ec != std::errc() || parsed != end || address.port < 0 ||
      address.port > 65535) {
    return std::nullopt;
  }
  return address;
}

std::optional<Fault> parseFault(std::string_view text, std::string& error) {
  Fault fault;
  while (!text.empty()) {
    if (text.rfind("body=", 0) == 0) {  // the rest of the text, commas and all
      fault.body = std::string(text.substr(5));
      break;
    }
    const std::size_t comma = std::min(text.find(','), text.size());
    const std::string_view piece = text.substr(0, comma);
    text.remove_prefix(std::min(comma + 1, text.size()));
    const std::size_t equals = std::min(piece.find('='), piece.size());
    const std::string_view key = piece.substr(0, equals);
    const std::string_view value = piece.substr(std::min(equals + 1, piece.size()));
    std::uint64_t number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    const bool numeric = !value.empty() && ec == std::errc() && end == value.data() + value.size();
    if (key == "op") {
      fault.operation = std::string(value);
    } else if (key == "status" && numeric) {
      fault.status = static_cast<int>(std::min<std::uint64_t>(number, 1000));
    } else if (key == "count" && numeric) {
      fault.count = number;
    } else if (key == "delay" && numeric) {
      fault.delay = std::chrono::milliseconds(number);
    } else if (key == "cut" && numeric) {
      fault.cutAfterBytes = number;
    } else {
      error = "\"" + std::string(piece) +
              "\" is not op=OPERATION, status=N, count=N, delay=MS, cut=BYTES or body=TEXT";
      return std::nullopt;
    }
  }
  error = faultProblem(fault);
  if (!error.empty()) return std::nullopt;
  return fault;
}

struct Sandbox::Impl {
  std::unique_ptr<SandboxService> service;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  std::mutex stopping;               // held by stop(): the second of two waits for the first
  std::atomic<bool> serving{false};  // the listener runs and stop() has not begun
  std::string error;
  std::string host;
  sockaddr_in local{};  // the listening address
  std::function<void(const std::string&)> log;
  std::mutex logMutex;
  bool keepRequests = false;
  std::mutex requestMutex;  // guards what follows
  std::condition_variable arrived;
  std::vector<Request> requests;
  std::mutex faultMutex;     // guards what follows
  std::deque<Fault> faults;  // in the order injected
  Holds holds;

  // The first queued fault that applies to the request, with one of its count used up.
  std::optional<Fault> takeFault(const httplib::Request& req, const std::string& body) {
    const std::lock_guard<std::mutex> lock(faultMutex);
    std::optional<std::string_view> operation;  // worked out only when a fault names one
    for (auto fault = faults.begin(); fault != faults.end(); ++fault) {
      if (!fault->operation.empty()) {
        if (!operation) operation = SandboxService::operationOf(req.path, body);
        if (*operation != fault->operation) continue;
      }
      Fault taken = *fault;
      if (--fault->count == 0) faults.erase(fault);
      return taken;
    }
    return std::nullopt;
  }

  void keep(const httplib::Request& req, const std::string& body) {
    Request kept{std::string(SandboxService::operationOf(req.path, body)),
                 req.method,
                 req.target,
                 {},
                 body,
                 parseForm(body),
                 req.remote_port};
    for (const auto& [name, value] : req.headers) {
      // httplib adds both ends' addresses to the headers the client sent.
      if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
          name != "LOCAL_PORT") {
        kept.headers.emplace_back(name, value);
      }
    }
    const std::lock_guard<std::mutex> lock(requestMutex);
    requests.push_back(std::move(kept));
    arrived.notify_all();
  }

  void answer(const httplib::Request& req, httplib::Response& res, const std::string& body) {
    // Both are settled before the request is kept, where a test can see it: a test that saw
    // it arrive and then released the delays finds it released, even if its delay has not
    // begun; one that then injects or clears faults changes the next request's, not this one's.
    const std::uint64_t arrival = holds.arrival();
    const std::optional<Fault> fault = takeFault(req, body);
    if (keepRequests) keep(req, body);
    if (fault && fault->delay.count() > 0) {
      const int connection =
          duplicateConnection(local, socketAddress({req.remote_addr, req.remote_port}));
      holds.hold(fault->delay, arrival, connection);
      if (connection >= 0) close(connection);
    }
    Reply reply;
    if (fault && fault->status != 0) {
      reply.status = fault->status;
      reply.body = fault->body;
      reply.outcome = "injected";
    } else {
      reply = service->handle(req.method, req.path, req.get_header_value("Content-Type"), body);
    }
    writeReply(reply, res, fault ? fault->cutAfterBytes : std::nullopt);
    record(req, reply);
  }
  void record(const httplib::Request& req, const Reply& reply) {
    if (!log) return;
    const std::lock_guard<std::mutex> lock(logMutex);
    log(logLine(req.method, req.path, reply));
  }
  void start(Options options);
};

void Sandbox::Impl::start(Options options) {
  const std::optional<ListenAddress> address = parseListen(options.listen);
  if (!address) {
    error = "listen wants a loopback HOST:PORT such as 127.0.0.1:8787";
    return;
  }
  if (options.members < 1 || options.members > kMaxMembers || options.clock < 0 ||
      options.clock > kMaxClock) {
    error = "members must be from 1 to 10000 and clock from 0 to 253402300799";
    return;
  }
  const bool tls = !options.tlsCertFile.empty() || !options.tlsKeyFile.empty();
  if (tls) {
    auto secure = std::make_unique<httplib::SSLServer>(options.tlsCertFile.c_str(),
                                                       options.tlsKeyFile.c_str());
    if (!secure->is_valid()) {
      error = "cannot serve HTTPS with that certificate and key file";
      return;
    }
    server = std::move(secure);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  log = std::move(options.log);
  keepRequests = options.keepRequests;
  service = std::make_unique<SandboxService>(std::move(options));

  server->set_payload_max_length(kMaxBodyBytes);
  server->new_task_queue = [] { return new WorkerPool; };
  server->set_keep_alive_max_count(100000);
  server->set_keep_alive_timeout(1);
  server->set_tcp_nodelay(true);  // headers and body go out in two writes: no Nagle delay
  // httplib's default also sets SO_REUSEPORT, which would let a second sandbox bind the same
  // port and share its connections; SO_REUSEADDR alone only allows rebinding after a restart.
  // httplib waits for every request, the first included, as long as for the next one on an
  // idle connection (1 s), and then closes without a reply: a client that a busy machine
  // holds up between connecting and sending would get none. The kernel hands a connection
  // over only once its first bytes came (or after a minute), so that wait begins with them.
  socket_t listening = INVALID_SOCKET;
  server->set_socket_options([&listening](socket_t sock) {
    const int yes = 1, deferSeconds = 60;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
    listening = sock;
  });
  const auto plain = [this](const httplib::Request& req, httplib::Response& res) {
    answer(req, res, req.body);
  };
  // Bodies are read through a content reader, bounded by the payload limit above: httplib
  // would otherwise refuse any form body over 8 KiB with a bare 413, and a long value is for
  // the service to judge (a group name that is too long gets its own refusal). A body over
  // the limit, or one that never came whole, is httplib's to refuse (413, 400).
  const auto reading = [this](const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader& reader) {
    std::string body;
    if (reader([&body](const char* data, std::size_t length) {
          body.append(data, length);
          return true;
        })) {
      answer(req, res, body);
    }
  };
  // Every method and path reaches the service, which answers 404 and 405 itself.
  const std::string anyPath = ".*";
  server->Get(anyPath, plain).Delete(anyPath, plain).Options(anyPath, plain);
  server->Post(anyPath, reading).Put(anyPath, reading).Patch(anyPath, reading);
  // Errors that httplib answers by itself (a malformed request, a body over the limit) get
  // the same JSON shape. httplib calls this for every status from 400 up, ours too: what the
  // service or a fault answered already has its Content-Type, and goes out as written (an
  // empty body stays empty, a cut reply stays cut).
  const httplib::Server::HandlerWithResponse onError = [this](const httplib::Request& req,
                                                              httplib::Response& res) {
    if (res.has_header("Content-Type")) return httplib::Server::HandlerResponse::Unhandled;
    Reply reply;
    reply.status = res.status;
    reply.outcome = "http_" + std::to_string(res.status);
    reply.body = R"({"result":"fail","error":{"code":")" + reply.outcome +
                 R"(","message":"the HTTP request was refused before it reached the service"}})";
    writeReply(reply, res);
    record(req, reply);
    return httplib::Server::HandlerResponse::Handled;
  };
  server->set_error_handler(onError);

  int port = address->port;
  if (port == 0) {
    port = server->bind_to_any_port(address->host);
  } else if (!server->bind_to_port(address->host, port)) {
    port = -1;
  }
  if (port <= 0) {
    error = "cannot listen on " + address->host + ":" + std::to_string(address->port) +
            listenProblem(*address);
    return;
  }
  // cpp-httplib listens with a backlog of 5: a burst of connections (a client opens up to
  // 64 at once) would overflow it, and each dropped SYN costs the client a second or more.
  // Listening again raises it.
  ::listen(listening, SOMAXCONN);
  local = socketAddress({address->host, port});
  listener = std::thread([this] { server->listen_after_bind(); });
  // stop() has no effect until the accept loop runs.
  for (int i = 0; i < 5000 && !server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  host = std::string(tls ? "https://" : "") + address->host + ":" + std::to_string(port);
  serving = true;
}

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>()) {
  try {
    impl_->start(std::move(options));
  } catch (const std::exception& e) {
    impl_->error = std::string("cannot start: ") + e.what();
  }
  if (!impl_->error.empty()) stop();
}

Sandbox::~Sandbox() { stop(); }

bool Sandbox::running() const { return impl_->serving; }

const std::string& Sandbox::error() const { return impl_->error; }

std::string Sandbox::host() const { return running() ? impl_->host : std::string(); }

std::vector<Group> Sandbox::groups() const {
  return impl_->service ? impl_->service->groups() : std::vector<Group>();
}

void Sandbox::reset() {
  if (impl_->service) impl_->service->reset();
  const std::lock_guard<std::mutex> lock(impl_->requestMutex);
  impl_->requests.clear();
}

std::vector<Request> Sandbox::requests() const {
  const std::lock_guard<std::mutex> lock(impl_->requestMutex);
  return impl_->requests;
}

bool Sandbox::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->requestMutex);
  const auto arrived = [&] { return impl_->requests.size() >= count; };
  // Adding a timeout near the duration's maximum (milliseconds::max()) to the clock would
  // overflow: such a one has no end.
  if (timeout >= std::chrono::hours(24 * 365 * 100)) {
    impl_->arrived.wait(lock, arrived);
    return true;
  }
  return impl_->arrived.wait_for(lock, timeout, arrived);
}

std::optional<std::string> Request::field(const std::string& name) const {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return std::nullopt;
}

bool Sandbox::injectFault(Fault fault) {
  if (!faultProblem(fault).empty()) return false;
  const std::lock_guard<std::mutex> lock(impl_->faultMutex);
  impl_->faults.push_back(std::move(fault));
  return true;
}

void Sandbox::clearFaults() {
  const std::lock_guard<std::mutex> lock(impl_->faultMutex);
  impl_->faults.clear();
}

void Sandbox::releaseDelayed() { impl_->holds.releaseAll(); }

void Sandbox::stop() {
  const std::lock_guard<std::mutex> lock(impl_->stopping);
  impl_->serving = false;
  impl_->holds.endAll();
  if (!impl_->listener.joinable()) return;
  impl_->server->stop();  // no connection is accepted after this
  shutDownConnections(impl_->local);
  impl_->listener.join();
}

}  // namespace tavrello::sandbox
