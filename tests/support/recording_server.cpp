#include "support/recording_server.hpp"

#include "sandbox_wire.hpp"

namespace tavrello::testing {

std::vector<std::pair<std::string, std::string>> Received::fields() const {
  return sandbox::parseForm(body);
}

std::string Received::field(const std::string& name) const {
  for (const auto& [key, value] : fields()) {
    if (key == name) return value;
  }
  return "<absent>";
}

RecordingServer::RecordingServer(Answer answer) {
  this->answer(std::move(answer));
  // Each worker serves one keep-alive connection at a time: enough of them for the
  // library's 64 connections and then some.
  server_.new_task_queue = [] { return new httplib::ThreadPool(72); };
  server_.set_keep_alive_max_count(1000000).set_keep_alive_timeout(1).set_tcp_nodelay(true);
  int listening = -1;
  server_.set_socket_options([&listening](int fd) {
    const int on = 1;  // and not SO_REUSEPORT, which cpp-httplib would add
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    listening = fd;
  });
  server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader& reader) {
    std::string body;
    reader([&body](const char* data, std::size_t size) {
      body.append(data, size);
      return true;
    });
    serve(request, response, std::move(body));
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  // cpp-httplib listens with a backlog of 5: a burst of connections would overflow it, and
  // each dropped SYN costs the client a second. Listening again raises it.
  ::listen(listening, SOMAXCONN);
  listener_ = std::thread([this] { server_.listen_after_bind(); });
  for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

RecordingServer::~RecordingServer() { stop(); }

std::string RecordingServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

void RecordingServer::answer(Answer answer) {
  this->answer([answer = std::move(answer)](const Received&) { return answer; });
}

void RecordingServer::answer(std::function<Answer(const Received&)> answerFor) {
  std::lock_guard lock(mutex_);
  answerFor_ = std::move(answerFor);
}

std::vector<Received> RecordingServer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

bool RecordingServer::waitFor(std::size_t requests, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return received_.size() >= requests; });
}

void RecordingServer::release() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

void RecordingServer::stop() {
  if (!listener_.joinable()) return;
  release();
  server_.stop();
  listener_.join();
}

void RecordingServer::serve(const httplib::Request& request, httplib::Response& response,
                            std::string body) {
  Received received{request.method, request.target, request.headers, std::move(body),
                    request.remote_port};
  // cpp-httplib adds both ends' addresses to the headers the client sent.
  for (const char* added : {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"}) {
    received.headers.erase(added);
  }
  std::unique_lock lock(mutex_);
  received_.push_back(received);
  const Answer answer = answerFor_(received);
  changed_.notify_all();
  changed_.wait_for(lock, answer.delay, [this] { return released_; });
  lock.unlock();
  response.status = answer.status;
  for (const auto& [name, value] : answer.headers) response.set_header(name, value);
  response.set_content(answer.body, "application/json");
}

}  // namespace tavrello::testing
