// RecordingServer: an HTTP/1.1 server (cpp-httplib) on 127.0.0.1 that records every request
// and answers each as the test says: a status, a body, headers, after a delay, or not until
// the test releases it.
//
//   RecordingServer server;                    // 200 {"ok":true} to everything
//   server.answer({404, "gone"});
//   api.setServiceHost(server.host());         // "127.0.0.1:PORT"
//   ... send ...
//   EXPECT_EQ(server.received().at(0).field("member_key"), "m-1");
//
// stop() (also the destructor) answers every held request, closes the listening socket and
// joins every thread, which takes up to the second that an idle connection is kept; the
// port then refuses connections. All members but stop() may be called from any thread;
// answers are computed on the server's worker threads.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrello::testing {

struct Answer {
  int status = 200;
  std::string body = R"({"ok":true})";
  std::chrono::milliseconds delay{0};  // before the status line; cut short by release()
  httplib::Headers headers{};

  // Recorded on arrival, answered only when the test calls release() or stop().
  static Answer held() { return {200, "{}", std::chrono::hours(1)}; }
};

// One request as received.
struct Received {
  std::string method;
  std::string target;        // as sent: "/path", or "http://host/path" through a proxy
  httplib::Headers headers;  // lookups ignore letter case
  std::string body;
  int peerPort = 0;  // one per connection
  // The body's fields as the sandbox service parses them, in order.
  std::vector<std::pair<std::string, std::string>> fields() const;
  std::string field(const std::string& name) const;  // first value, "<absent>" if none
};

class RecordingServer {
 public:
  explicit RecordingServer(Answer answer = {});
  ~RecordingServer();
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  std::string host() const;  // "127.0.0.1:PORT"
  void answer(Answer answer);
  void answer(std::function<Answer(const Received&)> answerFor);
  std::vector<Received> received() const;
  bool waitFor(std::size_t requests, std::chrono::milliseconds timeout) const;
  void release();  // answers every request waiting for its delay, now and from now on
  void stop();

 private:
  void serve(const httplib::Request& request, httplib::Response& response, std::string body);

  httplib::Server server_;
  std::thread listener_;
  int port_ = 0;
  mutable std::mutex mutex_;  // guards what follows
  mutable std::condition_variable changed_;
  bool released_ = false;
  std::function<Answer(const Received&)> answerFor_;
  std::vector<Received> received_;
};

}  // namespace tavrello::testing
