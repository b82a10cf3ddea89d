#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "form_fields.hpp"
#include "internal/form_body.hpp"

namespace {

using tavrello::Params;
using tavrello::internal::encodeFormBody;

std::multimap<std::string, std::string> parse(const std::string& body) {
  auto fields = tavrello::testing::parseFormFields(body);
  return {fields.begin(), fields.end()};
}

TEST(FormBody, FieldsJoinedByAmpersandInAnyOrder) {
  EXPECT_EQ(encodeFormBody({}), "");
  EXPECT_EQ(encodeFormBody({{"page", std::string("2")}}), "page=2");
  EXPECT_EQ(encodeFormBody({{"member_key", std::string()}}), "member_key=");

  std::string body = encodeFormBody({{"api_key", std::string("a")},
                                     {"timestamp", std::string("1.5")},
                                     {"cert_key", std::string("c")},
                                     {"member_key", std::string("m")}});
  EXPECT_EQ(std::count(body.begin(), body.end(), '&'), 3);
  std::vector<std::string> fields;
  for (const auto& [k, v] : parse(body)) fields.push_back(k + "=" + v);
  EXPECT_EQ(fields,
            (std::vector<std::string>{"api_key=a", "cert_key=c", "member_key=m", "timestamp=1.5"}));
}

TEST(FormBody, EscapesExactlyTheFourSeparatorCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"a&b", "v=a%26b"},
      {"a=b", "v=a%3Db"},
      {"a+b", "v=a%2Bb"},
      {"100%", "v=100%25"},
      {"%26", "v=%2526"},            // an escape in the input stays data
      {"two words", "v=two words"},  // space stays a space
      {"Z\xc3\xbcrich \xe6\x9d\xb1", "v=Z\xc3\xbcrich \xe6\x9d\xb1"},  // UTF-8 as is
      {"/?#;:@$,!*'()[]", "v=/?#;:@$,!*'()[]"},
  };
  for (const auto& [value, body] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(encodeFormBody({{"v", value}}), body);
  }
  EXPECT_EQ(encodeFormBody({{"k&=", std::string("x")}}), "k%26%3D=x");
}

TEST(FormBody, NoValueCanAddSplitOrChangeAField) {
  std::mt19937 random(7);
  const std::string alphabet = "&=+% a\xc3\xa9\x01\r\n;api";
  for (int round = 0; round < 2000; ++round) {
    Params params;
    std::multimap<std::string, std::string> expected;
    int count = 1 + static_cast<int>(random() % 5);
    for (int i = 0; i < count; ++i) {
      std::string key = "k" + std::to_string(i);
      std::string value;
      for (int n = random() % 12; n > 0; --n) value += alphabet[random() % alphabet.size()];
      params.emplace(key, value);
      expected.emplace(key, value);
    }
    ASSERT_EQ(parse(encodeFormBody(params)), expected);
  }
  Params hostile{{"group_name", std::string("x&api=api.common.group.set.delete")},
                 {"api", std::string("api.common.group.set.add")}};
  auto fields = parse(encodeFormBody(hostile));
  EXPECT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields.find("api")->second, "api.common.group.set.add");
}

TEST(FormBody, NonTextValuesUseTheirOrdinaryTextForm) {
  EXPECT_EQ(encodeFormBody({{"n", 42}}), "n=42");
  EXPECT_EQ(encodeFormBody({{"n", -7L}}), "n=-7");
  EXPECT_EQ(encodeFormBody({{"n", 2.5}}), "n=2.5");
  EXPECT_EQ(encodeFormBody({{"n", 1e300}}), "n=1e%2B300");  // exponent "+" escaped
  EXPECT_EQ(encodeFormBody({{"n", "lit&eral"}}), "n=lit%26eral");
  EXPECT_EQ(encodeFormBody({{"n", std::any()}}), "n=");  // kept, as empty text
}

}  // namespace
