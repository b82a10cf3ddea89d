#include "internal/spares.hpp"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavrello::internal {
namespace {

// The most storage a spare keeps: about what a request's body or a reply needs, so that
// the spares stay small whatever came before.
constexpr std::size_t kMaxSpareBodyBytes = 4u << 10;
constexpr std::size_t kMaxSpareReplyBytes = 16u << 10;

// Empties `bytes`, keeping its storage unless it is larger than is worth keeping.
void empty(Bytes& bytes) {
  if (bytes.capacity() > kMaxSpareReplyBytes) {
    Bytes().swap(bytes);
  } else {
    bytes.clear();
  }
}

constexpr std::string_view kOk = "ok";  // result() of a whole reply

// What a new result holds: every field of a kept one is set back to it.
const TavrelloResult& newResult() {
  static const TavrelloResult* const result = new TavrelloResult();  // never destroyed
  return *result;
}

// Sets every field but the bytes and the status back as okResult() makes them, each only
// when it differs (assigning all of them would cost more than a new result).
void renew(TavrelloResult& result) {
  const TavrelloResult& renewed = newResult();
  if (result.message()) result.setMessage(std::nullopt);
  if (result.result() != kOk) result.setResult(std::string(kOk));
  if (result.type() != renewed.type()) result.setType(renewed.type());
  if (result.reason() != renewed.reason()) result.setReason(renewed.reason());
  if (result.detail() != renewed.detail()) result.setDetail(renewed.detail());
  if (!result.errorBody().empty()) result.setErrorBody({});
}

// The bytes of a result that only the spares hold: nobody else can see them change, so
// they may be taken from under the const accessor (the object itself was never const).
std::optional<Bytes>& responseOf(TavrelloResult& result) {
  return const_cast<std::optional<Bytes>&>(result.response());
}

}  // namespace

// shared_ptr's deleter for the results made here: when the last owner lets go on the
// driving thread, the result goes back to the spares.
struct Spares::Recycle {
  Spares* spares;
  void operator()(TavrelloResult* result) const {
    if (sparesOfThisThread() == spares) {
      spares->keep(result);
    } else {
      delete result;
    }
  }
};

// shared_ptr's allocator for the record it keeps of each result: from and back to the
// spares on the driving thread.
template <class T>
struct Spares::BlockAllocator {
  using value_type = T;
  explicit BlockAllocator(Spares* spares) : spares(spares) {}
  template <class U>
  explicit BlockAllocator(const BlockAllocator<U>& other) : spares(other.spares) {}
  T* allocate(std::size_t count) { return static_cast<T*>(spares->block(count * sizeof(T))); }
  void deallocate(T* block, std::size_t count) {
    if (sparesOfThisThread() == spares) {
      spares->keepBlock(block, count * sizeof(T));
    } else {
      ::operator delete(block);
    }
  }
  template <class U>
  bool operator==(const BlockAllocator<U>& other) const {
    return spares == other.spares;
  }
  template <class U>
  bool operator!=(const BlockAllocator<U>& other) const {
    return spares != other.spares;
  }
  Spares* spares;
};

Spares::Spares() {
  // Keeping a spare never allocates: a result is kept from shared_ptr's deleter.
  transfers_.reserve(kMaxSpares);
  bodies_.reserve(kMaxSpares);
  results_.reserve(kMaxSpares);
  blocks_.reserve(kMaxSpares);
}

std::unique_ptr<Transfer> Spares::transfer(Post&& post, Clock::time_point deadline) {
  if (transfers_.empty()) return std::make_unique<Transfer>(std::move(post), deadline);
  std::unique_ptr<Transfer> transfer = std::move(transfers_.back());
  transfers_.pop_back();
  transfer->renew(std::move(post), deadline);
  return transfer;
}

void Spares::keep(std::unique_ptr<Transfer> transfer) {
  if (transfers_.size() >= kMaxSpares) return;
  empty(transfer->reply);
  transfer->errorBody = Bytes();
  transfers_.push_back(std::move(transfer));
}

std::string Spares::body() {
  if (bodies_.empty()) return {};
  std::string body = std::move(bodies_.back());
  bodies_.pop_back();
  return body;
}

void Spares::keepBody(std::string&& body) {
  if (bodies_.size() >= kMaxSpares || body.capacity() > kMaxSpareBodyBytes) return;
  body.clear();
  bodies_.push_back(std::move(body));
}

std::shared_ptr<TavrelloResult> Spares::okResult(Bytes& reply, int status) {
  std::unique_ptr<TavrelloResult> made;
  if (results_.empty()) {
    made = std::make_unique<TavrelloResult>(std::move(reply));
    made->setResult(std::string(kOk));
  } else {
    made = std::move(results_.back());
    results_.pop_back();
    std::optional<Bytes>& response = responseOf(*made);  // kept present and empty
    if (response) {
      response->swap(reply);
    } else {
      response = std::move(reply);
    }
  }
  made->setHttpStatus(status);
  // Should the record's allocation throw, shared_ptr hands the result to Recycle.
  return std::shared_ptr<TavrelloResult>(made.release(), Recycle{this},
                                         BlockAllocator<TavrelloResult>(this));
}

void Spares::keep(TavrelloResult* result) {
  std::unique_ptr<TavrelloResult> kept(result);
  if (results_.size() >= kMaxSpares) return;
  renew(*kept);
  std::optional<Bytes>& response = responseOf(*kept);
  if (!response) response.emplace();
  empty(*response);  // its storage stays, for the next reply
  results_.push_back(std::move(kept));
}

void* Spares::block(std::size_t size) {
  if (blocks_.empty() || size != blockSize_) return ::operator new(size);
  void* block = blocks_.back();
  blocks_.pop_back();
  return block;
}

void Spares::keepBlock(void* block, std::size_t size) {
  if (blocks_.size() >= kMaxSpares || (blockSize_ != 0 && size != blockSize_)) {
    ::operator delete(block);
    return;
  }
  blockSize_ = size;
  blocks_.push_back(block);
}

}  // namespace tavrello::internal
