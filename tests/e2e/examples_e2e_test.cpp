// The example applications against a sandbox service: every step runs, and the exit code
// tells whether any failed. runProgram() checks that no key is printed.
#include <iterator>
#include <regex>
#include <string>

#include "e2e_support.hpp"

namespace e2e {
namespace {

class ExamplesTest : public SandboxTest {};

long countOf(const std::string& text, const std::regex& pattern) {
  return std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), {});
}

TEST_F(ExamplesTest, QuickTourRunsEveryStepAndExitsNonZeroWhenRefused) {
  const RunResult run = runProgram(TAVRELLO_E2E_TOUR, {}, service_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const char* step :
       {"== getLastData(m-0001)\n", "== getObjectsData(1)\n", "== getGroups()\n",
        "== createGroup(Quick tour)\n", "== addGroupMember(g-", "done: 0 step(s) failed\n"}) {
    EXPECT_NE(run.out.find(step), std::string::npos) << step << " in " << run.out;
  }
  // The service holds what the tour did.
  const RunResult groups =
      runProgram(TAVRELLO_E2E_CLI, {"get-groups-with-object", "m-0001"}, service_);
  EXPECT_NE(groups.out.find(R"("group_name":"Quick tour")"), std::string::npos) << groups.out;

  Environment wrongKey = service_;
  wrongKey["TAVRELLO_SERVER_KEY"] = "not-the-server-key";
  const RunResult refused = runProgram(TAVRELLO_E2E_TOUR, {}, wrongKey);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.out.find("FAILED: 4 step(s) failed"), std::string::npos) << refused.out;
}

TEST_F(ExamplesTest, EventLoopExampleRunsEveryHandlerAndExitsNonZeroWhenNothingListens) {
  const RunResult run = runProgram(TAVRELLO_E2E_ASIO, {}, service_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(countOf("\n" + run.out, std::regex("\n== ")), 3) << run.out;  // one line per handler
  EXPECT_NE(run.out.find("done: 0 operation(s) failed\n"), std::string::npos) << run.out;

  sandbox_.stop();
  const RunResult failed = runProgram(TAVRELLO_E2E_ASIO, {}, service_);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(countOf(failed.out, std::regex("failed: http")), 3) << failed.out;
}

}  // namespace
}  // namespace e2e
