#include "support/recording_server.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <memory>

namespace tavrello::testing {

// Split at "&" (empty pieces skipped) and at the first "=", "+" and %XX decoded, nothing
// trimmed or merged: how a standard form parser at the service reads the body.
std::vector<std::pair<std::string, std::string>> Received::fields() const {
  std::vector<std::pair<std::string, std::string>> fields;
  for (std::size_t start = 0, end = 0; start <= body.size(); start = end + 1) {
    end = std::min(body.find('&', start), body.size());
    const std::string piece = body.substr(start, end - start);
    if (piece.empty()) continue;
    const std::size_t equals = piece.find('=');
    const std::string value = equals == std::string::npos ? "" : piece.substr(equals + 1);
    fields.emplace_back(httplib::detail::decode_url(piece.substr(0, equals), true),
                        httplib::detail::decode_url(value, true));
  }
  return fields;
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
  server_.set_socket_options([](int fd) {
    const int on = 1;  // and not SO_REUSEPORT, which cpp-httplib would add
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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

void RecordingServer::stop() {
  if (!listener_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
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
  std::function<Answer(const Received&)> answerFor;
  {
    std::lock_guard lock(mutex_);
    received_.push_back(received);
    answerFor = answerFor_;
  }
  changed_.notify_all();
  Answer answer = answerFor(received);
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, answer.delay, [this] { return stopping_; });
  }
  response.status = answer.status;
  for (const auto& [name, value] : answer.headers) response.set_header(name, value);
  if (answer.repeat == 1 && answer.cutAfter == std::string::npos && !answer.chunked) {
    response.set_content(answer.body, "application/json");
    return;
  }
  // Written piece by piece from one copy of the body; returning false closes the
  // connection there.
  const auto piece = std::make_shared<const std::string>(std::move(answer.body));
  const std::size_t total = piece->size() * answer.repeat;
  const std::size_t limit = std::min(total, answer.cutAfter);
  const auto write = [piece, total, limit](std::size_t offset, httplib::DataSink& sink) {
    if (offset >= limit) {
      if (limit < total) return false;
      sink.done();
      return true;
    }
    const std::size_t at = offset % piece->size();
    const std::size_t length = std::min({piece->size() - at, limit - offset, std::size_t{1} << 16});
    return sink.write(piece->data() + at, length);
  };
  if (answer.chunked) {
    response.set_chunked_content_provider(
        "application/json",
        [write](std::size_t offset, httplib::DataSink& sink) { return write(offset, sink); });
  } else {
    response.set_content_provider(total, "application/json",
                                  [write](std::size_t offset, std::size_t,
                                          httplib::DataSink& sink) { return write(offset, sink); });
  }
}

}  // namespace tavrello::testing
