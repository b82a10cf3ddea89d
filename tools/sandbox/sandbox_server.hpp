// What a Sandbox holds: the service, the HTTP (or HTTPS) server in front of it with its
// listening thread, and what the server's threads share: the requests received, the faults
// queued and the requests they hold.
//
// Thread safety: start() runs before any other member; answer() runs on the server's
// threads; stop() may run on any thread, any number of times.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>
#include <tavrello/sandbox.hpp>

#include "fault_queue.hpp"
#include "holds.hpp"
#include "request_log.hpp"
#include "sandbox_service.hpp"

namespace tavrello::sandbox {

struct Sandbox::Impl {
  std::unique_ptr<SandboxService> service;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;
  std::mutex stopping;               // held by stop(): the second of two waits for the first
  std::atomic<bool> serving{false};  // the listener runs and stop() has not begun
  std::string error;
  std::string host;
  sockaddr_in local{};  // the listening address
  RequestLog log;
  FaultQueue faults;
  Holds holds;

  // Sets `error` when it cannot serve.
  void start(Options options);
  void handleAll();  // routes every request to answer(), and httplib's refusals to the log
  void answer(const httplib::Request& req, httplib::Response& res, const std::string& body);
  void stop();
};

}  // namespace tavrello::sandbox
