// Form encoding of a request's parameters.
#pragma once

#include <string>
#include <string_view>

namespace tavrello::internal {

/// Appends one field, "key=value", after a "&" unless `body` is empty. In
/// both key and value exactly "&", "=", "+" and "%" are percent-encoded (%26,
/// %3D, %2B, %25); every other byte, spaces and non-ASCII included, is copied
/// unchanged, so a standard form parser reads the field back as given and no
/// value can add, split or change a field.
///   std::string body = "a=1";
///   appendFormField(body, "b", "2&3");  // body == "a=1&b=2%263"
void appendFormField(std::string& body, std::string_view key, std::string_view value);

/// Appends `text` with exactly "&", "=", "+" and "%" percent-encoded, as appendFormField()
/// writes a key or a value.
void appendFormEscaped(std::string& body, std::string_view text);

/// How many bytes `text` takes escaped as appendFormEscaped() escapes it.
///   formEscapedSize("a&b") == 5
std::size_t formEscapedSize(std::string_view text);

/// Writes `text` escaped at `out`, which has room for its `escapedSize`
/// (formEscapedSize(text)); returns the end of what it wrote.
char* writeFormEscaped(char* out, std::string_view text, std::size_t escapedSize);

/// Whether `text` holds none of "&", "=", "+" and "%": the library's own field names and
/// action codes, which go into a body as they are.
constexpr bool isFormPlain(std::string_view text) {
  return text.find_first_of("&=+%") == std::string_view::npos;
}

}  // namespace tavrello::internal
