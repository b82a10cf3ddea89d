#include "internal/driver.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>
#include <utility>

#include "internal/failure_detail.hpp"

namespace tavrello::internal {
namespace {

// Connections (and easy handles) in use at once. Requests beyond this wait in our own
// queue, which costs only their body and handler, so a burst of thousands of calls needs
// neither thousands of sockets nor megabytes of per-transfer buffers.
constexpr std::size_t kMaxActiveTransfers = 64;

Ended expired(Transfer& transfer) {
  auto result = failureResult(noReplyWithin(transfer.timeout()));
  return {std::move(transfer.post), std::move(result)};
}

}  // namespace

Driver::Driver() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // Only one thread drives at a time, and the role passes under a lock: the share needs no
  // lock of its own.
  share_.reset(curl_share_init());
  curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_slist* list = nullptr;
  for (const char* header :
       {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json",
        // An empty value removes libcurl's own "Expect: 100-continue"
        // on larger bodies.
        "Expect:"}) {
    list = curl_slist_append(list, header);
  }
  headers_.reset(list);
  defaults_ = {headers_.get(), connections_.hooks(), share_.get(),
               curl_version_info(CURLVERSION_NOW)->cainfo};
}

// Where eventfd() is refused (a seccomp policy, an emulator, a descriptor shortage), the
// multi handle's own wakeup takes its place, at the cost of one more descriptor in every
// wait; only without either can nothing wake the driving thread.
const char* Driver::open() {
  if (!multi_) {
    multi_.reset(newMultiHandle());
    if (!multi_) return "out of descriptors";
    // No more connections open than can be in use at once: a write, which never reuses one,
    // closes the oldest idle one to make room rather than leave it beside its own.
    curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS,
                      static_cast<long>(kMaxActiveTransfers));
    // And as many kept for reuse: libcurl's default keeps four per transfer still running,
    // so the end of a burst closed all but a few, and the next burst paid for new ones.
    curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, static_cast<long>(kMaxActiveTransfers));
  }
  if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0 && curl_multi_wakeup(multi_.get()) != CURLM_OK) return "out of descriptors";
  return nullptr;
}

void Driver::submit(std::unique_ptr<Transfer> transfer) {
  bool wakeUp = false;
  {
    std::lock_guard lock(submittedMutex_);
    submitted_.push_back(std::move(transfer));
    // One wakeup per batch: the driving thread takes everything submitted at once.
    wakeUp = !wakePending_;
    wakePending_ = true;
    anySubmitted_.store(true, std::memory_order_relaxed);
  }
  // After the lock: woken while this thread still held it, the driving thread (often on
  // the same core) would preempt it only to block on the lock and switch back.
  if (wakeUp) wake();
}

// One eventfd write wakes the driving thread and one read rearms it, where libcurl's own
// wakeup costs a send and two receives. The write fails only when the counter would pass
// 2^64 - 2 unread wakeups, which the driving thread's reads never let happen.
void Driver::wake() const {
  if (wakeFd_ < 0) {
    curl_multi_wakeup(multi_.get());
    return;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void Driver::round(Clock::time_point until, std::vector<Ended>& ended) {
  takeSubmitted();
  startWaiting(ended);
  perform(ended);
  expireActive(ended);
  if (!ended.empty()) return;
  // Slots freed and requests waiting: start them before waiting.
  if (active_.size() < kMaxActiveTransfers && !waiting_.empty()) return;
  wait(until);
  takeSubmitted();
  startWaiting(ended);
  perform(ended);
  expireActive(ended);
}

void Driver::takeSubmitted() {
  if (anySubmitted_.load(std::memory_order_relaxed)) {
    std::lock_guard lock(submittedMutex_);
    std::move(submitted_.begin(), submitted_.end(), std::back_inserter(waiting_));
    submitted_.clear();
    anySubmitted_.store(false, std::memory_order_relaxed);
  }
  std::move(pending_.begin(), pending_.end(), std::back_inserter(waiting_));
  pending_.clear();
}

// Starts waiting requests while slots are free; those whose deadline passed while they
// waited end here, as do those whose handle libcurl would not take.
void Driver::startWaiting(std::vector<Ended>& ended) {
  const auto now = Clock::now();
  while (!waiting_.empty() &&
         (active_.size() < kMaxActiveTransfers || waiting_.front()->deadline <= now)) {
    std::unique_ptr<Transfer> transfer = std::move(waiting_.front());
    waiting_.pop_front();
    if (transfer->deadline <= now) {
      ended.push_back(expired(*transfer));
      continue;
    }
    if (!idle_.empty()) {
      transfer->handle = std::move(idle_.back());
      idle_.pop_back();
    } else {
      transfer->handle = newHandle(defaults_);
    }
    if (!transfer->handle || !attach(*transfer, defaults_, maxIdleFor(*transfer))) {
      if (transfer->handle) idle_.push_back(std::move(transfer->handle));
      ended.push_back({std::move(transfer->post), failureResult("out of memory")});
      continue;
    }
    if (curl_multi_add_handle(multi_.get(), transfer->handle->easy.get()) != CURLM_OK) {
      idle_.push_back(std::move(transfer->handle));
      ended.push_back({std::move(transfer->post), failureResult("cannot start the transfer")});
      continue;
    }
    transfer->activeIndex = active_.size();
    nextDeadline_ = std::min(nextDeadline_, transfer->deadline);
    active_.push_back(std::move(transfer));
  }
}

void Driver::perform(std::vector<Ended>& ended) {
  if (active_.empty()) return;
  int running = 0;
  curl_multi_perform(multi_.get(), &running);
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
    if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result, ended);
  }
}

