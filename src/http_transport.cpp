#include "internal/http_transport.hpp"

#include <curl/curl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <tavrello/tavrello_result.hpp>

#include "internal/main_queue_batch.hpp"

namespace tavrello::internal {
namespace {

using Clock = std::chrono::steady_clock;

// Connections (and easy handles) in use at once. Requests beyond this wait
// in our own queue, which costs only their body and handler, so a burst of
// thousands of calls needs neither thousands of sockets nor megabytes of
// per-transfer buffers.
constexpr std::size_t kMaxActiveTransfers = 64;

std::atomic<long> gTimeoutMs{60'000};
std::atomic<int> gThreadsStarted{0};
std::atomic<long> gConnectionsOpened{0};

struct Request {
  std::string url;
  std::string body;
  CompletionHandler callback;
  Clock::time_point deadline;
  Bytes reply;
  std::size_t activeIndex = 0;  // position in Transport::active_
  CURL* handle = nullptr;
};

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

size_t appendBody(char* data, size_t size, size_t count, void* userdata) {
  auto* request = static_cast<Request*>(userdata);
  const size_t length = size * count;
  // Returning less than given aborts the transfer with CURLE_WRITE_ERROR.
  if (request->reply.size() + length > kMaxReplyBytes) return 0;
  request->reply.insert(request->reply.end(), data, data + length);
  return length;
}

std::shared_ptr<TavrelloResult> failure(const char* reason) {
  auto result = std::make_shared<TavrelloResult>();
  result->setReason(reason);
  return result;
}

class Transport {
 public:
  static Transport& shared() {
    // Never freed: a thread may still submit while the process exits. The
    // stopper below ends the I/O thread during exit, before libcurl's and
    // OpenSSL's own exit handlers run (they were registered earlier).
    static Transport* transport = new Transport();
    static Stopper stopper{transport};
    return *transport;
  }

  void submit(std::unique_ptr<Request> request) {
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;  // process exit: the request is dropped
      if (!started_) {
        started_ = true;
        thread_ = std::thread([this] { run(); });
        // Named from here so the name is set before anyone can look.
        pthread_setname_np(thread_.native_handle(), "tavrello-io");
        gThreadsStarted.fetch_add(1);
      }
      incoming_.push_back(std::move(request));
      // One wakeup per batch: the I/O thread takes everything queued at once.
      wake = !wakePending_;
      wakePending_ = true;
    }
    // After the lock: woken while this thread still held mutex_, the I/O
    // thread (often on the same core) would preempt it only to block on
    // mutex_ and switch back, two context switches and two futex calls more.
    if (wake) signalWake();
  }

 private:
  // One eventfd write wakes the I/O thread and one read rearms it, where
  // libcurl's own wakeup costs a send and two receives; that one remains the
  // fallback when no eventfd could be had.
  void signalWake() {
    if (wakeFd_ < 0) {
      curl_multi_wakeup(multi_.get());
      return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
  }

  struct Stopper {
    Transport* transport;
    ~Stopper() { transport->stop(); }
  };

  Transport() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_.reset(curl_multi_init());
    curl_slist* list = nullptr;
    for (const char* header :
         {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json",
          // An empty value removes libcurl's own
          // "Expect: 100-continue" on larger bodies.
          "Expect:"}) {
      list = curl_slist_append(list, header);
    }
    headers_.reset(list);
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      if (!started_) return;
      signalWake();
    }
    thread_.join();
  }

  CURL* takeHandle() {
    if (!idle_.empty()) {
      CURL* handle = idle_.back().release();
      idle_.pop_back();
      return handle;
    }
    CURL* handle = curl_easy_init();
    if (!handle) return nullptr;
    // Options that are the same for every request are set once per handle.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
    return handle;
  }

