// A program that leaves requests in flight and ends the process, used by
// exit_integration_test. Modes: "return" (from main), "exit" (std::exit on
// the main thread), "thread-exit" (std::exit on another thread while the
// main thread drains the main queue). Handlers must never run.
#include <tavrello/tavrello.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// A listening socket nobody accepts from: connections complete in the
// kernel's backlog and requests are sent, but no reply ever comes.
int silentListener(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
  if (::listen(fd, 128) != 0) return -1;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "return";
  int port = 0;
  if (silentListener(port) < 0) return 3;
  auto& api = tavrello::TavrelloAPI::shared();
  api.setApiKey("k");
  api.setServerKey("s");
  api.setServiceHost("127.0.0.1:" + std::to_string(port));
  for (int i = 0; i < 20; ++i) {
    api.getLastData("m", [](std::shared_ptr<tavrello::TavrelloResult>) {
      std::fputs("handler ran after exit began\n", stderr);
      std::_Exit(4);
    });
  }
  // Let the I/O thread pick them up and send them.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (mode == "exit") std::exit(0);
  if (mode == "thread-exit") {
    std::thread([] { std::exit(0); }).detach();
    tavrello::MainQueue::shared().runUntil([] { return false; }, std::chrono::seconds(30));
    return 5;  // the other thread's exit should have ended the process
  }
  return 0;
}
