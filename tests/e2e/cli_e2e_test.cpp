// The `tavrello` tool against a sandbox service: what it sends, what it prints, its exit
// codes and its command line.
#include <algorithm>
#include <string>
#include <vector>

#include "e2e_fixture.hpp"

namespace e2e {
namespace {

using Json = nlohmann::json;
using Args = std::vector<std::string>;

std::vector<std::string> column(const Json& rows, const char* name) {
  std::vector<std::string> out;
  for (const Json& row : rows) out.push_back(row.value(name, ""));
  return out;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class CliTest : public SandboxTest {
 protected:
  RunResult cli(const Args& args) { return cli(args, serviceEnvironment()); }
  RunResult cli(const Args& args, const Environment& environment) {
    return runChecked(TAVRELLO_E2E_CLI, args, environment);
  }

  // Runs an operation that the service must accept and returns the reply's "data".
  Json accepted(const Args& args) {
    SCOPED_TRACE("tavrello " + ::testing::PrintToString(args));
    const RunResult run = cli(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const Json reply = parseJson(run.out);
    if (!reply.is_object() || reply.value("result", "") != "ok") {
      ADD_FAILURE() << "not accepted: " << run.out;
      return Json::object();
    }
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
  EXPECT_EQ(column(members.value("members", Json::array()), "member_key"), Args{"m-0002"});
  EXPECT_TRUE(
      contains(column(accepted({"get-groups-with-object", "m-0002"}).value("groups", Json::array()),
                      "group_key"),
               group));

  EXPECT_EQ(accepted({"remove-group-member", group, "m-0002"}).value("member_count", -1), 0);
  EXPECT_EQ(accepted({"remove-group", group}).value("group_key", ""), group);
  EXPECT_FALSE(contains(
      column(accepted({"get-groups"}).value("groups", Json::array()), "group_key"), group));
}

TEST_F(CliTest, QueriesPassTheirArgumentsInOrder) {
  const Json last = accepted({"get-last-data", "m-0003"});
  EXPECT_EQ(last.value("member_key", ""), "m-0003");
  const long long end = last.value("/location/time"_json_pointer, 0LL);
  ASSERT_GT(end, 0);

  // The hour up to the last fix: START is from_date and END is to_date.
  const std::string from = std::to_string(end - 3600);
  const Json window = accepted({"get-data-between-24-hours", "m-0003", from, std::to_string(end)});
  EXPECT_EQ(window.value("from_date", 0LL), end - 3600);
  EXPECT_EQ(window.value("to_date", 0LL), end);
  const Json locations = window.value("locations", Json::array());
  ASSERT_FALSE(locations.empty());
  EXPECT_EQ(locations.back().value("time", 0LL), end);

  const Json page = accepted({"get-objects-data", "2"});
  EXPECT_EQ(page.value("page", 0), 2);
  const Json pageMembers = page.value("members", Json::array());
  ASSERT_FALSE(pageMembers.empty());
  EXPECT_EQ(pageMembers.front().value("member_key", ""), "m-0101");
}

// The exchange succeeded, so the tool prints the body and exits 0; the refusal is in the
// body's "result" and "error", where a script finds it.
TEST_F(CliTest, ServiceRefusalsArePrintedWithExitCodeZero) {
  struct Case {
    const char* what;
    const char* variable;  // environment variable to change, or nullptr
    const char* value;
    Args args;
    const char* code;
  };
  const Case cases[] = {
      {"wrong server key",
       "TAVRELLO_SERVER_KEY",
       "not-the-server-key",
       {"get-groups"},
       "bad_signature"},
      {"wrong API key", "TAVRELLO_API_KEY", "not-the-api-key", {"get-groups"}, "unknown_api_key"},
      {"unknown member", nullptr, nullptr, {"get-last-data", "m-9999"}, "unknown_member"},
      {"START after END",
       nullptr,
       nullptr,
       {"get-data-between-24-hours", "m-0001", "200", "100"},
       "window_reversed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Environment environment = serviceEnvironment();
    if (c.variable != nullptr) environment[c.variable] = c.value;
    const RunResult run = cli(c.args, environment);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    const Json reply = parseJson(run.out);
    EXPECT_EQ(reply.value("result", ""), "fail");
    EXPECT_EQ(reply.value("/error/code"_json_pointer, ""), c.code);
  }
}

TEST_F(CliTest, AMissingKeyIsOneLineOnStderrAndExitCodeOne) {
  const std::string noApiKey = "error: no API key: pass --api-key or set TAVRELLO_API_KEY\n";
  const std::string noServerKey =
      "error: no server key: pass --server-key or set TAVRELLO_SERVER_KEY\n";
  Environment noApi = serviceEnvironment();
  noApi.erase("TAVRELLO_API_KEY");
  Environment emptyApi = serviceEnvironment();
  emptyApi["TAVRELLO_API_KEY"] = "";
  Environment noServer = serviceEnvironment();
  noServer.erase("TAVRELLO_SERVER_KEY");
  Environment neither = noApi;
  neither.erase("TAVRELLO_SERVER_KEY");
  struct Case {
    const char* what;
    Environment environment;
    Args extraArgs;
    std::string message;
  };
  const Case cases[] = {
      {"no API key", noApi, {}, noApiKey},
      {"empty TAVRELLO_API_KEY", emptyApi, {}, noApiKey},
      {"empty --api-key", serviceEnvironment(), {"--api-key", ""}, noApiKey},
      {"no server key", noServer, {}, noServerKey},
      {"neither key", neither, {}, noApiKey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Args args = c.extraArgs;
    args.insert(args.end(), {"get-last-data", "m-0001"});
    const RunResult run = cli(args, c.environment);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.message);
  }
}

TEST_F(CliTest, AFailedExchangeIsOneLineOnStderrAndExitCodeOne) {
  const RunResult invalid = cli({"--host", "no such host/", "get-groups"});
  EXPECT_EQ(invalid.exitCode, 1);
  EXPECT_EQ(invalid.out, "");
  EXPECT_EQ(invalid.err.rfind("error: Invalid URL", 0), 0u) << invalid.err;
  EXPECT_EQ(std::count(invalid.err.begin(), invalid.err.end(), '\n'), 1);

  sandbox_.stop();  // nothing listens on its port any more
  const RunResult refused = cli({"get-groups"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err.rfind("error: http", 0), 0u) << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);
}

TEST_F(CliTest, FlagsOverrideTheEnvironmentBeforeOrAfterTheSubcommand) {
  const Environment wrong = {{"TAVRELLO_HOST", "127.0.0.1:1"},
                             {"TAVRELLO_API_KEY", "wrong"},
                             {"TAVRELLO_SERVER_KEY", "wrong"}};
  const Args flags = {"--host", sandbox_.host(), "--api-key", kApiKey, "--server-key", kServerKey};
  Args before = flags;
  before.push_back("get-groups");
  Args after = {"get-groups"};
  after.insert(after.end(), flags.begin(), flags.end());
  for (const Args& args : {before, after}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult run = cli(args, wrong);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(parseJson(run.out).value("result", ""), "ok") << run.out;
  }
}

TEST_F(CliTest, PrettyOutputIsIndentedJsonWithTheSameContent) {
  for (const Args& args : {Args{"get-groups"}, Args{"get-last-data", "m-9999"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult raw = cli(args);
    Args prettyArgs = {"--pretty"};
    prettyArgs.insert(prettyArgs.end(), args.begin(), args.end());
    const RunResult pretty = cli(prettyArgs);
    EXPECT_EQ(pretty.exitCode, 0);
    ASSERT_FALSE(pretty.out.empty());
    // The raw body is one line of JSON, printed unchanged plus a line feed.
    EXPECT_EQ(std::count(raw.out.begin(), raw.out.end(), '\n'), 1);
    EXPECT_GT(std::count(pretty.out.begin(), pretty.out.end(), '\n'), 3);
    EXPECT_EQ(pretty.out.compare(0, 4, "{\n  "), 0) << pretty.out;
    EXPECT_EQ(pretty.out.back(), '\n');
    // Same values, and the members in the order the service sent them.
    EXPECT_EQ(nlohmann::ordered_json::parse(pretty.out), nlohmann::ordered_json::parse(raw.out));
  }
}

TEST(CliCommandLineTest, UsageErrorsExitTwoWithoutSendingAnything) {
  // No service at all: a usage error must be found before any request.
  const Environment environment = {{"TAVRELLO_HOST", "127.0.0.1:1"},
                                   {"TAVRELLO_API_KEY", kApiKey},
                                   {"TAVRELLO_SERVER_KEY", kServerKey}};
  const Args cases[] = {{},
                        {"no-such-command"},
                        {"get-last-data"},
                        {"edit-group-name", "g-001"},
                        {"get-groups", "extra"},
                        {"--no-such-option", "get-groups"}};
  for (const Args& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult run = runProgram(TAVRELLO_E2E_CLI, args, environment);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err, "");
    EXPECT_EQ(run.err.find("error: http"), std::string::npos) << run.err;
  }
}

TEST(CliCommandLineTest, EveryOperationHasASubcommandWithHelp) {
  const std::vector<std::pair<std::string, Args>> subcommands = {
      {"get-last-data", {"MEMBER"}},
      {"get-data-between-24-hours", {"MEMBER", "START", "END"}},
      {"get-objects-data", {"PAGE"}},
      {"get-groups", {}},
      {"get-groups-with-object", {"MEMBER"}},
      {"get-group-members", {"GROUP"}},
      {"create-group", {"NAME"}},
      {"edit-group-name", {"GROUP", "NAME"}},
      {"remove-group", {"GROUP"}},
      {"add-group-member", {"GROUP", "MEMBER"}},
      {"remove-group-member", {"GROUP", "MEMBER"}},
  };
  const RunResult top = runProgram(TAVRELLO_E2E_CLI, {"--help"}, {});
  EXPECT_EQ(top.exitCode, 0);
  for (const auto& [name, positionals] : subcommands) {
    SCOPED_TRACE(name);
    EXPECT_NE(top.out.find("  " + name + " "), std::string::npos);
    const RunResult help = runProgram(TAVRELLO_E2E_CLI, {name, "--help"}, {});
    EXPECT_EQ(help.exitCode, 0);
    std::string usage = "Usage: " + std::string(TAVRELLO_E2E_CLI) + " " + name + " [OPTIONS]";
    for (const std::string& positional : positionals) usage += " " + positional;
    EXPECT_NE(help.out.find(usage + "\n"), std::string::npos) << help.out;
  }
}

}  // namespace
}  // namespace e2e
