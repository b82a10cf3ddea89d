// The example applications against a sandbox service: every step runs, the exit code tells
// whether any failed, and no key is printed.
#include <algorithm>
#include <string>

#include "e2e_fixture.hpp"

namespace e2e {
namespace {

class ExamplesTest : public SandboxTest {};

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

TEST_F(ExamplesTest, QuickTourRunsEveryStepAndLeavesTheMemberInANewGroup) {
  const RunResult run = runChecked(TAVRELLO_E2E_TOUR, {}, serviceEnvironment());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* step : {"== getLastData(m-0001)\n", "== getObjectsData(1)\n", "== getGroups()\n",
                           "== createGroup(Quick tour)\n", "== addGroupMember(g-"}) {
    EXPECT_NE(run.out.find(step), std::string::npos) << step;
  }
  EXPECT_NE(run.out.find("done: 0 step(s) failed\n"), std::string::npos) << run.out;

  // The service holds what the tour did.
  const RunResult groups =
      runChecked(TAVRELLO_E2E_CLI, {"get-groups-with-object", "m-0001"}, serviceEnvironment());
  const nlohmann::json reply = parseJson(groups.out);
  const auto list = reply.value("/data/groups"_json_pointer, nlohmann::json::array());
  EXPECT_TRUE(std::any_of(list.begin(), list.end(), [](const nlohmann::json& group) {
    return group.value("group_name", "") == "Quick tour";
  })) << groups.out;
}

TEST_F(ExamplesTest, QuickTourExitsNonZeroWhenTheServiceRefuses) {
  Environment environment = serviceEnvironment();
  environment["TAVRELLO_SERVER_KEY"] = "not-the-server-key";
  const RunResult run = runChecked(TAVRELLO_E2E_TOUR, {}, environment);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("FAILED: 4 step(s) failed"), std::string::npos) << run.out;
}

TEST_F(ExamplesTest, EventLoopExampleRunsEveryHandlerOnTheLoopAndStops) {
  const RunResult run = runChecked(TAVRELLO_E2E_ASIO, {}, serviceEnvironment());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(countOf("\n" + run.out, "\n== "), 3u) << run.out;  // one line per handler
  EXPECT_NE(run.out.find("done: 0 operation(s) failed\n"), std::string::npos) << run.out;
}

TEST_F(ExamplesTest, EventLoopExampleExitsNonZeroWhenNothingListens) {
  sandbox_.stop();
  const RunResult run = runChecked(TAVRELLO_E2E_ASIO, {}, serviceEnvironment());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(countOf(run.out, "failed: http"), 3u) << run.out;
}

}  // namespace
}  // namespace e2e
