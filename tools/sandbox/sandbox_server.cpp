// The sandbox service behind an HTTP (or HTTPS) front end on a loopback port, and its stop.
#include "sandbox_server.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "connections.hpp"
#include "listen_address.hpp"
#include "sandbox_options.hpp"
#include "tls_files.hpp"
#include "worker_pool.hpp"

namespace tavrello::sandbox {
namespace {

// Larger bodies get httplib's 413; the handler itself copes with any size below this.
constexpr std::size_t kMaxBodyBytes = 8 * 1024 * 1024;

// Writes the reply, or with `cutAfter` its status line, its headers (with the Content-Length
// of the whole body) and that many bytes of its body, and then closes the connection.
void writeReply(const Reply& reply, httplib::Response& res, std::optional<std::size_t> cutAfter) {
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

}  // namespace

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
    const std::string problem = tlsFilesProblem(options.tlsCertFile, options.tlsKeyFile);
    std::unique_ptr<httplib::SSLServer> secure;
    if (problem.empty()) {
      secure = std::make_unique<httplib::SSLServer>(options.tlsCertFile.c_str(),
                                                    options.tlsKeyFile.c_str());
    }
    if (!secure || !secure->is_valid()) {
      error = "cannot serve HTTPS with that certificate and key file" +
              (problem.empty() ? "" : ": " + problem);
      return;
    }
    server = std::move(secure);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  log.open(options.keepRequests, std::move(options.log));
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
  handleAll();

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

// Every method and path reaches answer(), which hands the request to the service (it
// answers 404 and 405 itself) or to its fault.
void Sandbox::Impl::handleAll() {
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
  const std::string anyPath = ".*";
  server->Get(anyPath, plain).Delete(anyPath, plain).Options(anyPath, plain);
  server->Post(anyPath, reading).Put(anyPath, reading).Patch(anyPath, reading);
  // Errors that httplib answers by itself (a malformed request, a body over the limit) get
  // the same JSON shape. httplib calls this for every status from 400 up, ours too: what the
  // service or a fault answered already has its Content-Type, and goes out as written (an
  // empty body stays empty, a cut reply stays cut).
  server->set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& req,
                                                                        httplib::Response& res) {
    if (res.has_header("Content-Type")) return httplib::Server::HandlerResponse::Unhandled;
    Reply reply;
    reply.status = res.status;
    reply.outcome = "http_" + std::to_string(res.status);
    reply.body = R"({"result":"fail","error":{"code":")" + reply.outcome +
                 R"(","message":"the HTTP request was refused before it reached the service"}})";
    writeReply(reply, res, std::nullopt);
    log.record(req, reply);
    return httplib::Server::HandlerResponse::Handled;
  }));
}

void Sandbox::Impl::answer(const httplib::Request& req, httplib::Response& res,
                           const std::string& body) {
  // Both are settled before the request is kept, where a test can see it: a test that saw
  // it arrive and then released the delays finds it released, even if its delay has not
  // begun; one that then injects or clears faults changes the next request's, not this one's.
  const std::uint64_t arrival = holds.arrival();
  const std::string_view operation = SandboxService::operationOf(req.path, body);
  const std::optional<Fault> fault = faults.take(operation);
  log.keep(req, operation, body);
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
  log.record(req, reply, fault ? &*fault : nullptr);
}

void Sandbox::Impl::stop() {
  const std::lock_guard<std::mutex> lock(stopping);
  serving = false;
  holds.endAll();
  if (!listener.joinable()) return;
  server->stop();  // no connection is accepted after this
  // httplib's stop() closes only the listening socket, and its threads then finish the
  // connections they serve: one waiting for the next request on an idle keep-alive
  // connection, or reading a request that trickles in, would hold the stop up for as long as
  // the client likes. Shutting the connections down ends those waits at once.
  shutDownConnections(local);
  listener.join();
}

}  // namespace tavrello::sandbox
