// Library-internal access to MainQueue.
#pragma once

#include <functional>
#include <vector>

namespace tavrello::internal {

/// Posts every task of `tasks` to MainQueue::shared() in order, taking the
/// queue's lock and waking a waiting drainer once for the whole batch.
/// Leaves `tasks` empty.
void postBatchToMainQueue(std::vector<std::function<void()>>& tasks);

}  // namespace tavrello::internal
