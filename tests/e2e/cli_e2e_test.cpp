// The `tavrello` tool against a sandbox service: what it sends, what it prints, its exit
// codes and its command line. runProgram() checks every run for printed keys.
#include <algorithm>
#include <string>
#include <vector>

#include "e2e_support.hpp"

namespace e2e {
namespace {

using Json = nlohmann::json;
using Args = std::vector<std::string>;

class CliTest : public SandboxTest {
 protected:
  // Runs an operation that the service must accept and returns the reply's "data".
  Json accepted(const Args& args) {
    SCOPED_TRACE("tavrello " + ::testing::PrintToString(args));
    const RunResult run = runProgram(TAVRELLO_E2E_CLI, args, service_);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const Json reply = parseJson(run.out);
    EXPECT_EQ(reply.value("result", ""), "ok") << run.out;
    return reply.value("data", Json::object());
  }
};

TEST_F(CliTest, GroupTourCreatesRenamesFillsEmptiesAndDeletesAGroup) {
  // Names with "&", "=" and "%" travel as one field each.
  const Json created = accepted({"create-group", "E2E crew & co"});
  const std::string group = created.value("group_key", "");
  ASSERT_FALSE(group.empty());
  EXPECT_EQ(created.value("group_name", ""), "E2E crew & co");
  EXPECT_EQ(accepted({"edit-group-name", group, "renamed=100%"}).value("group_name", ""),
            "renamed=100%");
  EXPECT_EQ(accepted({"add-group-member", group, "m-0002"}).value("member_count", 0), 1);
  const Json members = accepted({"get-group-members", group});
  EXPECT_EQ(members.value("group_name", ""), "renamed=100%");
  EXPECT_EQ(members.value("members", Json::array()).size(), 1u);
  EXPECT_EQ(members.value("/members/0/member_key"_json_pointer, ""), "m-0002");
  const std::string quoted = "\"" + group + "\"";
  EXPECT_NE(accepted({"get-groups-with-object", "m-0002"}).dump().find(quoted), std::string::npos);
  EXPECT_EQ(accepted({"remove-group-member", group, "m-0002"}).value("member_count", -1), 0);
  EXPECT_EQ(accepted({"remove-group", group}).value("group_key", ""), group);
  EXPECT_EQ(accepted({"get-groups"}).dump().find(quoted), std::string::npos);
}

// The exit code and output of every kind of run. A refusal is a reply: the tool prints it and
// exits 0, and a script finds the refusal in the body's "error" ("" for an accepted request).
// A missing key or a failed exchange is one line on standard error and exit code 1; a usage
// error is exit code 2 before any request. Standard output is empty but for a reply.
TEST_F(CliTest, ExitCodeAndOutputOfEveryKindOfRun) {
  const std::string noApiKey = "error: no API key: pass --api-key or set TAVRELLO_API_KEY\n";
  const std::tuple<std::string, Args, int, std::string> cases[] = {
      // a change to the environment ("NAME=value", or "NAME" to remove it), the arguments,
      // the exit code, and the error code or the start of standard error
      {"TAVRELLO_SERVER_KEY=wrong", {"get-groups"}, 0, "bad_signature"},
      {"TAVRELLO_API_KEY=wrong", {"get-groups"}, 0, "unknown_api_key"},
      // Arguments in order: MEMBER, then START (from_date) and END (to_date); PAGE.
      {"", {"get-last-data", "m-9999"}, 0, "unknown_member"},
      {"", {"get-data-between-24-hours", "m-0001", "200", "100"}, 0, "window_reversed"},
      {"", {"get-objects-data", "99"}, 0, "page_out_of_range"},
      // Flags before or after the subcommand override the environment.
      {"TAVRELLO_HOST=127.0.0.1:1", {"--host", sandbox_.host(), "get-groups"}, 0, ""},
      {"TAVRELLO_API_KEY=wrong", {"get-groups", "--api-key", kApiKey}, 0, ""},
      {"TAVRELLO_SERVER_KEY=wrong", {"get-groups", "--server-key", kServerKey}, 0, ""},
      {"TAVRELLO_API_KEY", {"get-groups"}, 1, noApiKey},
      {"", {"--api-key", "", "get-groups"}, 1, noApiKey},
      {"TAVRELLO_SERVER_KEY", {"get-groups"}, 1, "error: no server key: pass --server-key or"},
      {"", {"--host", "no such host/", "get-groups"}, 1, "error: Invalid URL"},
      {"TAVRELLO_HOST=127.0.0.1:1", {"get-groups"}, 1, "error: http"},  // nothing listens there
      {"", {}, 2, ""},
      {"", {"no-such-command"}, 2, ""},
      {"", {"edit-group-name", "g-001"}, 2, ""},
      {"", {"get-groups", "extra"}, 2, ""},
      {"", {"--no-such-option", "get-groups"}, 2, ""},
  };
  for (const auto& [change, args, exitCode, error] : cases) {
    SCOPED_TRACE(change + " tavrello " + ::testing::PrintToString(args));
    Environment environment = service_;
    const std::string name = change.substr(0, change.find('='));
    environment.erase(name);
    if (name != change) environment[name] = change.substr(name.size() + 1);
    const RunResult run = runProgram(TAVRELLO_E2E_CLI, args, environment);
    EXPECT_EQ(run.exitCode, exitCode);
    if (exitCode == 0) {
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(parseJson(run.out).value("/error/code"_json_pointer, ""), error) << run.out;
    } else {
      EXPECT_EQ(run.out, "");
      EXPECT_NE(run.err, "");
      EXPECT_EQ(run.err.rfind(error, 0), 0u) << run.err;
      EXPECT_TRUE(exitCode != 1 || std::count(run.err.begin(), run.err.end(), '\n') == 1)
          << run.err;
    }
  }
}

TEST_F(CliTest, PrettyOutputIsIndentedJsonWithTheSameContent) {
  for (const char* member : {"m-0001", "m-9999"}) {  // a reply and a refusal
    const RunResult raw = runProgram(TAVRELLO_E2E_CLI, {"get-last-data", member}, service_);
    const RunResult pretty =
        runProgram(TAVRELLO_E2E_CLI, {"--pretty", "get-last-data", member}, service_);
    EXPECT_EQ(pretty.exitCode, 0);
    // The raw body is one line of JSON, printed unchanged plus a line feed.
    EXPECT_EQ(std::count(raw.out.begin(), raw.out.end(), '\n'), 1);
    EXPECT_EQ(pretty.out.compare(0, 4, "{\n  "), 0) << pretty.out;
    // Same values, and the members in the order the service sent them.
    EXPECT_EQ(nlohmann::ordered_json::parse(pretty.out), nlohmann::ordered_json::parse(raw.out));
  }
}

}  // namespace
}  // namespace e2e
