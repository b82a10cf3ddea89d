// Library-internal access to MainQueue.
#pragma once

#include <memory>
#include <vector>

#include <tavrello/tavrello_result.hpp>
#include <tavrello/types.hpp>

namespace tavrello::internal {

/// A request's handler and its result. The queue keeps the two as they are, rather than
/// in a task of their own (which would cost an allocation per result), and calls the
/// handler with the result when its turn comes.
struct Completion {
  CompletionHandler handler;
  std::shared_ptr<TavrelloResult> result;
};

/// Posts every completion of `completions` to MainQueue::shared() in order, taking the
/// queue's lock and waking a waiting drainer once for the whole batch. Leaves
/// `completions` empty.
void postCompletionsToMainQueue(std::vector<Completion>& completions);

}  // namespace tavrello::internal
