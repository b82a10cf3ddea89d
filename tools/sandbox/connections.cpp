#include "connections.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tavrello::sandbox {
namespace {

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == AF_INET && a.sin_port == b.sin_port &&
         a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// Calls `use(copy, client)` with a duplicate of each connection accepted on `listening` and
// its client's address, until `use` returns true.
template <typename Use>
void forEachConnection(const sockaddr_in& listening, Use use) {
  std::vector<int> descriptors;
  if (DIR* directory = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(directory)) {
      int fd = -1;
      const std::string_view name = entry->d_name;
      if (std::from_chars(name.data(), name.data() + name.size(), fd).ec == std::errc()) {
        descriptors.push_back(fd);
      }
    }
    closedir(directory);
  }
  for (const int fd : descriptors) {
    // Its link names a socket "socket:[INODE]". Unlike fstat(), reading it does not touch the
    // descriptor, which another thread may be closing.
    char link[16] = {};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(path.c_str(), link, sizeof link - 1) < 0 || std::strncmp(link, "socket:", 7) != 0)
      continue;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) continue;
    sockaddr_in own{}, client{};
    socklen_t ownLength = sizeof own, clientLength = sizeof client;
    const bool done = getsockname(copy, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 &&
                      sameAddress(own, listening) &&
                      getpeername(copy, reinterpret_cast<sockaddr*>(&client), &clientLength) == 0 &&
                      use(copy, client);
    close(copy);
    if (done) return;
  }
}

}  // namespace

int duplicateConnection(const sockaddr_in& listening, const sockaddr_in& client) {
  int found = -1;
  forEachConnection(listening, [&](int copy, const sockaddr_in& peer) {
    if (!sameAddress(peer, client)) return false;
    found = fcntl(copy, F_DUPFD_CLOEXEC, 0);
    return true;
  });
  return found;
}

void shutDownConnections(const sockaddr_in& listening) {
  forEachConnection(listening, [](int copy, const sockaddr_in&) {
    shutdown(copy, SHUT_RDWR);
    return false;
  });
}

}  // namespace tavrello::sandbox
