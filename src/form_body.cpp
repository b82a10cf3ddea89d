#include "internal/form_body.hpp"

#include <charconv>

namespace tavrello::internal {
namespace {

// Writes a non-text value in its ordinary text form. Returns false for a
// type we have no text form for.
template <typename T>
bool appendNumber(std::string& out, const std::any& value) {
  const T* number = std::any_cast<T>(&value);
  if (!number) return false;
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, *number);
  // Escaped like text: a float's exponent may carry a "+".
  if (result.ec == std::errc())
    appendFormEscaped(out, std::string_view(buffer, result.ptr - buffer));
  return true;
}

void appendValue(std::string& out, const std::any& value) {
  if (const auto* text = std::any_cast<std::string>(&value)) {
    appendFormEscaped(out, *text);
  } else if (const auto* view = std::any_cast<std::string_view>(&value)) {
    appendFormEscaped(out, *view);
  } else if (const auto* pointer = std::any_cast<const char*>(&value)) {
    if (*pointer) appendFormEscaped(out, *pointer);
  } else if (const auto* flag = std::any_cast<bool>(&value)) {
    out += *flag ? "true" : "false";
  } else {
    appendNumber<int>(out, value) || appendNumber<long>(out, value) ||
        appendNumber<long long>(out, value) || appendNumber<unsigned>(out, value) ||
        appendNumber<unsigned long>(out, value) || appendNumber<unsigned long long>(out, value) ||
        appendNumber<double>(out, value) || appendNumber<float>(out, value);
  }
}

}  // namespace

void appendFormEscaped(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* escape = nullptr;
    switch (text[i]) {
      case '&':
        escape = "%26";
        break;
      case '=':
        escape = "%3D";
        break;
      case '+':
        escape = "%2B";
        break;
      case '%':
        escape = "%25";
        break;
      default:
        continue;
    }
    out.append(text, start, i - start);
    out += escape;
    start = i + 1;
  }
  out.append(text, start, std::string_view::npos);
}

void appendFormField(std::string& body, std::string_view key, std::string_view value) {
  if (!body.empty()) body += '&';
  appendFormEscaped(body, key);
  body += '=';
  appendFormEscaped(body, value);
}

std::string encodeFormBody(const Params& params) {
  std::string body;
  std::size_t estimate = 0;
  for (const auto& [key, value] : params) {
    const auto* text = std::any_cast<std::string>(&value);
    estimate += key.size() + (text ? text->size() : 24) + 2;
  }
  body.reserve(estimate);
  bool first = true;
  for (const auto& [key, value] : params) {
    if (!first) body += '&';
    first = false;
    appendFormEscaped(body, key);
    body += '=';
    appendValue(body, value);
  }
  return body;
}

}  // namespace tavrello::internal
