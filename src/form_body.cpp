#include "internal/form_body.hpp"

namespace tavrello::internal {
namespace {

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

}  // namespace

void appendFormField(std::string& body, std::string_view key, std::string_view value) {
  if (!body.empty()) body += '&';
  appendFormEscaped(body, key);
  body += '=';
  appendFormEscaped(body, value);
}

}  // namespace tavrello::internal
