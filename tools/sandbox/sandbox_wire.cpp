#include "sandbox_wire.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <charconv>
#include <system_error>

namespace tavrello::sandbox {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<FormField> parseForm(std::string_view body) {
  std::vector<FormField> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view piece = body.substr(start, end - start);
    if (!piece.empty()) {
      const std::size_t eq = piece.find('=');
      if (eq == std::string_view::npos) {
        fields.emplace_back(percentDecode(piece), std::string());
      } else {
        fields.emplace_back(percentDecode(piece.substr(0, eq)),
                            percentDecode(piece.substr(eq + 1)));
      }
    }
    start = end + 1;
  }
  return fields;
}

bool isFormContentType(std::string_view contentType) {
  const std::size_t semicolon = contentType.find(';');
  const std::string_view media = trimBlanks(contentType.substr(0, semicolon));
  static constexpr std::string_view kForm = "application/x-www-form-urlencoded";
  if (media.size() != kForm.size()) return false;
  for (std::size_t i = 0; i < media.size(); ++i) {
    if (asciiLower(media[i]) != kForm[i]) return false;
  }
  return true;
}

NumberStatus parseUnsigned(std::string_view text, std::uint64_t& out) {
  if (!allDigits(text)) return NumberStatus::kNotANumber;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (ec == std::errc::result_out_of_range) return NumberStatus::kOutOfRange;
  if (ec != std::errc() || end != text.data() + text.size()) return NumberStatus::kNotANumber;
  return NumberStatus::kOk;
}

NumberStatus parseSigned(std::string_view text, std::int64_t& out) {
  const std::string_view digits = (!text.empty() && text.front() == '-') ? text.substr(1) : text;
  if (!allDigits(digits)) return NumberStatus::kNotANumber;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (ec == std::errc::result_out_of_range) return NumberStatus::kOutOfRange;
  if (ec != std::errc() || end != text.data() + text.size()) return NumberStatus::kNotANumber;
  return NumberStatus::kOk;
}

bool isDecimalSeconds(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) return allDigits(text);
  return allDigits(text.substr(0, dot)) && allDigits(text.substr(dot + 1));
}

std::string sha1Hex(std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  // The one-shot EVP call owns its context internally, so there is no handle to leak.
  if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1 ||
      length != 20) {
    return std::string();
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

std::string certKey(std::string_view timestamp, std::string_view apiKey,
                    std::string_view serverKey) {
  std::string text;
  text.reserve(timestamp.size() + apiKey.size() + serverKey.size() + 2);
  text.append(timestamp).append("|").append(apiKey).append("|").append(serverKey);
  return sha1Hex(text);
}

bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;  // no overlong three-byte forms
      if (c == 0xED) hi = 0x9F;  // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;  // no overlong four-byte forms
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (i + extra >= n) return false;  // truncated sequence
    if (byte(i + 1) < lo || byte(i + 1) > hi) return false;
    for (std::size_t k = 2; k <= extra; ++k) {
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace tavrello::sandbox
