// SHA-1 through OpenSSL's EVP interface.
#pragma once

#include <string>
#include <string_view>

namespace tavrello::internal {

/// 40 lower-case hex digits of SHA-1 over the bytes of `text`.
///   sha1Hex("abc") == "a9993e364706816aba3e25717850c26c9cd0d89d"
std::string sha1Hex(std::string_view text);

}  // namespace tavrello::internal
