// RawServer: a loopback server that answers requests with bytes the test writes itself
// (replies no HTTP library would send: cut mid-header or mid-body, with trailers, larger
// than any cap), or reads a request and drops the connection unanswered, as a crashing
// server does. It counts the requests it read.
//
//   RawServer cut("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", "short");
//   RawServer huge(head, std::string(1 << 20, 'x'), 65);  // the head, then 65 MiB
//   huge.script({RawServer::kAnswerAndKeep, RawServer::kReset});  // then every one reset
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrello::testing {

class RawServer {
 public:
  // What becomes of a request once read.
  enum Then {
    kAnswerAndClose,   // the reply, then the connection closes
    kAnswerAndKeep,    // the reply, and the connection waits for the next request
    kCloseUnanswered,  // closed (FIN) with nothing sent
    kResetUnanswered,  // reset (RST) with nothing sent
    kResetInTheHead,   // half the head, then reset
  };

  // Answers with `head`, then `piece` `repeat` times, then `tail`.
  explicit RawServer(std::string head, std::string piece = "", std::size_t repeat = 1,
                     std::string tail = "")
      : head_(std::move(head)),
        piece_(std::move(piece)),
        tail_(std::move(tail)),
        repeat_(repeat),
        fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_, SOMAXCONN);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (int connection; (connection = ::accept(fd_, nullptr, nullptr)) >= 0;) {
        std::lock_guard lock(mutex_);
        open_.push_back(connection);
        threads_.emplace_back([this, connection] { serve(connection); });
      }
    });
  }
  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);
    acceptor_.join();
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      read_.notify_all();
      for (const int connection : open_) ::shutdown(connection, SHUT_RDWR);
    }
    for (std::thread& thread : threads_) thread.join();
    ::close(fd_);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  // The n-th request read (from 0) takes steps[n], the last step repeating; before the first
  // request.
  void script(std::vector<Then> steps) { steps_ = std::move(steps); }

  // Replies wait until `count` requests were read in all, so that many are in flight at once,
  // each on a connection of its own.
  void answerOnceRead(std::size_t count) { answerOnceRead_ = count; }

  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::size_t requests() const { return requests_; }
  std::size_t connections() {
    std::lock_guard lock(mutex_);
    return threads_.size();
  }

 private:
  void serve(int connection) {
    for (bool open = true; open && readRequest(connection);) {
      const std::size_t n = requests_++;
      {
        std::unique_lock lock(mutex_);
        read_.notify_all();
        read_.wait(lock, [this] { return requests_ >= answerOnceRead_ || stopping_; });
      }
      const Then then = steps_.empty() ? kAnswerAndClose : steps_[std::min(n, steps_.size() - 1)];
      if (then == kResetUnanswered || then == kResetInTheHead) {
        const linger now{1, 0};  // closing then sends a reset
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &now, sizeof now);
      }
      // Linux hands the client what came before a reset first.
      if (then == kResetInTheHead) send(connection, head_.substr(0, head_.size() / 2));
      open = then == kAnswerAndClose || then == kAnswerAndKeep;
      open = open && send(connection, head_);
      for (std::size_t i = 0; i < repeat_ && open; ++i) open = send(connection, piece_);
      open = open && send(connection, tail_) && then == kAnswerAndKeep;
    }
    std::lock_guard lock(mutex_);
    open_.erase(std::find(open_.begin(), open_.end(), connection));
    ::close(connection);
  }

  // The whole request: unread bytes would turn the close into a reset. False when the
  // connection ended first.
  static bool readRequest(int connection) {
    std::string request;
    char buffer[4096];
    for (ssize_t n; (n = ::read(connection, buffer, sizeof buffer)) > 0;) {
      request.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = request.find("\r\n\r\n"), length = request.find("Length: ");
      if (end != std::string::npos && length != std::string::npos &&
          request.size() >= end + 4 + std::stoul(request.substr(length + 8))) {
        return true;
      }
    }
    return false;
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

  const std::string head_, piece_, tail_;
  const std::size_t repeat_;
  std::vector<Then> steps_;
  int fd_;
  int port_ = 0;
  std::atomic<std::size_t> requests_{0};
  std::atomic<std::size_t> answerOnceRead_{0};
  std::mutex mutex_;  // guards what follows
  std::condition_variable read_;
  bool stopping_ = false;
  std::vector<int> open_;  // connections not yet closed
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace tavrello::testing
