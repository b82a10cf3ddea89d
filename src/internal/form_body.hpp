// Form encoding of a request's parameters.
#pragma once

#include <string>
#include <string_view>

#include <tavrello/types.hpp>

namespace tavrello::internal {

/// Appends `text` with exactly "&", "=", "+" and "%" percent-encoded (%26,
/// %3D, %2B, %25). Every other byte, spaces and non-ASCII included, is copied
/// unchanged, so a standard form parser reads the text back as given.
void appendFormEscaped(std::string& out, std::string_view text);

/// Appends one field, "key=value" with both escaped as above, after a "&"
/// unless `body` is empty.
///   std::string body = "a=1";
///   appendFormField(body, "b", "2&3");  // body == "a=1&b=2%263"
void appendFormField(std::string& body, std::string_view key, std::string_view value);

/// One "key=value" field per entry, joined by "&", in the map's iteration
/// order; keys and values escaped as above. An empty map gives "".
/// std::string, const char* and std::string_view values are written as
/// text, integers in decimal, floating point in shortest round-trip form;
/// a value of any other type (or an empty std::any) is written as empty text,
/// so no entry is ever dropped.
///   encodeFormBody({{"api", std::string("a&b")}}) == "api=a%26b"
std::string encodeFormBody(const Params& params);

}  // namespace tavrello::internal
