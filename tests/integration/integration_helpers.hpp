// Shared pieces of the integration tests: reaching the client's private
// exchange, an independent SHA-1, and waiting for results on the main queue.
#pragma once

#include <openssl/evp.h>

#include "form_fields.hpp"

#include <tavrello/tavrello.hpp>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavrello {

struct TavrelloAPITestAccess {
  static void doPost(const std::string& url, const Params& params, CompletionHandler callback) {
    TavrelloAPI::doPost(url, params, std::move(callback));
  }
};

namespace testing {

// SHA-1 hex straight from OpenSSL, as the service would compute it; the
// tests never check the library's signature with the library's own code.
inline std::string serviceSha1(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// Collects results as handlers run, and where they ran.
struct Collector {
  std::vector<std::shared_ptr<TavrelloResult>> results;
  std::vector<std::thread::id> threads;

  CompletionHandler handler() {
    return [this](std::shared_ptr<TavrelloResult> result) {
      results.push_back(std::move(result));
      threads.push_back(std::this_thread::get_id());
    };
  }
  // Drains the main queue on this thread until `count` results arrived.
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return MainQueue::shared().runUntil([&] { return results.size() >= count; }, timeout);
  }
  bool allOn(std::thread::id id) const {
    for (auto t : threads) {
      if (t != id) return false;
    }
    return true;
  }
};

inline std::string text(const std::optional<Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<absent>");
}

// Threads of this process named `name`. The library's I/O thread is named
// "tavrello-io", and any thread it starts (a resolver, say) inherits that name.
inline int threadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

}  // namespace testing
}  // namespace tavrello
