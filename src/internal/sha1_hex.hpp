// SHA-1 through OpenSSL's EVP interface.
#pragma once

#include <string>
#include <string_view>

namespace tavrello::internal {

/// Writes the 40 lower-case hex digits of SHA-1 over the bytes of `text` to `hex`.
void sha1Hex(std::string_view text, char (&hex)[40]);

/// The same, as a string.
///   sha1Hex("abc") == "a9993e364706816aba3e25717850c26c9cd0d89d"
std::string sha1Hex(std::string_view text);

}  // namespace tavrello::internal
