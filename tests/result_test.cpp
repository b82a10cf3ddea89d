// TavrelloResult: what each constructor sets, and description() on every kind of reply.
// The UTF-8 edge cases live in the description fuzz target's corpus, checked against an
// independent decoder.
#include <gtest/gtest.h>

#include <tavrello/tavrello_result.hpp>

#include <string>

#include "support/stdout_capture.hpp"

namespace {

using tavrello::Bytes;
using tavrello::TavrelloResult;
using tavrello::testing::stdoutOf;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Result, ConstructorsSetOnlyTheirOwnProperty) {
  EXPECT_EQ(TavrelloResult(false).reason(), "");
  EXPECT_EQ(TavrelloResult(true).reason(), "key");
  // The dictionary is kept as the one message; none of its keys is looked at.
  const TavrelloResult dictionary(std::map<std::string, std::any>{{"result", std::string("ok")}});
  ASSERT_TRUE(dictionary.message().has_value());
  EXPECT_EQ(dictionary.message()->size(), 1u);
  EXPECT_EQ(dictionary.result(), "FAIL");
}

// description() on each kind of reply: what it returns and prints (each time it is called,
// the same), and what it stores.
TEST(Result, DescriptionReturnsPrintsAndStoresAsDocumented) {
  const struct {
    std::optional<std::string> body;  // nullopt: no response
    std::string returned;
    std::string printed;
    const char* reason;  // after description()
  } rows[] = {
      {std::nullopt, "Error: No response", "", ""},
      {"\xff", "Error: Couldn't print JSON in String", "", ""},
      {"null", "null", "", "http"},
      {" null", " null", " null\n", ""},
      {"", "", "\n", ""},
      {"{\"n\":\"caf\xc3\xa9\"}", "{\"n\":\"caf\xc3\xa9\"}", "{\"n\":\"caf\xc3\xa9\"}\n", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.returned);
    TavrelloResult result;
    if (row.body) result = TavrelloResult(bytesOf(*row.body));
    result.setResult("ok");
    EXPECT_EQ(stdoutOf([&] {
                EXPECT_EQ(result.description(), row.returned);
                EXPECT_EQ(result.description(), row.returned);
              }),
              row.printed + row.printed);
    EXPECT_EQ(result.reason(), row.reason);
    EXPECT_EQ(result.result(), "ok");
    const bool noResult = row.body == std::optional<std::string>("null");
    ASSERT_EQ(result.message().has_value(), noResult);
    if (noResult) {
      EXPECT_EQ(std::any_cast<std::string>(result.message()->at(0).at("error")), "No result data");
    }
  }
}

}  // namespace
