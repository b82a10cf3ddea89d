#include "internal/descriptors.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace tavrello::internal {
namespace {

std::atomic<std::size_t> gPeakConnections{0};

// The AF_UNIX sockets open in this process.
std::vector<int> unixSockets() {
  std::vector<int> sockets;
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) return sockets;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): a stream of its own, as glibc's readdir needs
  while (const dirent* entry = readdir(directory)) {
    const int fd = std::atoi(entry->d_name);
    int domain = 0;
    socklen_t length = sizeof domain;
    if (fd != dirfd(directory) && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
        domain == AF_UNIX) {
      sockets.push_back(fd);
    }
  }
  closedir(directory);
  return sockets;
}

}  // namespace

CURLM* newMultiHandle() {
  const std::vector<int> before = unixSockets();
  CURLM* multi = curl_multi_init();
  // The pair is the two AF_UNIX sockets that appeared; anything else is left alone.
  if (const std::vector<int> after = unixSockets(); after.size() == before.size() + 2) {
    for (const int fd : after) {
      if (std::find(before.begin(), before.end(), fd) == before.end()) {
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
      }
    }
  }
  return multi;
}

curl_socket_t Connections::open(void* connections, curlsocktype, curl_sockaddr* address) {
  const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd >= 0) {
    auto* self = static_cast<Connections*>(connections);
    std::lock_guard guard(self->mutex_);
    self->fds_.push_back(fd);
    if (self->fds_.size() > gPeakConnections.load(std::memory_order_relaxed)) {
      gPeakConnections.store(self->fds_.size(), std::memory_order_relaxed);
    }
  }
  return fd;
}

std::size_t peakConnectionsForTesting() { return gPeakConnections.load(); }

int Connections::close(void* connections, curl_socket_t fd) {
  auto* self = static_cast<Connections*>(connections);
  {
    std::lock_guard guard(self->mutex_);
    const auto at = std::find(self->fds_.begin(), self->fds_.end(), fd);
    if (at != self->fds_.end()) {
      *at = self->fds_.back();
      self->fds_.pop_back();
    }
  }
  return ::close(fd);
}

void Connections::closeInChild() {
  for (const int fd : fds_) ::close(fd);
  fds_.clear();
  mutex_.unlock();  // taken before the fork
}

}  // namespace tavrello::internal
