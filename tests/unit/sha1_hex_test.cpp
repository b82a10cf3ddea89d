#include <gtest/gtest.h>

#include <string>

#include "internal/sha1_hex.hpp"

namespace {

using tavrello::internal::sha1Hex;

struct Vector {
  std::string input;
  const char* digest;
};

// Published test vectors for SHA-1 (FIPS 180 examples and the one-million-'a'
// message), plus UTF-8 input, which is hashed as its bytes.
TEST(Sha1Hex, KnownAnswers) {
  const Vector vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"The quick brown fox jumps over the lazy dog", "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12"},
      {"\xc3\xa9", "bf15be717ac1b080b4f1c456692825891ff5073d"},  // "é"
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.input.substr(0, 40));
    EXPECT_EQ(sha1Hex(v.input), v.digest);
  }
}

// "abc" digests to ...47 06 81...: a byte below 16 keeps its leading zero.
TEST(Sha1Hex, AlwaysFortyLowerCaseDigits) {
  EXPECT_NE(sha1Hex("abc").find("4706"), std::string::npos);
  for (int i = 0; i < 500; ++i) {
    std::string digest = sha1Hex(std::to_string(i));
    ASSERT_EQ(digest.size(), 40u);
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos) << digest;
  }
}

}  // namespace
