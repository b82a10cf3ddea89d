#include "holds.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace tavrello::sandbox {

std::uint64_t Holds::arrival() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return releases_;
}

bool Holds::over(std::uint64_t arrival) const { return ended_ || releases_ != arrival; }

void Holds::hold(std::chrono::milliseconds delay, std::uint64_t arrival, int connection) {
  using Clock = std::chrono::steady_clock;
  // Adding a delay near the duration's maximum (milliseconds::max(), "forever") to the clock
  // would overflow: such a one has no end.
  const bool endless = delay >= std::chrono::hours(24 * 365 * 100);
  const Clock::time_point deadline = endless ? Clock::time_point::max() : Clock::now() + delay;
  const int waker = eventfd(0, EFD_CLOEXEC);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (waker >= 0) wakers_.push_back(waker);
  }
  // POLLRDHUP: the client has closed its side; POLLHUP and POLLERR come unasked. Its data is
  // not watched: a request sent after this one waits in the socket.
  pollfd watched[] = {{waker, POLLIN, 0}, {connection, POLLRDHUP, 0}};
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (over(arrival)) break;
    }
    long long timeout = -1;
    if (!endless) {
      timeout = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (timeout <= 0) break;
    }
    // Without an eventfd nothing wakes the poll: it looks again every 50 ms.
    if (waker < 0) timeout = timeout < 0 ? 50 : std::min(timeout, 50LL);
    if (poll(watched, 2, static_cast<int>(std::min(timeout, static_cast<long long>(INT_MAX)))) >
            0 &&
        watched[1].revents != 0) {
      break;  // the client has gone
    }
  }
  if (waker < 0) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    wakers_.erase(std::find(wakers_.begin(), wakers_.end(), waker));
  }
  close(waker);
}

void Holds::wakeAll() {
  const std::uint64_t one = 1;
  for (const int waker : wakers_) {
    [[maybe_unused]] const ssize_t written = write(waker, &one, sizeof one);
  }
}

void Holds::releaseAll() {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++releases_;
  wakeAll();
}

void Holds::endAll() {
  const std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  wakeAll();
}

}  // namespace tavrello::sandbox
