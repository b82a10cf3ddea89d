#include "internal/http_transport.hpp"

#include <curl/curl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
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

// Largest reply body read; a longer one ends the exchange with "http".
constexpr std::size_t kMaxReplyBytes = 64u << 20;

// How much of the body of a reply outside 2xx is kept for TavrelloResult::errorBody().
constexpr std::size_t kMaxErrorBodyBytes = 64u << 10;

std::atomic<long> gTimeoutMs{60'000};

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

// An easy handle, and the destination its scheme, CA and proxy options were last set for:
// reused for the same destination, it needs only the options of the request itself.
struct Handle {
  EasyHandle easy;
  std::shared_ptr<const Destination> setFor;
};

struct Request {
  Post post;
  Clock::time_point deadline;
  Bytes reply;
  std::size_t received = 0;          // body bytes, kept or not
  bool headerBlockEnded = false;     // the last header line seen was the blank one
  bool keepBody = false;             // the final status is 2xx: the body is the result
  Bytes errorBody;                   // else its first kMaxErrorBodyBytes
  std::size_t activeIndex = 0;       // position in Transport::active_
  Handle handle;                     // while active
  char error[CURL_ERROR_SIZE] = "";  // libcurl's own words for a failure
};

struct MultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

// Every header line of the reply, 1xx ones included. A blank line ends a
// header block; only a block that ended makes a reply (a server that closes
// mid-header leaves libcurl reporting success with whatever it had).
// cppcheck-suppress constParameter ; libcurl's callback type
size_t onHeaderLine(char* data, size_t size, size_t count, void* userdata) {
  auto* request = static_cast<Request*>(userdata);
  const size_t length = size * count;
  request->headerBlockEnded = (length == 2 && data[0] == '\r') || (length == 1 && data[0] == '\n');
  if (request->headerBlockEnded) {
    long status = 0;
    curl_easy_getinfo(request->handle.easy.get(), CURLINFO_RESPONSE_CODE, &status);
    request->keepBody = status >= 200 && status <= 299;
  }
  return length;
}

size_t onBody(char* data, size_t size, size_t count, void* userdata) {
  auto* request = static_cast<Request*>(userdata);
  const size_t length = size * count;
  request->received += length;
  // Returning less than given aborts the transfer with CURLE_WRITE_ERROR.
  if (request->received > kMaxReplyBytes) return 0;
  // The body of a reply outside 2xx is never delivered: it is read, and only its start is
  // kept, for errorBody().
  if (request->keepBody) {
    request->reply.insert(request->reply.end(), data, data + length);
  } else {
    const size_t kept = std::min(length, kMaxErrorBodyBytes - request->errorBody.size());
    request->errorBody.insert(request->errorBody.end(), data, data + kept);
  }
  return length;
}

std::shared_ptr<TavrelloResult> failure(std::string detail, int status = 0) {
  auto result = std::make_shared<TavrelloResult>();
  result->setReason("http");
  result->setDetail(std::move(detail));
  result->setHttpStatus(status);
  return result;
}

// "60 s", or "500 ms" for the shorter timeouts of tests.
std::string duration(Clock::duration span) {
  const auto ms = std::chrono::round<std::chrono::milliseconds>(span).count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string noReplyWithin(const Request& request) {
  return "no complete reply within " + duration(request.deadline - request.post.started);
}

// What went wrong, in one line that holds no key, signature or body: curl's own words
// only for TLS, where they name the certificate problem.
std::string failureDetail(CURLcode code, const Request& request, long status,
                          const std::string& peer, long osErrno) {
  const Destination& destination = *request.post.destination;
  // A status outside 2xx says more than whatever then befell its body.
  if (request.headerBlockEnded && status != 0 && (status < 200 || status > 299)) {
    return "HTTP " + std::to_string(status) + " from " + destination.authority;
  }
  if (request.received > kMaxReplyBytes || code == CURLE_FILESIZE_EXCEEDED) {
    return "reply larger than 64 MiB";
  }
  switch (code) {
    case CURLE_OK:  // a 2xx status line, then the connection closed mid-header
      return "reply cut short by " + peer;
    case CURLE_COULDNT_RESOLVE_HOST:
      return "host name not resolved: " + destination.host;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "proxy name not resolved";
    case CURLE_COULDNT_CONNECT:
      return (osErrno == ECONNREFUSED ? "connection refused by " : "cannot connect to ") + peer;
    case CURLE_OPERATION_TIMEDOUT:
      return noReplyWithin(request);
    case CURLE_GOT_NOTHING:
      return "empty reply from " + peer;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return "reply cut short by " + peer;
    case CURLE_WEIRD_SERVER_REPLY:
      return "malformed reply from " + peer;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return std::string("TLS: ") + (request.error[0] ? request.error : curl_easy_strerror(code)) +
             " (" + destination.authority + ")";
    default:
      return std::string("transfer failed: ") + curl_easy_strerror(code);
  }
}

std::mutex gObserverMutex;
std::shared_ptr<const std::function<void(const Exchange&)>> gObserver;  // guarded
std::atomic<bool> gObserving{false};  // gObserver is set: spares the lock when it is not

// The result's record for the observer, if there is one; what the observer throws is
// dropped, as there is nobody to hand it to.
void observe(const Post& post, const TavrelloResult& result, std::size_t replyBytes,
             bool newConnection) {
  if (!gObserving.load(std::memory_order_relaxed)) return;
  std::shared_ptr<const std::function<void(const Exchange&)>> observer;
  {
    std::lock_guard lock(gObserverMutex);
    observer = gObserver;
  }
  if (!observer) return;
  Exchange exchange;
  exchange.operation = post.operation;
  exchange.method = "POST";
  if (!post.destination->origin.empty()) {
    exchange.url = post.destination->origin + std::string(post.path);
  }
  exchange.requestBytes = post.body.size();
  exchange.httpStatus = result.httpStatus();
  exchange.replyBytes = replyBytes;
  exchange.elapsed =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - post.started);
  exchange.newConnection = newConnection;
  exchange.result = result.result();
  exchange.reason = result.reason();
  exchange.detail = result.detail();
  try {
    (*observer)(exchange);
  } catch (...) {
  }
}

// Ends a request: the observer sees it, and its handler is queued with the result.
void complete(Post& post, std::shared_ptr<TavrelloResult> result,
              std::vector<std::function<void()>>& done, std::size_t replyBytes = 0,
              bool newConnection = false) {
  observe(post, *result, replyBytes, newConnection);
  done.emplace_back(
      [callback = std::move(post.callback), result = std::move(result)] { callback(result); });
}

// Ends a request that never reached the I/O thread, from the calling thread.
void completeNow(Post& post, std::shared_ptr<TavrelloResult> result) {
  std::vector<std::function<void()>> done;
  complete(post, std::move(result), done);
  postBatchToMainQueue(done);
}

class Transport {
 public:
  // The transport of this process. A child made by fork() gets a fresh one on first
  // use: the parent's I/O thread does not exist there, and its connections, wakeup
  // descriptor and requests in flight are the parent's.
  static Transport& current() {
    Transport* const transport = gCurrent.load(std::memory_order_acquire);
    return transport != nullptr ? *transport : create();
  }

  void submit(std::unique_ptr<Request> request) {
    bool wake = false;
    std::unique_ptr<Request> unsent;  // no I/O thread could be had for it
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;  // process exit: the request is dropped
      if (thread_.joinable() || startThread()) {
        incoming_.push_back(std::move(request));
        // One wakeup per batch: the I/O thread takes everything queued at once.
        wake = !wakePending_;
        wakePending_ = true;
      } else {
        unsent = std::move(request);
      }
    }
    if (unsent) {
      completeNow(unsent->post, failure("cannot start the library's I/O thread"));
      return;
    }
    // After the lock: woken while this thread still held mutex_, the I/O
    // thread (often on the same core) would preempt it only to block on
    // mutex_ and switch back, two context switches and two futex calls more.
    if (wake) signalWake();
  }

 private:
  static Transport& create() {
    std::lock_guard lock(gCreation);
    if (gCurrent.load(std::memory_order_relaxed) == nullptr) {
      static const bool forkHandled = [] {
        pthread_atfork([] { gCreation.lock(); }, [] { gCreation.unlock(); },
                       [] {
                         // Kept reachable: it still holds the parent's buffers.
                         if (Transport* parents = gCurrent.exchange(nullptr)) {
                           parents->abandonedBefore_ = gAbandoned;
                           gAbandoned = parents;
                         }
                         gCreation.unlock();
                       });
        return true;
      }();
      static_cast<void>(forkHandled);
      // Never freed: a thread may still submit while the process exits. The
      // stopper ends the I/O thread during exit, before libcurl's and
      // OpenSSL's own exit handlers run (they were registered earlier).
      gCurrent.store(new Transport(), std::memory_order_release);
      static Stopper stopper;
    }
    return *gCurrent.load(std::memory_order_relaxed);
  }

  struct Stopper {
    ~Stopper() {
      if (Transport* transport = gCurrent.load()) transport->stop();
    }
  };

  Transport() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    defaultCaFile_ = curl_version_info(CURLVERSION_NOW)->cainfo;
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

  // With mutex_ held. False when no thread could be had (a thread limit, say): the
  // caller fails its request, and the next request tries again.
  bool startThread() {
    if (!multi_) return false;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::exception&) {
      return false;
    }
    // Named from here so the name is set before anyone can look.
    pthread_setname_np(thread_.native_handle(), "tavrello-io");
    return true;
  }

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

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      if (!thread_.joinable()) return;
      signalWake();
    }
    // A handler run on the I/O thread (by an executor that runs tasks at once) may
    // call exit(): that thread is then the one running this, and ends with the process.
    if (thread_.get_id() == std::this_thread::get_id()) return;
    thread_.join();
  }

  Handle takeHandle() {
    if (!idle_.empty()) {
      Handle handle = std::move(idle_.back());
      idle_.pop_back();
      return handle;
    }
    Handle created{EasyHandle(curl_easy_init()), nullptr};
    CURL* handle = created.easy.get();
    if (!handle) return created;
    // Options that are the same for every request are set once per handle.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get());
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    // Peer and host name verification, whatever libcurl's defaults may become.
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, onHeaderLine);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxReplyBytes));
#if LIBCURL_VERSION_NUM >= 0x075700
    // A transfer that ends while its name lookup still runs (a timeout, process
    // exit) leaves the resolver thread behind instead of waiting for it, which
    // would hold up every other transfer, or the exit, until the lookup gave up.
    curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L);
