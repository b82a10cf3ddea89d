// tavrello-sandbox: the HTTP front end of the sandbox service. It parses the command line,
// seeds the service, binds a loopback address and hands every request, whatever its method
// or path, to SandboxService::handle(). SIGINT and SIGTERM stop it cleanly with exit code 0.
#include <pthread.h>
#include <signal.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <httplib.h>
#include <CLI/CLI.hpp>

#include "sandbox_service.hpp"

namespace {

using tavrello::sandbox::Config;
using tavrello::sandbox::Reply;
using tavrello::sandbox::SandboxService;

// Larger bodies get httplib's 413; the handler itself copes with any size below this.
constexpr std::size_t kMaxBodyBytes = 8 * 1024 * 1024;

struct ListenAddress {
  std::string host;
  int port = 0;
};

// Accepts "HOST:PORT" where HOST is a dotted IPv4 address in 127.0.0.0/8 or "localhost":
// the sandbox only ever listens on the loopback interface.
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

void writeReply(const Reply& reply, httplib::Response& res) {
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  res.set_content(reply.body, "application/json");
}

}  // namespace

constexpr std::size_t kWorkerThreads = 72;

int main(int argc, char** argv) {
  CLI::App app{"tavrello-sandbox: a local stand-in for the partner location service"};
  std::string listenText = "127.0.0.1:8787";
  Config config;
  std::int64_t startTime = 0;
  bool quiet = false;
  app.add_option("--listen", listenText,
                 "Loopback HOST:PORT to listen on; port 0 picks a free port")
      ->capture_default_str();
  app.add_option("--api-key", config.apiKey, "The one api_key the service accepts")
      ->capture_default_str();
  app.add_option("--server-key", config.serverKey, "The server key that signs requests")
      ->capture_default_str();
  app.add_option("--seed", config.seed, "Seed of the made-up members, tracks and groups")
      ->capture_default_str();
  app.add_option("--members", config.memberCount, "Number of seeded members")
      ->check(CLI::Range(std::size_t{1}, std::size_t{10000}))
      ->capture_default_str();
  CLI::Option* startOption = app.add_option("--start-time", startTime,
                                            "Unix time the seeded tracks end at (default: now)");
  app.add_flag("--quiet", quiet, "Do not log requests to standard error");
  CLI11_PARSE(app, argc, argv);

  const std::optional<ListenAddress> address = parseListen(listenText);
  if (!address) {
    std::cerr << "tavrello-sandbox: --listen wants a loopback HOST:PORT such as "
                 "127.0.0.1:8787, not \""
              << listenText << "\"\n";
    return 2;
  }
  config.startTime = startOption->count() > 0
                         ? startTime
                         : std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();

  // SIGINT and SIGTERM are blocked in every thread (threads started later inherit the mask)
  // and taken synchronously by the watcher thread below: no code runs in signal context, and
  // no blocked system call anywhere can swallow the stop request.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  SandboxService service(config);
  std::mutex logMutex;
  auto log = [&](const std::string& line) {
    if (quiet) return;
    const std::lock_guard<std::mutex> lock(logMutex);
    std::cerr << line << '\n' << std::flush;
  };

  httplib::Server server;
  server.set_payload_max_length(kMaxBodyBytes);
  // Each worker serves one keep-alive connection at a time, so the pool must
  // cover every connection a client keeps open (the SDK uses up to 64):
  // with fewer workers, a request on a waiting connection stalls until some
  // idle connection times out.
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server.set_keep_alive_max_count(100000);
  server.set_keep_alive_timeout(2);
  // httplib's default also sets SO_REUSEPORT, which would let a second sandbox bind the same
  // port and share its connections; SO_REUSEADDR alone only allows rebinding after a restart.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  const auto handler = [&](const httplib::Request& req, httplib::Response& res) {
    const Reply reply =
        service.handle(req.method, req.path, req.get_header_value("Content-Type"), req.body);
    writeReply(reply, res);
    log(tavrello::sandbox::logLine(req.method, req.path, reply));
  };
  // Bodies are read through a content reader, bounded by the payload limit above: httplib
  // would otherwise refuse any form body over 8 KiB with a bare 413, and a long value is for
  // the service to judge (a group name that is too long gets its own refusal).
  const auto reading = [&](const httplib::Request& req, httplib::Response& res,
                           const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, std::size_t length) {
      body.append(data, length);
      return true;
    });
    const Reply reply =
        service.handle(req.method, req.path, req.get_header_value("Content-Type"), body);
    writeReply(reply, res);
    log(tavrello::sandbox::logLine(req.method, req.path, reply));
  };
  // Every method and path reaches the core, which answers 404 and 405 itself.
  const std::string anyPath = ".*";
  server.Get(anyPath, handler);
  server.Post(anyPath, reading);
  server.Put(anyPath, reading);
  server.Delete(anyPath, handler);
  server.Patch(anyPath, reading);
  server.Options(anyPath, handler);
  // Errors that httplib answers by itself (a malformed request, a body over the limit) get
  // the same JSON shape; replies from the core already have a body and pass unchanged.
  const httplib::Server::HandlerWithResponse onError = [&](const httplib::Request& req,
                                                           httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    Reply reply;
    reply.status = res.status;
    reply.outcome = "http_" + std::to_string(res.status);
    reply.body = R"({"result":"fail","error":{"code":")" + reply.outcome +
                 R"(","message":"the HTTP request was refused before it reached the service"}})";
    writeReply(reply, res);
    log(tavrello::sandbox::logLine(req.method, req.path, reply));
    return httplib::Server::HandlerResponse::Handled;
  };
  server.set_error_handler(onError);

  int port = address->port;
  if (port == 0) {
    port = server.bind_to_any_port(address->host);
  } else if (!server.bind_to_port(address->host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::cerr << "tavrello-sandbox: cannot listen on " << listenText << "\n";
    return 1;
  }
  std::cout << "listening on " << address->host << ":" << port << "\n"
            << "api key: " << config.apiKey << "\n"
            << "server key: " << config.serverKey << "\n"
            << "members: " << service.members().size() << ", seed: " << config.seed
            << ", tracks end at: " << config.startTime << "\n"
            << std::flush;

  std::atomic<bool> listenDone{false};
  std::atomic<bool> stoppedBySignal{false};
  std::thread watcher([&] {
    const timespec tick{0, 50 * 1000 * 1000};
    while (!listenDone) {
      if (sigtimedwait(&stopSignals, nullptr, &tick) < 0) continue;  // timeout or EINTR
      stoppedBySignal = true;
      // stop() only acts on a running server: a signal that came before the accept loop
      // started waits for it, so it is never lost.
      while (!listenDone) {
        if (server.is_running()) {
          server.stop();
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  });

  const bool listened = server.listen_after_bind();
  listenDone = true;
  watcher.join();
  if (!stoppedBySignal && !listened) {
    std::cerr << "tavrello-sandbox: the server stopped unexpectedly\n";
    return 1;
  }
  return 0;
}
