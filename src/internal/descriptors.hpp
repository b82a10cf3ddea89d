// The library's own descriptors, which a program started with exec must not inherit and a
// child made by fork() must not keep.
#pragma once

#include <curl/curl.h>

#include <mutex>
#include <vector>

namespace tavrello::internal {

/// How a driver hears of every socket libcurl opens and closes for its connections.
struct SocketHooks {
  curl_opensocket_callback open;
  curl_closesocket_callback close;
  void* owner;
};

/// Every connection's socket: made close-on-exec, and recorded. Its hooks go on every easy
/// handle; the socket callbacks run on the driving thread.
class Connections {
 public:
  SocketHooks hooks() { return {open, close, this}; }

  /// Around fork(): the record stays whole. In the child, closeInChild() closes every
  /// descriptor recorded with nothing sent on them (the parent still holds them open, so
  /// neither a TCP stream nor a TLS session ends), and unlocks.
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  void closeInChild();

 private:
  static curl_socket_t open(void* connections, curlsocktype, curl_sockaddr* address);
  static int close(void* connections, curl_socket_t fd);

  std::mutex mutex_;
  std::vector<int> fds_;  // guarded by mutex_
};

/// The most connections this process had open at once, for the library's own tests.
std::size_t peakConnectionsForTesting();

/// curl_multi_init(), with the multi handle's own wakeup socket pair, which libcurl makes
/// without close-on-exec, made close-on-exec. Null when libcurl could not make one.
CURLM* newMultiHandle();

}  // namespace tavrello::internal
