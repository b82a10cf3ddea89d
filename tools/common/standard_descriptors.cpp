#include "standard_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tavrello::tools {

void reserveStandardDescriptors() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    // open() takes the lowest free number, which is `fd` once those below it are open.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDONLY);
  }
}

}  // namespace tavrello::tools
