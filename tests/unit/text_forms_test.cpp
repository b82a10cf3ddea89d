#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale>
#include <optional>
#include <random>
#include <string>

#include "internal/text_forms.hpp"

namespace {

using namespace tavrello::internal;

TEST(TimestampText, KnownValues) {
  const std::pair<double, const char*> cases[] = {
      {1700000000.0, "1700000000.0"},  // whole second: point and one zero
      {1700000000.5, "1700000000.5"},  // half a second
      {1700000000.25, "1700000000.25"},
      {0.0, "0.0"},
      {1733479941.123456, "1733479941.123456"},
      {1733479941.1234567, "1733479941.1234567"},  // all shortest digits, none cut
      {0.1, "0.1"},
      {1e-7, "0.0000001"},  // fixed, never an exponent
      {1e21, "1000000000000000000000.0"},
  };
  for (const auto& [value, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(timestampText(value), text);
  }
}

TEST(TimestampText, RoundTripsAndStaysFixedForRandomTimes) {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> seconds(0.0, 4102444800.0);  // up to year 2100
  for (int i = 0; i < 20000; ++i) {
    double value = seconds(random);
    std::string text = timestampText(value);
    ASSERT_EQ(text.find_first_not_of("0123456789."), std::string::npos) << text;
    ASSERT_EQ(std::count(text.begin(), text.end(), '.'), 1) << text;
    ASSERT_NE(text.back(), '.');
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    // Shortest: dropping the last fractional digit no longer reads back the
    // same (unless that leaves no fractional digit at all).
    auto point = text.find('.');
    if (text.size() - point > 2) {
      std::string shorter = text.substr(0, text.size() - 1);
      EXPECT_NE(std::strtod(shorter.c_str(), nullptr), value) << text;
    }
  }
}

struct DecimalComma : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(TimestampText, IgnoresTheLocale) {
  std::locale previous = std::locale::global(std::locale(std::locale::classic(), new DecimalComma));
  const char* cLocale = nullptr;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
    if ((cLocale = std::setlocale(LC_ALL, name))) break;
  }
  EXPECT_EQ(timestampText(1700000000.5), "1700000000.5");
  EXPECT_EQ(timestampText(1700000000.0), "1700000000.0");
  std::locale::global(previous);
  std::setlocale(LC_ALL, "C");
}

TEST(DebugDescription, EscapesLikeTheDiagnosticForm) {
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {std::nullopt, "nil"},
      {std::string(), "Optional(\"\")"},
      {std::string("key-1"), "Optional(\"key-1\")"},
      {std::string("a\"b\\c'd"), "Optional(\"a\\\"b\\\\c\\'d\")"},
      {std::string("\t\n\r", 3), "Optional(\"\\t\\n\\r\")"},
      {std::string("a\0b", 3), "Optional(\"a\\0b\")"},
      {std::string("\x01\x1b\x1f\x7f"), "Optional(\"\\u{1}\\u{1b}\\u{1f}\\u{7f}\")"},
      {std::string("caf\xc3\xa9 |x|"), "Optional(\"caf\xc3\xa9 |x|\")"},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(debugDescription(input), expected);
  }
}

TEST(StrictUtf8, AcceptsWellFormedAndRejectsEveryIllFormedKind) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain ascii {}", true},
      {std::string("nul\0inside", 10), true},
      {"\xc3\xa9", true},          // U+00E9
      {"\xe2\x82\xac", true},      // U+20AC
      {"\xed\x9f\xbf", true},      // U+D7FF, just below the surrogates
      {"\xee\x80\x80", true},      // U+E000, just above them
      {"\xf0\x90\x80\x80", true},  // U+10000
      {"\xf4\x8f\xbf\xbf", true},  // U+10FFFF, the last code point
      {"\xff", false},
      {"\x80", false},              // stray continuation byte
      {"\xc0\xaf", false},          // overlong "/"
      {"\xc1\xbf", false},          // overlong
      {"\xe0\x80\xaf", false},      // overlong three-byte form
      {"\xf0\x80\x80\xaf", false},  // overlong four-byte form
      {"\xed\xa0\x80", false},      // U+D800, a surrogate
      {"\xed\xbf\xbf", false},      // U+DFFF
      {"\xf4\x90\x80\x80", false},  // U+110000
      {"\xf5\x80\x80\x80", false},
      {"\xc3", false},  // truncated
      {"\xe2\x82", false},
      {"\xf0\x90\x80", false},
      {"\xe2\x28\xa1", false},        // bad continuation
      {"ok\xc3\xa9then\xc3", false},  // truncated at the very end
  };
  for (const auto& [bytes, valid] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_EQ(isStrictUtf8(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
              valid);
  }
}

}  // namespace
