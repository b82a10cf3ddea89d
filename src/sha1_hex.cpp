#include "internal/sha1_hex.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <memory>

namespace tavrello::internal {
namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// Fetched once: an implicit fetch on every digest costs a provider lookup.
// Never freed, so it stays valid for threads still signing during exit.
const EVP_MD* sha1Algorithm() {
  static const EVP_MD* md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return fetched ? fetched : EVP_sha1();
  }();
  return md;
}

// The two lower-case hex digits of every byte value, one pair a byte.
constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char kHex[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (std::size_t byte = 0; byte < 256; ++byte) {
    pairs[2 * byte] = kHex[byte >> 4];
    pairs[2 * byte + 1] = kHex[byte & 0x0F];
  }
  return pairs;
}();

}  // namespace

void sha1Hex(std::string_view text, char (&hex)[40]) {
  // One context per thread, initialised again for each digest: no allocation per digest.
  thread_local const MdCtx ctx(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int length = 0;
  // An allocation failure inside OpenSSL leaves the digest all zero: the
  // service then refuses the signature, which is reported like any refusal.
  if (ctx && EVP_DigestInit_ex(ctx.get(), sha1Algorithm(), nullptr) == 1 &&
      EVP_DigestUpdate(ctx.get(), text.data(), text.size()) == 1) {
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
  }
  for (std::size_t i = 0; i < 20; ++i)
    std::memcpy(&hex[2 * i], &kHexPairs[std::size_t{2} * digest[i]], 2);
}

std::string sha1Hex(std::string_view text) {
  char hex[40];
  sha1Hex(text, hex);
  return std::string(hex, sizeof hex);
}

}  // namespace tavrello::internal
