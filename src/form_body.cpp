#include "internal/form_body.hpp"

#include <algorithm>
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
bool anyEscapedIn(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  std::uint64_t found = 0;
  for (const std::uint64_t c : {0x26u, 0x3Du, 0x2Bu, 0x25u}) {  // &, =, +, %
    const std::uint64_t v = word ^ (kOnes * c);
    found |= (v - kOnes) & ~v & kHighs;
  }
  return found != 0;
}

// Whether any byte of `text` needs escaping, looked at eight bytes at a time; the last
// eight overlap those before when the length is no multiple of eight.
bool anyEscaped(std::string_view text) {
  const auto word = [&text](std::size_t at) {
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, text.data() + at, sizeof bytes);
    return bytes;
  };
  const std::size_t size = text.size();
  if (size < 8) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return kEscaped[static_cast<unsigned char>(c)]; });
  }
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    if (anyEscapedIn(word(at))) return true;
  }
  return size % 8 != 0 && anyEscapedIn(word(size - 8));
}

}  // namespace

std::size_t formEscapedSize(std::string_view text) {
  if (!anyEscaped(text)) return text.size();  // almost always: keys and member keys have none
  return text.size() +
         2 * static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
           return kEscaped[static_cast<unsigned char>(c)];
         }));
}

char* writeFormEscaped(char* out, std::string_view text, std::size_t escapedSize) {
  if (escapedSize == text.size()) {  // nothing to escape
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (kEscaped[byte]) {
      *out++ = '%';
      *out++ = kHex[byte >> 4];
      *out++ = kHex[byte & 0x0F];
    } else {
      *out++ = c;
    }
  }
  return out;
}

void appendFormEscaped(std::string& out, std::string_view text) {
  const std::size_t escapedSize = formEscapedSize(text);
  if (escapedSize == text.size()) {
    out.append(text);
    return;
  }
  const std::size_t at = out.size();
  out.resize(at + escapedSize);
  writeFormEscaped(&out[at], text, escapedSize);
}

void appendFormField(std::string& body, std::string_view key, std::string_view value) {
  if (!body.empty()) body += '&';
  appendFormEscaped(body, key);
  body += '=';
  appendFormEscaped(body, value);
}

}  // namespace tavrello::internal
