// The faults injected and not used up yet, in the order injected, and which one answers a
// request.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string_view>

#include <tavrello/sandbox.hpp>

namespace tavrello::sandbox {

class FaultQueue {
 public:
  // Queues `fault`; false, and nothing queued, when faultProblem() finds one.
  bool inject(Fault fault);
  void clear();
  // The first queued fault that applies to a request of `operation` ("" for none of the
  // client's), with one of its count used up.
  std::optional<Fault> take(std::string_view operation);

 private:
  std::mutex mutex_;  // guards what follows
  std::deque<Fault> faults_;
};

}  // namespace tavrello::sandbox
