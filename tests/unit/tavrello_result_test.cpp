#include <gtest/gtest.h>

#include <tavrello/tavrello_result.hpp>

#include <string>
#include <type_traits>

namespace {

using tavrello::Bytes;
using tavrello::Message;
using tavrello::TavrelloResult;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

// A string literal would convert to bool and silently build a "key" failure.
static_assert(!std::is_constructible_v<TavrelloResult, const char*>);
static_assert(!std::is_constructible_v<TavrelloResult, const char (&)[4]>);
static_assert(std::is_constructible_v<TavrelloResult, bool>);
static_assert(!std::is_convertible_v<bool, TavrelloResult>, "constructors are explicit");
static_assert(std::has_virtual_destructor_v<TavrelloResult>);

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string messageError(const TavrelloResult& result) {
  return std::any_cast<std::string>(result.message()->at(0).at("error"));
}

void expectInitial(const TavrelloResult& r, const std::string& reason) {
  EXPECT_FALSE(r.message().has_value());
  EXPECT_EQ(r.result(), "FAIL");
  EXPECT_EQ(r.type(), "[String:Any]");
  EXPECT_EQ(r.reason(), reason);
  EXPECT_FALSE(r.response().has_value());
}

TEST(TavrelloResult, ConstructorsSetOnlyTheirOwnProperty) {
  ASSERT_EQ(TavrelloResult::NO_RESULT.size(), 1u);
  ASSERT_EQ(TavrelloResult::NO_RESULT[0].size(), 1u);
  EXPECT_EQ(TavrelloResult::NO_RESULT[0].at("error"), "No result data");

  expectInitial(TavrelloResult(), "");
  expectInitial(TavrelloResult(false), "");
  expectInitial(TavrelloResult(true), "key");

  TavrelloResult empty((Bytes()));
  ASSERT_TRUE(empty.response().has_value());  // present, zero bytes
  EXPECT_TRUE(empty.response()->empty());
  EXPECT_EQ(empty.result(), "FAIL");

  TavrelloResult dictionary(std::map<std::string, std::any>{});
  ASSERT_TRUE(dictionary.message().has_value());
  ASSERT_EQ(dictionary.message()->size(), 1u);
  EXPECT_TRUE(dictionary.message()->at(0).empty());

  // No key of the map is looked at.
  TavrelloResult ok(
      std::map<std::string, std::any>{{"result", std::string("ok")}, {"reason", std::string("x")}});
  EXPECT_EQ(ok.result(), "FAIL");
  EXPECT_EQ(ok.reason(), "");
}

TEST(TavrelloResult, DescriptionWithoutABodyOrWithBadUtf8ChangesNothing) {
  TavrelloResult fromDictionary(std::map<std::string, std::any>{{"k", 1}});
  TavrelloResult badBytes(Bytes{0xFF});
  TavrelloResult overlong(Bytes{0xC0, 0xAF});
  TavrelloResult written;
  written.setReason("Invalid URL");

  CaptureStdout();
  EXPECT_EQ(TavrelloResult().description(), "Error: No response");
  EXPECT_EQ(TavrelloResult(true).description(), "Error: No response");
  EXPECT_EQ(fromDictionary.description(), "Error: No response");
  EXPECT_EQ(written.description(), "Error: No response");
  EXPECT_EQ(badBytes.description(), "Error: Couldn't print JSON in String");
  EXPECT_EQ(overlong.description(), "Error: Couldn't print JSON in String");
  EXPECT_EQ(GetCapturedStdout(), "");  // nothing printed
  EXPECT_EQ(written.reason(), "Invalid URL");
  EXPECT_EQ(badBytes.reason(), "");
  EXPECT_FALSE(badBytes.message().has_value());
}

TEST(TavrelloResult, DescriptionOfNullStoresTheStockMessage) {
  TavrelloResult result(bytesOf("null"));
  result.setResult("ok");
  CaptureStdout();
  EXPECT_EQ(result.description(), "null");
  EXPECT_EQ(result.description(), "null");  // again: same text, same values
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(result.reason(), "http");
  EXPECT_EQ(result.result(), "ok");  // unchanged
  ASSERT_TRUE(result.message().has_value());
  ASSERT_EQ(result.message()->size(), 1u);
  EXPECT_EQ(result.message()->at(0).size(), 1u);
  EXPECT_EQ(messageError(result), "No result data");
}

TEST(TavrelloResult, DescriptionPrintsAnyOtherTextWithALineFeed) {
  const std::string texts[] = {"",
                               " null",
                               "NULL",
                               "null\n",
                               "{}",
                               "<html>x</html>",
                               "{\"name\":\"caf\xc3\xa9\"}",
                               std::string("a\0b", 3)};
  for (const auto& text : texts) {
    SCOPED_TRACE(::testing::PrintToString(text));
    TavrelloResult result(bytesOf(text));
    CaptureStdout();
    EXPECT_EQ(result.description(), text);
    EXPECT_EQ(GetCapturedStdout(), text + "\n");
    EXPECT_EQ(result.reason(), "");
    EXPECT_FALSE(result.message().has_value());
  }
}

// description() reads and writes through the virtual accessors.
TEST(TavrelloResult, DescriptionGoesThroughOverriddenAccessors) {
  struct Counting : TavrelloResult {
    using TavrelloResult::TavrelloResult;
    mutable int reads = 0;
    int reasonWrites = 0;
    const std::optional<Bytes>& response() const override {
      ++reads;
      return TavrelloResult::response();
    }
    void setReason(std::string reason) override {
      ++reasonWrites;
      TavrelloResult::setReason(std::move(reason));
    }
  };
  Counting result(bytesOf("null"));
  result.description();
  EXPECT_GE(result.reads, 1);
  EXPECT_EQ(result.reasonWrites, 1);
}

TEST(TavrelloResult, WritesReplaceWholeValuesAndCanMakeThemAbsent) {
  TavrelloResult result(bytesOf("{}"));
  result.setMessage(Message{{{"a", 1}}});
  result.setResponse(std::nullopt);
  result.setType("custom");
  EXPECT_FALSE(result.response().has_value());
  EXPECT_EQ(result.type(), "custom");
  result.setMessage(std::nullopt);
  EXPECT_FALSE(result.message().has_value());
}

}  // namespace
