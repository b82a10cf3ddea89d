#include "internal/text_forms.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace tavrello::internal {

double currentUnixTime() {
  // system_clock counts from 1970-01-01 UTC on every platform we build for.
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void assignTimestampText(std::string& text, double seconds) {
  // Fixed notation without a precision gives the shortest digits that round
  // trip (nearest to the exact value on ties), independent of the locale.
  char buffer[400];  // enough for the widest double in fixed notation
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
  if (ec != std::errc()) {  // unreachable with this buffer size
    text = "0.0";
    return;
  }
  const auto length = static_cast<std::size_t>(end - buffer);
  text.assign(buffer, length);
  // A whole number still shows its point (not "inf" or "nan", which have an "n").
  if (!std::memchr(buffer, '.', length) && !std::memchr(buffer, 'n', length)) text += ".0";
}

std::string timestampText(double seconds) {
  std::string text;
  assignTimestampText(text, seconds);
  return text;
}

std::string debugDescription(const std::optional<std::string>& text) {
  if (!text) return "nil";
  std::string out = "Optional(\"";
  for (char c : *text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\'':
        out += "\\'";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += "\")";
  return out;
}

bool isStrictUtf8(const std::uint8_t* data, std::size_t size) {
  std::size_t i = 0;
  while (i < size) {
    std::uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte, which is
    // where overlong forms, surrogates and values above U+10FFFF show.
    std::size_t length;
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
    if (size - i < length) return false;
    if (data[i + 1] < low || data[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace tavrello::internal
