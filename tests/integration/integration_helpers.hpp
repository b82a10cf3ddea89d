// Shared pieces of the integration tests: reaching the client's private
// exchange, an independent SHA-1, and waiting for results on the main queue.
#pragma once

#include <openssl/evp.h>

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

// Reads a form body the way a standard application/x-www-form-urlencoded
// parser does: split at "&", then at the first "=", "+" as a space, %XX
// decoded; nothing trimmed.
inline std::vector<std::pair<std::string, std::string>> parseForm(const std::string& body) {
  auto decode = [](const std::string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
      if (in[i] == '+') {
        out += ' ';
      } else if (in[i] == '%' && i + 2 < in.size() &&
                 std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
        out += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += in[i];
      }
    }
    return out;
  };
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string field = body.substr(start, end - start);
    if (!field.empty()) {
      std::size_t equals = field.find('=');
      fields.emplace_back(decode(field.substr(0, equals)),
                          equals == std::string::npos ? "" : decode(field.substr(equals + 1)));
    }
    start = end + 1;
  }
  return fields;
}

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
