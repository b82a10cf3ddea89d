// Testing your own code that uses the client, without the network: a GoogleTest test that
// starts the sandbox service in its own process (tavrello::sandbox, an optional component of
// the installed package), points the client at it, and makes it fail on purpose.
//
//   find_package(tavrello CONFIG REQUIRED COMPONENTS sandbox)
//   find_package(GTest REQUIRED)
//   target_link_libraries(my_tests PRIVATE tavrello::tavrello tavrello::sandbox GTest::gtest_main)
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <tavrello/sandbox.hpp>
#include <tavrello/tavrello.hpp>

// The application's code under test: creates a group for a team and returns the key the
// service gave it, or an empty text when the service refused or could not be reached.
std::string createTeam(const std::string& name) {
  std::shared_ptr<tavrello::TavrelloResult> result;
  tavrello::TavrelloAPI::shared().createGroup(name, [&](auto r) { result = std::move(r); });
  tavrello::MainQueue::shared().runUntil([&] { return result != nullptr; },
                                         std::chrono::seconds(70));
  if (!result || result->result() != "ok") return "";
  // The reply is {"result":"ok","data":{"group_key":"g-006",...}}; an application would use
  // its JSON parser here.
  const std::string body(result->response()->begin(), result->response()->end());
  const std::string marker = "\"group_key\":\"";
  const std::size_t start = body.find(marker);
  if (body.find("\"result\":\"ok\"") == std::string::npos || start == std::string::npos) return "";
  return body.substr(start + marker.size(),
                     body.find('"', start + marker.size()) - start - marker.size());
}

class CreateTeamTest : public ::testing::Test {
 protected:
  static tavrello::sandbox::Options options() {
    tavrello::sandbox::Options options;  // a free loopback port, a fixed world
    options.apiKey = "test-api-key";
    options.serverKey = "test-server-key";
    return options;
  }

  void SetUp() override {
    ASSERT_TRUE(sandbox.running()) << sandbox.error();
    auto& api = tavrello::TavrelloAPI::shared();
    api.setServiceHost(sandbox.host());
    api.setApiKey(options().apiKey);
    api.setServerKey(options().serverKey);
  }

  tavrello::sandbox::Sandbox sandbox{options()};
};

TEST_F(CreateTeamTest, TheServiceHoldsTheNewGroup) {
  const std::string key = createTeam("Night shift");
  ASSERT_FALSE(key.empty());
  const auto groups = sandbox.groups();
  EXPECT_EQ(groups.back().key, key);
  EXPECT_EQ(groups.back().name, "Night shift");
  // What the application sent, as the service received it.
  ASSERT_EQ(sandbox.requests().size(), 1u);
  EXPECT_EQ(sandbox.requests()[0].operation, "createGroup");
  EXPECT_EQ(sandbox.requests()[0].field("group_name"), "Night shift");
}

// Failure on purpose: the sandbox answers the next createGroup with a 503, as a service in
// maintenance would, and the one after it as usual.
TEST_F(CreateTeamTest, AServiceFailureGivesNoKeyAndTheNextCallWorks) {
  ASSERT_TRUE(sandbox.injectFault({"createGroup", 503, R"({"error":"maintenance"})"}));
  EXPECT_EQ(createTeam("Night shift"), "");
  EXPECT_EQ(sandbox.groups().size(), 5u);  // the failed call created nothing
  EXPECT_FALSE(createTeam("Night shift").empty());
}

TEST_F(CreateTeamTest, ARefusalGivesNoKey) {
  EXPECT_EQ(createTeam(""), "");  // the service refuses an empty name
  sandbox.stop();
  EXPECT_EQ(createTeam("Day shift"), "");  // and nothing answers any more
}
