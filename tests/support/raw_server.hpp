// RawServer: a loopback server that answers every request with bytes the test writes itself
// (replies no HTTP library would send: cut mid-header or mid-body, with trailers, larger
// than any cap), then closes the connection. It counts the requests it read.
//
//   RawServer cut("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", "short");
//   RawServer huge(head, std::string(1 << 20, 'x'), 65);  // the head, then 65 MiB
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace tavrello::testing {

class RawServer {
 public:
  // Answers with `head`, then `piece` `repeat` times.
  explicit RawServer(std::string head, std::string piece = "", std::size_t repeat = 1)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_, SOMAXCONN);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, head = std::move(head), piece = std::move(piece), repeat] {
      for (int connection; (connection = ::accept(fd_, nullptr, nullptr)) >= 0;) {
        readRequest(connection);
        ++requests_;
        bool open = send(connection, head);
        for (std::size_t i = 0; i < repeat && open; ++i) open = send(connection, piece);
        ::close(connection);
      }
    });
  }
  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::size_t requests() const { return requests_; }

 private:
  // The whole request: unread bytes would turn the close into a reset.
  static void readRequest(int connection) {
    std::string request;
    char buffer[4096];
    for (ssize_t n; (n = ::read(connection, buffer, sizeof buffer)) > 0;) {
      request.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = request.find("\r\n\r\n"), length = request.find("Length: ");
      if (end != std::string::npos && length != std::string::npos &&
          request.size() >= end + 4 + std::stoul(request.substr(length + 8))) {
        return;
      }
    }
  }
  // False once the client has gone (it may give up on a reply over its cap).
  static bool send(int connection, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  int fd_;
  int port_ = 0;
  std::atomic<std::size_t> requests_{0};
  std::thread thread_;
};

}  // namespace tavrello::testing