#endif
    return created;
  }

  void activate(std::unique_ptr<Request> request, std::vector<std::function<void()>>& done) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(request->deadline - Clock::now());
    if (remaining.count() <= 0) {  // timed out while waiting for a free slot
      complete(request->post, failure(noReplyWithin(*request)), done);
      return;
    }
    Request* raw = request.get();
    raw->handle = takeHandle();
    CURL* handle = raw->handle.easy.get();
    if (!handle) {
      complete(raw->post, failure("out of memory"), done);
      return;
    }
    const std::shared_ptr<const Destination>& destination = raw->post.destination;
    url_.assign(destination->origin).append(raw->post.path);
    curl_easy_setopt(handle, CURLOPT_URL, url_.c_str());  // libcurl keeps a copy
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(raw->post.body.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, raw->post.body.data());
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, raw);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, raw);
    curl_easy_setopt(handle, CURLOPT_PRIVATE, raw);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, raw->error);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining.count()));
    if (raw->handle.setFor != destination) {
      // Only the scheme asked for, never another (no redirect is followed either).
      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, destination->https ? "https" : "http");
      curl_easy_setopt(handle, CURLOPT_CAINFO,
                       destination->caFile.empty() ? defaultCaFile_ : destination->caFile.c_str());
      // "" never uses a proxy, whatever the environment says; null goes back to
      // libcurl's reading of http_proxy, no_proxy and the like.
      curl_easy_setopt(handle, CURLOPT_PROXY, destination->loopback ? "" : nullptr);
      raw->handle.setFor = destination;
    }
    if (curl_multi_add_handle(multi_.get(), handle) != CURLM_OK) {
      idle_.push_back(std::move(raw->handle));
      complete(raw->post, failure("cannot start the transfer"), done);
      return;
    }
    raw->activeIndex = active_.size();
    active_.push_back(request.release());
  }

  void finish(CURL* handle, CURLcode code, std::vector<std::function<void()>>& done) {
    Request* raw = nullptr;
    curl_easy_getinfo(handle, CURLINFO_PRIVATE, &raw);
    std::unique_ptr<Request> request(raw);
    long status = 0, connects = 0, port = 0, osErrno = 0;
    const char* ip = nullptr;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &ip);
    curl_easy_getinfo(handle, CURLINFO_PRIMARY_PORT, &port);
    curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osErrno);
    // The address that answered, or refused: the proxy's when there is one.
    const std::string peer = ip == nullptr || *ip == '\0' ? request->post.destination->authority
                             : std::string(ip).find(':') == std::string::npos
                                 ? std::string(ip) + ":" + std::to_string(port)
                                 : "[" + std::string(ip) + "]:" + std::to_string(port);
    release(raw);

    // A transfer error wins over any status libcurl may already have seen
    // (a reset mid-body still reports the 200 of its status line).
    std::shared_ptr<TavrelloResult> result;
    if (code == CURLE_OK && request->headerBlockEnded && status >= 200 && status <= 299) {
      result = std::make_shared<TavrelloResult>(std::move(request->reply));
      result->setResult("ok");
      result->setHttpStatus(static_cast<int>(status));
    } else {
      result =
          failure(failureDetail(code, *request, status, peer, osErrno), static_cast<int>(status));
      if (status < 200 || status > 299) result->setErrorBody(std::move(request->errorBody));
    }
    complete(request->post, std::move(result), done, request->received, connects > 0);
  }

  // Takes the request's handle out of the multi handle and keeps it for reuse.
  void release(Request* request) {
    curl_multi_remove_handle(multi_.get(), request->handle.easy.get());
    Request* last = active_.back();
    last->activeIndex = request->activeIndex;
    active_[request->activeIndex] = last;
    active_.pop_back();
    idle_.push_back(std::move(request->handle));
  }

  // Fails the waiting requests whose deadline passed before a slot was free,
  // and returns how long the I/O thread may sleep: until the next waiting
  // deadline, and without a limit when nothing waits (libcurl shortens it for
  // the transfers in flight).
  int expireWaiting(std::vector<std::function<void()>>& done) {
    const auto now = Clock::now();
    while (!waiting_.empty() && waiting_.front()->deadline <= now) {
      complete(waiting_.front()->post, failure(noReplyWithin(*waiting_.front())), done);
      waiting_.pop_front();
    }
    if (waiting_.empty()) return INT_MAX;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(waiting_.front()->deadline - now);
    return static_cast<int>(std::min<long long>(wait.count(), INT_MAX));
  }

  void run() {
    std::vector<std::unique_ptr<Request>>& arrived = arrived_;
    std::vector<std::function<void()>>& done = done_;
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
        std::unique_ptr<Request> next = std::move(waiting_.front());
        waiting_.pop_front();
        activate(std::move(next), done);
      }

      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result, done);
      }
      const int sleepMs = expireWaiting(done);
      // One hand-off to the main queue for every completion of this round.
      postBatchToMainQueue(done);

      // Slots freed and requests waiting: start them before sleeping.
      if (active_.size() < kMaxActiveTransfers && !waiting_.empty()) continue;
      curl_waitfd wakeup{wakeFd_, CURL_WAIT_POLLIN, 0};
      curl_multi_poll(multi_.get(), &wakeup, wakeFd_ < 0 ? 0 : 1, sleepMs, nullptr);
      if (wakeup.revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
      }
    }
    // Exit: close every transfer; their handlers are never called.
    for (Request* request : active_) {
      curl_multi_remove_handle(multi_.get(), request->handle.easy.get());
      delete request;  // and its handle
    }
    active_.clear();
    idle_.clear();
    waiting_.clear();
    // multi_ stays (as the Transport itself does): a submit() that has just
    // left the lock may still wake it.
  }

  static inline std::atomic<Transport*> gCurrent{nullptr};
  static inline std::mutex gCreation;             // guards creation and what follows
  static inline Transport* gAbandoned = nullptr;  // the transports of parent processes
  Transport* abandonedBefore_ = nullptr;

  std::mutex mutex_;
  std::vector<std::unique_ptr<Request>> incoming_;  // guarded by mutex_
  bool wakePending_ = false;                        // guarded by mutex_
  bool stopping_ = false;                           // guarded by mutex_
  std::thread thread_;                              // guarded by mutex_

  // Owned by the I/O thread once it runs.
  MultiHandle multi_;
  HeaderList headers_;
  // libcurl's own CA bundle, put back on a handle that served a destination with a CA file.
  const char* defaultCaFile_ = nullptr;
  const int wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // never closed
  std::deque<std::unique_ptr<Request>> waiting_;
  std::vector<Request*> active_;
  std::vector<Handle> idle_;
  std::string url_;  // scratch: libcurl copies the URL
  // The I/O thread's scratch lists, members rather than locals so that what they hold
  // stays reachable in a child made by fork(), where that thread does not exist.
  std::vector<std::unique_ptr<Request>> arrived_;
  std::vector<std::function<void()>> done_;
};

}  // namespace

void submitPost(Post post) {
  if (post.destination->origin.empty()) {  // nothing can be sent
    auto result = std::make_shared<TavrelloResult>();
    result->setReason("Invalid URL");
    result->setDetail(post.destination->problem);
    completeNow(post, std::move(result));
    return;
  }
  auto request = std::make_unique<Request>();
  request->deadline = post.started + std::chrono::milliseconds(gTimeoutMs.load());
  request->post = std::move(post);
  Transport::current().submit(std::move(request));
}

void setObserver(std::function<void(const Exchange&)> observer) {
  auto shared =
      observer ? std::make_shared<const std::function<void(const Exchange&)>>(std::move(observer))
               : nullptr;
  std::lock_guard lock(gObserverMutex);
  gObserving.store(shared != nullptr, std::memory_order_relaxed);
  gObserver.swap(shared);
}

void setExchangeTimeoutForTesting(std::chrono::milliseconds timeout) {
  gTimeoutMs.store(static_cast<long>(timeout.count()));
}

}  // namespace tavrello::internal
