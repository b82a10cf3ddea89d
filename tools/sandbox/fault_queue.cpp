#include "fault_queue.hpp"

#include <utility>

#include "sandbox_options.hpp"

namespace tavrello::sandbox {

bool FaultQueue::inject(Fault fault) {
  if (!faultProblem(fault).empty()) return false;
  const std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(std::move(fault));
  return true;
}

void FaultQueue::clear() {
  const std::lock_guard<std::mutex> lock(mutex_);
  faults_.clear();
}

std::optional<Fault> FaultQueue::take(std::string_view operation) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto fault = faults_.begin(); fault != faults_.end(); ++fault) {
    if (!fault->operation.empty() && fault->operation != operation) continue;
    Fault taken = *fault;
    if (--fault->count == 0) faults_.erase(fault);
    return taken;
  }
  return std::nullopt;
}

}  // namespace tavrello::sandbox