  void activate(std::unique_ptr<Request> request, std::vector<std::function<void()>>& done) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(request->deadline - Clock::now());
    CURL* handle = remaining.count() > 0 ? takeHandle() : nullptr;
    if (!handle) {  // timed out while waiting for a free slot, or no memory
      deliver(std::move(request), failure("http"), done);
      return;
    }
    Request* raw = request.release();
    raw->handle = handle;
    curl_easy_setopt(handle, CURLOPT_URL, raw->url.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(raw->body.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, raw->body.data());
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, raw);
    curl_easy_setopt(handle, CURLOPT_PRIVATE, raw);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));
    raw->activeIndex = active_.size();
    active_.push_back(raw);
    curl_multi_add_handle(multi_.get(), handle);
  }

  void finish(CURL* handle, CURLcode code, std::vector<std::function<void()>>& done) {
    Request* raw = nullptr;
    curl_easy_getinfo(handle, CURLINFO_PRIVATE, &raw);
    std::unique_ptr<Request> request(raw);
    long connects = 0;
    curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects);
    gConnectionsOpened.fetch_add(connects, std::memory_order_relaxed);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    release(raw);

    // A transfer error wins over any status libcurl may already have seen
    // (a reset mid-body still reports the 200 of its status line).
    std::shared_ptr<TavrelloResult> result;
    if (code == CURLE_OK && status >= 200 && status <= 299) {
      result = std::make_shared<TavrelloResult>(std::move(request->reply));
      result->setResult("ok");
    } else {
      result = failure("http");  // error, no HTTP status at all, or outside 2xx
    }
    deliver(std::move(request), std::move(result), done);
  }

  // Takes the request's handle out of the multi handle and keeps it for reuse.
  void release(Request* request) {
    curl_multi_remove_handle(multi_.get(), request->handle);
    Request* last = active_.back();
    last->activeIndex = request->activeIndex;
    active_[request->activeIndex] = last;
    active_.pop_back();
    idle_.emplace_back(request->handle);
    request->handle = nullptr;
  }

  static void deliver(std::unique_ptr<Request> request, std::shared_ptr<TavrelloResult> result,
                      std::vector<std::function<void()>>& done) {
    done.emplace_back([callback = std::move(request->callback), result = std::move(result)] {
      callback(result);
    });
  }

  void run() {
    std::vector<std::unique_ptr<Request>> arrived;
    std::vector<std::function<void()>> done;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
        arrived.swap(incoming_);
        wakePending_ = false;
      }
      std::move(arrived.begin(), arrived.end(), std::back_inserter(waiting_));
      arrived.clear();
      while (active_.size() < kMaxActiveTransfers && !waiting_.empty()) {
        activate(std::move(waiting_.front()), done);
        waiting_.pop_front();
      }

      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result, done);
      }
      // One hand-off to the main queue for every completion of this round.
      postBatchToMainQueue(done);

      // Slots freed and requests waiting: start them before sleeping.
      if (active_.size() < kMaxActiveTransfers && !waiting_.empty()) continue;
      curl_waitfd wakeup{wakeFd_, CURL_WAIT_POLLIN, 0};
      curl_multi_poll(multi_.get(), &wakeup, wakeFd_ < 0 ? 0 : 1, 1000, nullptr);
      if (wakeup.revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
      }
    }
    // Exit: close every transfer; their handlers are never called.
    for (Request* request : active_) {
      curl_multi_remove_handle(multi_.get(), request->handle);
      curl_easy_cleanup(request->handle);
      delete request;
    }
    active_.clear();
    idle_.clear();
    waiting_.clear();
    // multi_ stays (as the Transport itself does): a submit() that has just
    // left the lock may still wake it.
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Request>> incoming_;  // guarded by mutex_
  bool wakePending_ = false;                        // guarded by mutex_
  bool stopping_ = false;                           // guarded by mutex_
  bool started_ = false;                            // guarded by mutex_
  std::thread thread_;

  // Owned by the I/O thread once it runs.
  MultiHandle multi_;
  HeaderList headers_;
  const int wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // never closed
  std::deque<std::unique_ptr<Request>> waiting_;
  std::vector<Request*> active_;
  std::vector<EasyHandle> idle_;
};

}  // namespace

void submitPost(std::string url, std::string body, CompletionHandler callback) {
  auto request = std::make_unique<Request>();
  request->url = std::move(url);
  request->body = std::move(body);
  request->callback = std::move(callback);
  request->deadline = Clock::now() + std::chrono::milliseconds(gTimeoutMs.load());
  Transport::shared().submit(std::move(request));
}

bool isValidUrl(const std::string& url) {
  // Operations post to a handful of fixed addresses; remember the last one
  // this thread checked so the parser runs only when the address changes.
  thread_local std::string lastValid;
  if (!lastValid.empty() && url == lastValid) return true;
  // libcurl's parser forgives a missing authority ("http:///path" reads as
  // host "path"); an empty service host must not turn the path into a host.
  const auto authority = url.find("://");
  if (authority == std::string::npos || url.compare(authority + 3, 1, "/") == 0) return false;
  std::unique_ptr<CURLU, UrlCleanup> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return false;
  }
  lastValid = url;
  return true;
}

void setExchangeTimeoutForTesting(std::chrono::milliseconds timeout) {
  gTimeoutMs.store(static_cast<long>(timeout.count()));
}

int transportThreadsStartedForTesting() { return gThreadsStarted.load(); }

long transportConnectionsOpenedForTesting() { return gConnectionsOpened.load(); }

}  // namespace tavrello::internal