void Driver::finish(CURL* handle, CURLcode code, std::vector<Ended>& ended) {
  Handle* state = nullptr;
  curl_easy_getinfo(handle, CURLINFO_PRIVATE, &state);
  Transfer* raw = state->transfer;
  curl_multi_remove_handle(multi_.get(), handle);
  if (prepareRetry(*raw, code) && curl_multi_add_handle(multi_.get(), handle) == CURLM_OK) return;
  release(raw->activeIndex, code, ended);
}

// Out of the active list by swapping the last one into its place, and ended with `code`.
void Driver::release(std::size_t index, CURLcode code, std::vector<Ended>& ended) {
  std::unique_ptr<Transfer> transfer = std::move(active_[index]);
  if (index + 1 != active_.size()) {
    active_[index] = std::move(active_.back());
    active_[index]->activeIndex = index;
  }
  active_.pop_back();
  if (transfer->keepAlive >= 0) {
    announcedBy_ = transfer->post.destination;
    announcedKeepAlive_ = transfer->keepAlive;
  }
  ended.push_back(end(*transfer, code, spares_));
  idle_.push_back(std::move(transfer->handle));
  spares_.keep(std::move(transfer));
}

// A second less than the server said it keeps an idle connection, when it said so.
long Driver::maxIdleFor(const Transfer& transfer) const {
  if (announcedBy_ != transfer.post.destination || announcedKeepAlive_ < 0) return kMaxIdleSeconds;
  return std::clamp(announcedKeepAlive_ - 1, 0L, kMaxIdleSeconds);
}

// Ends the active requests whose deadline passed. The deadlines are the driver's own
// rather than libcurl's timeout option, which would cost every transfer a timer of
// libcurl's; nextDeadline_ is the earliest one, or earlier (that request may have ended).
void Driver::expireActive(std::vector<Ended>& ended) {
  const auto now = Clock::now();
  if (now < nextDeadline_) return;
  nextDeadline_ = Clock::time_point::max();
  for (std::size_t index = 0; index < active_.size();) {
    Transfer& transfer = *active_[index];
    if (transfer.deadline > now) {
      nextDeadline_ = std::min(nextDeadline_, transfer.deadline);
      ++index;
      continue;
    }
    curl_multi_remove_handle(multi_.get(), transfer.handle->easy.get());
    release(index, CURLE_OPERATION_TIMEDOUT, ended);  // the last one moves to `index`
  }
}

// Until activity, a wakeup, the next deadline of a request or `until`; libcurl shortens it
// for the transfers in flight.
void Driver::wait(Clock::time_point until) {
  until = std::min(until, nextDeadline_);
  if (!waiting_.empty()) until = std::min(until, waiting_.front()->deadline);
  int timeoutMs = INT_MAX;
  if (until != Clock::time_point::max()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
  }
  bool woken = true;  // libcurl's own wakeup tells nothing: maybe
  if (wakeFd_ < 0) {
    curl_multi_poll(multi_.get(), nullptr, 0, timeoutMs, nullptr);
  } else {
    curl_waitfd wakeup{wakeFd_, CURL_WAIT_POLLIN, 0};
    // curl_multi_wait() rather than _poll(): the wakeup is ours, and libcurl's own pair
    // would only add a descriptor to every wait. With ours always there it never returns
    // early.
    curl_multi_wait(multi_.get(), &wakeup, 1, timeoutMs, nullptr);
    woken = wakeup.revents != 0;
    if (woken) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
    }
  }
  if (woken) {
    // Consumed: the next submission wakes again. One pending is enough until then, however
    // many requests come; one more than needed costs only an early return.
    std::lock_guard lock(submittedMutex_);
    wakePending_ = false;
  }
}

void Driver::closeInChild() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
  connections_.closeInChild();
}

}  // namespace tavrello::internal
