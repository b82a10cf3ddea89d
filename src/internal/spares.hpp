// What requests that ended leave for the next ones, on the thread that drives the transfers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <tavrello/tavrello_result.hpp>

#include "internal/transfer.hpp"

namespace tavrello::internal {

/// The Transfers, body strings and results of requests that ended, kept so that a request
/// made on the driving thread (by a handler, most often), and its result, allocate nothing
/// of their own: at most kMaxSpares of each, none holding more than a few KiB, so a burst
/// leaves nothing large behind. Only the thread that drives the transfers uses them (see
/// sparesOfThisThread()); a result whose last owner lets go on any other thread is deleted.
class Spares {
 public:
  static constexpr std::size_t kMaxSpares = 64;

  Spares();
  Spares(const Spares&) = delete;
  Spares& operator=(const Spares&) = delete;

  /// A Transfer for `post`, in one that ended if one is kept, its reply buffer kept too.
  std::unique_ptr<Transfer> transfer(Post&& post, Clock::time_point deadline);
  void keep(std::unique_ptr<Transfer> transfer);

  /// An empty string, with the capacity of an ended request's body if one is kept.
  std::string body();
  void keepBody(std::string&& body);

  /// The result of a whole 2xx reply: TavrelloResult(Bytes) holding what `reply` held,
  /// result "ok", httpStatus `status`. `reply` is left empty, with the capacity of an ended
  /// result's bytes when one is kept. When its last owner lets go on the driving thread, the
  /// result and its bytes' storage are kept here for the next one (every other field set
  /// back as this makes it), else deleted; nobody can tell, as nobody holds it any more.
  std::shared_ptr<TavrelloResult> okResult(Bytes& reply, int status);

 private:
  struct Recycle;
  template <class T>
  struct BlockAllocator;

  void keep(TavrelloResult* result);
  void* block(std::size_t size);
  void keepBlock(void* block, std::size_t size);

  std::vector<std::unique_ptr<Transfer>> transfers_;
  std::vector<std::string> bodies_;
  std::vector<std::unique_ptr<TavrelloResult>> results_;
  // The storage of shared_ptr's record of each result (its counts, deleter and allocator),
  // all of one size.
  std::vector<void*> blocks_;
  std::size_t blockSize_ = 0;
};

/// The spares of the driver that the calling thread drives now, or null when it drives none.
Spares* sparesOfThisThread();

}  // namespace tavrello::internal
