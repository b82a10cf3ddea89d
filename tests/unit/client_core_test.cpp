#include <gtest/gtest.h>

#include <tavrello/tavrello.hpp>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "internal/sha1_hex.hpp"

namespace tavrello {

// Reaches the client's private members, taking its lock as an operation does.
struct TavrelloAPITestAccess {
  static bool hashKey() {
    auto& api = TavrelloAPI::shared();
    std::lock_guard lock(api.mutex_);
    return api.hashKey();
  }
  static void setTimestamp() {
    auto& api = TavrelloAPI::shared();
    std::lock_guard lock(api.mutex_);
    api.setTimestamp();
  }
  static void unsetTimeStamp() {
    auto& api = TavrelloAPI::shared();
    std::lock_guard lock(api.mutex_);
    api.unsetTimeStamp();
  }
  static std::string timestamp() {
    auto& api = TavrelloAPI::shared();
    std::lock_guard lock(api.mutex_);
    return api.TIMESTAMP;
  }
  static std::string certKey() {
    auto& api = TavrelloAPI::shared();
    std::lock_guard lock(api.mutex_);
    return api.getCertKey();
  }
};

namespace {

using Access = TavrelloAPITestAccess;

std::string text(const Params& params, const std::string& key) {
  return std::any_cast<std::string>(params.at(key));
}

std::string printed() {
  ::testing::internal::CaptureStdout();
  TavrelloAPI::shared().printTest();
  return ::testing::internal::GetCapturedStdout();
}

bool isTimestampText(const std::string& t) {
  return t.size() > 2 && t.find_first_not_of("0123456789.") == std::string::npos &&
         std::count(t.begin(), t.end(), '.') == 1 && t.back() != '.';
}

// The client is process-wide and keys can never be unset, so checks that need
// a client nobody has touched run in a child process of their own.
#define IN_FRESH_PROCESS(body)                            \
  EXPECT_EXIT(                                            \
      {                                                   \
        body;                                             \
        std::exit(::testing::Test::HasFailure() ? 1 : 0); \
      },                                                  \
      ::testing::ExitedWithCode(0), "")

class ClientCore : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ClientCore, SharedIsOneInstance) {
  EXPECT_EQ(&TavrelloAPI::shared(), &TavrelloAPI::shared());
  TavrelloAPI* seen[4] = {};
  std::thread threads[4];
  for (int i = 0; i < 4; ++i)
    threads[i] = std::thread([&, i] { seen[i] = &TavrelloAPI::shared(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, &TavrelloAPI::shared());
}

TEST_F(ClientCore, FreshClientPrintsItsConstructionStampAndNoKeys) {
  IN_FRESH_PROCESS({
    std::string out = printed();
    auto firstLine = out.substr(0, out.find('\n'));
    EXPECT_TRUE(isTimestampText(firstLine)) << out;
    EXPECT_EQ(out, firstLine + "\nnil\nnil\n");
  });
}

TEST_F(ClientCore, PrintTestShowsKeysInDebugForm) {
  IN_FRESH_PROCESS({
    TavrelloAPI::shared().setApiKey("a\"b\\c\n\x01");
    std::string out = printed();
    EXPECT_NE(out.find("\nOptional(\"a\\\"b\\\\c\\n\\u{1}\")\nnil\n"), std::string::npos) << out;
    Access::unsetTimeStamp();
    TavrelloAPI::shared().setServerKey("");
    EXPECT_EQ(printed(), "n\nOptional(\"a\\\"b\\\\c\\n\\u{1}\")\nOptional(\"\")\n");
  });
}

TEST_F(ClientCore, HashKeyNeedsBothKeysPresentAndEmptyCounts) {
  IN_FRESH_PROCESS({
    Access::unsetTimeStamp();
    EXPECT_FALSE(Access::hashKey());
    TavrelloAPI::shared().setApiKey("api");
    EXPECT_FALSE(Access::hashKey());
    EXPECT_EQ(Access::timestamp(), "n");  // a refusal leaves the stamp alone
    TavrelloAPI::shared().setServerKey("");
    EXPECT_TRUE(Access::hashKey());
    EXPECT_TRUE(isTimestampText(Access::timestamp()));
  });
}

TEST_F(ClientCore, TimestampStateMachine) {
  IN_FRESH_PROCESS({
    const std::string constructed = Access::timestamp();
    ASSERT_TRUE(isTimestampText(constructed));
    Access::setTimestamp();  // the construction stamp is kept
    EXPECT_EQ(Access::timestamp(), constructed);
    TavrelloAPI::shared().setApiKey("a");
    TavrelloAPI::shared().setServerKey("b");
    EXPECT_EQ(Access::timestamp(), constructed);  // setters leave it alone
    Access::unsetTimeStamp();
    Access::unsetTimeStamp();
    EXPECT_EQ(Access::timestamp(), "n");
    Access::setTimestamp();
    const std::string stamped = Access::timestamp();
    EXPECT_TRUE(isTimestampText(stamped));
    EXPECT_GE(std::stod(stamped), std::stod(constructed));
    Access::setTimestamp();  // no unset in between: unchanged
    EXPECT_EQ(Access::timestamp(), stamped);
  });
}

TEST_F(ClientCore, SetterReplacesTheKey) {
  auto& api = TavrelloAPI::shared();
  api.setApiKey("first");
  api.setApiKey("second");
  EXPECT_EQ(text(api.getBasicParams(), "api_key"), "second");
}

TEST_F(ClientCore, BasicParamsSignTimestampAndBothKeys) {
  auto& api = TavrelloAPI::shared();
  struct Case {
    const char* apiKey;
    const char* serverKey;
  };
  const Case cases[] = {
      {"api", "server"},
      {"a|b", "c|d"},                              // bars hashed unchanged
      {"cl\xc3\xa9", "\xe6\x9d\xb1\xe4\xba\xac"},  // non-ASCII as UTF-8 bytes
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apiKey);
    api.setApiKey(c.apiKey);
    api.setServerKey(c.serverKey);
    Access::unsetTimeStamp();
    Access::setTimestamp();
    Params params = api.getBasicParams();
    ASSERT_EQ(params.size(), 3u);
    const std::string timestamp = text(params, "timestamp");
    EXPECT_EQ(timestamp, Access::timestamp());
    EXPECT_EQ(text(params, "api_key"), c.apiKey);
    EXPECT_EQ(text(params, "cert_key"),
              internal::sha1Hex(timestamp + "|" + c.apiKey + "|" + c.serverKey));
    for (const auto& [key, value] : params) EXPECT_NE(key, "server_key");
    // Nothing in between: the same dictionary again.
    Params again = api.getBasicParams();
    EXPECT_EQ(text(again, "timestamp"), timestamp);
    EXPECT_EQ(text(again, "cert_key"), text(params, "cert_key"));
  }
}

TEST_F(ClientCore, AbsentKeysAreSignedAsEmptyText) {
  IN_FRESH_PROCESS({
    auto& api = TavrelloAPI::shared();
    Access::unsetTimeStamp();  // read between operations: "n", never made on the fly
    Params params = api.getBasicParams();
    EXPECT_EQ(text(params, "timestamp"), "n");
    EXPECT_EQ(text(params, "api_key"), "");
    EXPECT_EQ(text(params, "cert_key"), internal::sha1Hex("n||"));
    api.setServerKey("server");
    EXPECT_EQ(text(api.getBasicParams(), "cert_key"), internal::sha1Hex("n||server"));
    EXPECT_EQ(text(api.getBasicParams(), "api_key"), "");
  });
}

TEST_F(ClientCore, ServiceHostDefaultsToTheCompiledHost) {
  EXPECT_EQ(TavrelloAPI::shared().serviceHost(), TAVRELLO_EXPECTED_DEFAULT_HOST);
  TavrelloAPI::shared().setServiceHost("example.test:80");
  EXPECT_EQ(TavrelloAPI::shared().serviceHost(), "example.test:80");
}

}  // namespace
}  // namespace tavrello
