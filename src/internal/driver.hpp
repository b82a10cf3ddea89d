// The multi handle and every request on it.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "internal/descriptors.hpp"
#include "internal/spares.hpp"
#include "internal/transfer.hpp"

namespace tavrello::internal {

/// The requests submitted, those waiting for one of the 64 slots, the active ones on the
/// multi handle, and a pool of easy handles. One thread at a time drives it: the library's
/// own, or an application thread while it waits for results (see Transport). Only submit()
/// and wake() may be called from any thread.
class Driver {
 public:
  Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  /// Makes the multi handle and the wakeup descriptor, once; returns why it could not, or
  /// nullptr. Nothing may drive before it succeeded.
  const char* open();

  /// Any thread: the request joins the next round, and the driving thread is woken.
  void submit(std::unique_ptr<Transfer> transfer);
  /// The driving thread: the same, with no lock and no wakeup, in a spare Transfer.
  void submitFromDriver(Post&& post, Clock::time_point deadline) {
    pending_.push_back(spares_.transfer(std::move(post), deadline));
  }
  /// The driving thread's.
  Spares& spares() { return spares_; }
  /// Any thread, once open: a round waiting for activity returns.
  void wake() const;

  /// The driving thread: starts what waits, lets libcurl work and, when nothing ended,
  /// waits for activity, a wakeup or `until`. Appends what ended to `ended`.
  void round(Clock::time_point until, std::vector<Ended>& ended);

  /// Around fork(): the record of connections stays whole; in the child the parent's
  /// connections and wakeup are closed, with nothing sent on them.
  void lockSockets() { connections_.lock(); }
  void unlockSockets() { connections_.unlock(); }
  void closeInChild();

 private:
  struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
  };
  struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
  };
  struct ShareCleanup {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
  };

  void takeSubmitted();
  void startWaiting(std::vector<Ended>& ended);
  void perform(std::vector<Ended>& ended);
  void finish(CURL* handle, CURLcode code, std::vector<Ended>& ended);
  void release(std::size_t index, CURLcode code, std::vector<Ended>& ended);
  void expireActive(std::vector<Ended>& ended);
  void wait(Clock::time_point until);

  long maxIdleFor(const Transfer& transfer) const;

  std::unique_ptr<CURLM, MultiCleanup> multi_;
  std::unique_ptr<curl_slist, SlistFree> headers_;
  std::unique_ptr<CURLSH, ShareCleanup> share_;
  HandleDefaults defaults_;
  int wakeFd_ = -1;  // an eventfd, never closed but in a child; -1: libcurl's own wakeup

  std::mutex submittedMutex_;
  std::vector<std::unique_ptr<Transfer>> submitted_;  // guarded by submittedMutex_
  bool wakePending_ = false;  // guarded by submittedMutex_: the wakeup written is not yet read
  std::atomic<bool> anySubmitted_{false};

  // The driving thread's, whichever it is.
  std::vector<std::unique_ptr<Transfer>> pending_;
  Spares spares_;
  std::deque<std::unique_ptr<Transfer>> waiting_;
  std::vector<std::unique_ptr<Transfer>> active_;
  Clock::time_point nextDeadline_ = Clock::time_point::max();  // of the active ones
  std::vector<HandlePtr> idle_;
  // The destination whose server last announced how long it keeps idle connections, and
  // that figure.
  std::shared_ptr<const Destination> announcedBy_;
  long announcedKeepAlive_ = -1;

  Connections connections_;
};

}  // namespace tavrello::internal
