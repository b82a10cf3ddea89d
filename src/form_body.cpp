#include "internal/form_body.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace tavrello::internal {
namespace {

// The bytes a form parser would read as separators or escapes.
constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> escaped{};
  for (const unsigned char c : {'&', '=', '+', '%'}) escaped[c] = true;
  return escaped;
}();

// Whether any of the eight bytes of `word` needs escaping: for each of the four, a byte
// equal to it becomes zero under the XOR, and the classic zero-byte test finds it.
bool anyEscaped(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  std::uint64_t found = 0;
  for (const std::uint64_t c : {0x26u, 0x3Du, 0x2Bu, 0x25u}) {  // &, =, +, %
    const std::uint64_t v = word ^ (kOnes * c);
    found |= (v - kOnes) & ~v & kHighs;
  }
  return found != 0;
}

}  // namespace

// Copies `text` in runs between the bytes that need escaping, skipping eight bytes at a
// time where none does (almost always: keys and member keys have none).
void appendFormEscaped(std::string& out, std::string_view text) {
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* at = run; at != end;) {
    std::uint64_t word = 0;
    if (end - at >= 8 && (std::memcpy(&word, at, 8), !anyEscaped(word))) {
      at += 8;
      continue;
    }
    const auto byte = static_cast<unsigned char>(*at++);
    if (!kEscaped[byte]) continue;
    static constexpr char kHex[] = "0123456789ABCDEF";
    const char escape[3] = {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    out.append(run, static_cast<std::size_t>(at - 1 - run)).append(escape, sizeof escape);
    run = at;
  }
  out.append(run, static_cast<std::size_t>(end - run));
}

void appendFormField(std::string& body, std::string_view key, std::string_view value) {
  if (!body.empty()) body += '&';
  appendFormEscaped(body, key);
  body += '=';
  appendFormEscaped(body, value);
}

}  // namespace tavrello::internal
