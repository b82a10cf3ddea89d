// Form parsing, number parsing, UTF-8 and signature helpers of the sandbox service.
#include "sandbox_wire.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <tuple>

#include "sandbox_test_support.hpp"

namespace tavrello::sandbox {
namespace {

TEST(SandboxFormTest, ParsesFieldsTable) {
  const std::pair<const char*, std::vector<FormField>> cases[] = {
      {"", {}},
      {"a=1&b=&flag", {{"a", "1"}, {"b", ""}, {"flag", ""}}},
      {"&&a=1&", {{"a", "1"}}},
      {"=v", {{"", "v"}}},
      {"k=x=y=z", {{"k", "x=y=z"}}},                              // split at the first "=" only
      {"k=a+b%20c", {{"k", "a b c"}}},                            // "+" and %20 are spaces
      {"k=%26%3D%2B%25", {{"k", "&=+%"}}},                        // escaped separators stay data
      {"k=%c3%A9", {{"k", "\xc3\xa9"}}},                          // either hex case
      {"k=%zz%4%&u=%u0041", {{"k", "%zz%4%"}, {"u", "%u0041"}}},  // bad escapes stay literal
      {"k=%00x", {{"k", std::string("\0x", 2)}}},                 // any byte may come out
      {" a = b ", {{" a ", " b "}}},                              // nothing is trimmed
      {"a=1&a=1", {{"a", "1"}, {"a", "1"}}},                      // repeats kept for the caller
      {"%61%3d=1", {{"a=", "1"}}},                                // names are decoded too
  };
  for (const auto& [body, fields] : cases) {
    EXPECT_EQ(parseForm(body), fields) << body;
  }
}

TEST(SandboxFormTest, AgreesWithHttplibOnOrdinaryBodies) {
  // Where httplib's form parser has no quirk of its own (it drops repeats, trims blanks and
  // reads %uXXXX), both parsers must read the same fields.
  for (const std::string& body :
       {std::string("a=1&b=2"), std::string("x=%41%42+c&cert_key=ab"),
        sandbox_test::formBody(
            {{"group_name", "Caf\xc3\xa9 & bar = 100% + 1"}, {"n", "\x01\xff"}})}) {
    httplib::Params expected;
    httplib::detail::parse_query_text(body, expected);
    std::multimap<std::string, std::string> actual;
    for (auto& field : parseForm(body)) actual.insert(field);
    EXPECT_EQ(actual, expected) << body;
  }
}

TEST(SandboxNumberTest, ParsesDecimalTextsOnly) {
  const auto ok = NumberStatus::kOk, nan = NumberStatus::kNotANumber,
             big = NumberStatus::kOutOfRange;
  const std::tuple<const char*, NumberStatus, NumberStatus> cases[] = {
      // text, as unsigned, as signed
      {"007", ok, ok},
      {"-5", nan, ok},
      {"", nan, nan},
      {"-", nan, nan},
      {"+5", nan, nan},
      {" 5", nan, nan},
      {"5 ", nan, nan},
      {"1.5", nan, nan},
      {"1e3", nan, nan},
      {"0x10", nan, nan},
      {"18446744073709551615", ok, big},
      {"18446744073709551616", big, big},
      {"-9223372036854775808", nan, ok},
      {"-9223372036854775809", nan, big},
  };
  for (const auto& [text, asUnsigned, asSigned] : cases) {
    std::uint64_t u = 0;
    std::int64_t s = 0;
    EXPECT_EQ(parseUnsigned(text, u), asUnsigned) << text;
    EXPECT_EQ(parseSigned(text, s), asSigned) << text;
  }
  for (const char* good : {"0", "1700000000", "1700000000.123456"}) {
    EXPECT_TRUE(isDecimalSeconds(good)) << good;
  }
  for (const char* bad : {"", "n", ".5", "5.", "1.2.3", "-1", "1e9", " 1"}) {
    EXPECT_FALSE(isDecimalSeconds(bad)) << bad;
  }
}

TEST(SandboxSignatureTest, Sha1KnownAnswersAndCertKey) {
  EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(certKey("1700000000.25", "k|", "s"), sandbox_test::sign("1700000000.25", "k|", "s"));
  EXPECT_FALSE(sameSecret("abc", "abd"));
  EXPECT_FALSE(sameSecret("abc", "ab"));
}

TEST(SandboxUtf8Test, AcceptsWellFormedOnly) {
  for (const char* good :
       {"", "Caf\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(isValidUtf8(good)) << good;
  }
  // Stray continuation, truncated, overlong, surrogate, above U+10FFFF, five-byte form.
  for (const char* bad : {"\x80", "\xc3", "\xe6\x97", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace tavrello::sandbox
