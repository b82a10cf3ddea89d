// The reference reader of form bodies for the tests and fuzz targets: how a
// standard application/x-www-form-urlencoded parser at the service reads what
// the library sends. Split at "&" (empty pieces skipped), then at the first
// "=", "+" read as a space, "%XX" decoded; nothing trimmed, nothing merged.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrello::testing {

using FormFields = std::vector<std::pair<std::string, std::string>>;

inline std::string formDecode(std::string_view text) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
               hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

inline FormFields parseFormFields(std::string_view body) {
  FormFields fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view field = body.substr(start, end - start);
    if (!field.empty()) {
      const std::size_t equals = field.find('=');
      fields.emplace_back(
          formDecode(field.substr(0, equals)),
          equals == std::string_view::npos ? std::string() : formDecode(field.substr(equals + 1)));
    }
    start = end + 1;
  }
  return fields;
}

}  // namespace tavrello::testing
