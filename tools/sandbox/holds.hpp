// The delays that faults put on requests, and what ends them early: releaseDelayed(), the
// sandbox's stop, or the client going away.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tavrello::sandbox {

class Holds {
 public:
  Holds() = default;
  Holds(const Holds&) = delete;
  Holds& operator=(const Holds&) = delete;

  // Taken when a request arrives, before anyone can see it: a releaseAll() after this
  // releases the request, even if its hold has not begun.
  std::uint64_t arrival() const;
  // Waits `delay` (one of a hundred years or more has no end) unless releaseAll() comes after
  // `arrival`, endAll() comes, or the client closes its end of `connection` (-1: none
  // watched; the descriptor stays the caller's).
  void hold(std::chrono::milliseconds delay, std::uint64_t arrival, int connection);
  // Ends every hold of a request that has arrived.
  void releaseAll();
  // Ends every hold, and every later one at once.
  void endAll();

 private:
  bool over(std::uint64_t arrival) const;  // the caller holds mutex_
  void wakeAll();                          // the caller holds mutex_

  mutable std::mutex mutex_;  // guards what follows
  std::uint64_t releases_ = 0;
  bool ended_ = false;
  std::vector<int> wakers_;  // an eventfd for each hold in progress
};

}  // namespace tavrello::sandbox
