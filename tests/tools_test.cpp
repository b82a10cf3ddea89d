// The programs users run: the `tavrello` command-line tool, the tavrello-sandbox program's
// command line and the examples, each run as a process against a sandbox in this process.
#include <gtest/gtest.h>

#include <tavrello/sandbox.hpp>

#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "commands.hpp"
#include "support/client.hpp"
#include "support/run_program.hpp"

namespace tavrello::testing {
namespace {

using Json = nlohmann::ordered_json;
using Args = std::vector<std::string>;

const std::string kCerts = TAVRELLO_TEST_CERTS;  // made by support/make_certs.sh

class Tools : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sandbox.running()) << sandbox.error(); }

  // Runs `program` with the service and keys in its environment, `change` ("NAME=value")
  // coming first and so winning over them (an empty key counts as no key).
  Finished run(const char* program, const Args& args, const std::string& change = "",
               const char* stdoutPath = nullptr) {
    const std::vector<std::string> environment = {
        change.empty() ? "TAVRELLO_=" : change, "TAVRELLO_HOST=" + sandbox.host(),
        "TAVRELLO_API_KEY=" + kApiKey, "TAVRELLO_SERVER_KEY=" + kServerKey};
    Args argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    Finished finished = runProgram(argv, environment, std::chrono::seconds(90), stdoutPath);
    for (const std::string& key : {kApiKey, kServerKey}) {
      EXPECT_EQ((finished.out + finished.err).find(key), std::string::npos) << key << " printed";
    }
    return finished;
  }
  tavrello::sandbox::Sandbox sandbox{sandboxOptions()};
};

// The exit code and output of every kind of run. A refusal is a reply: printed, exit 0. A
// failure: one "error:" line and the code that says what failed (1 the exchange, 2 the
// command line, 3 a key, 4 the host).
TEST_F(Tools, CommandLineToolExitCodesAndOutput) {
  tavrello::sandbox::Options tls = sandboxOptions();
  tls.tlsCertFile = kCerts + "/server.pem";
  tls.tlsKeyFile = kCerts + "/server.key";
  const tavrello::sandbox::Sandbox https(tls);
  struct Row {
    std::string change;
    Args args;
    int exitCode;
    std::string expected;  // in standard output for 0, else in standard error
  };
  const std::string ok = R"({"result":"ok")", refused = R"({"result":"fail","error":{"code":")";
  const Row rows[] = {
      {"TAVRELLO_SERVER_KEY=wrong", {"get-groups"}, 0, refused + "bad_signature"},
      // Every flag, before or after the command, wins over the environment.
      {"TAVRELLO_HOST=127.0.0.1:1", {"--host", sandbox.host(), "get-groups"}, 0, ok},
      {"TAVRELLO_API_KEY=wrong", {"get-groups", "--api-key", kApiKey}, 0, ok},
      {"TAVRELLO_SERVER_KEY=wrong", {"--server-key", kServerKey, "get-groups"}, 0, ok},
      {"", {"--host", https.host(), "get-groups", "--ca-file", kCerts + "/ca.pem"}, 0, ok},
      {"", {"--version"}, 0, "tavrello " + std::string(version()) + "\n"},
      {"", {"help"}, 0, "tavrello: calls the partner location service"},
      // A command's help lists the options that apply to it, and an example.
      {"", {"edit-group-name", "--help"}, 0, "\n  --server-key TEXT"},
      {"", {"help", "remove-group"}, 0, "Example:\n  tavrello remove-group g-006\n"},
      {"TAVRELLO_HOST=127.0.0.1:1", {"get-groups"}, 1, "http: connection refused by 127.0.0.1:1\n"},
      // Usage errors in the tool's words; a command or option is suggested only when close.
      {"", {"get-group"}, 2, R"(: error: unknown command "get-group"; did you mean "get-groups"?)"},
      {"",
       {"help", "get-groupz"},
       2,
       R"(unknown command "get-groupz"; did you mean "get-groups"?)"},
      {"", {"version"}, 2, R"(tavrello: error: unknown command "version" (see --help))"},
      {"", {"get-groups", "--prety"}, 2, R"(unknown option "--prety"; did you mean "--pretty"?)"},
      {"", {"--host"}, 2, "tavrello: error: --host needs a value (see --help)"},
      {"", {"create-group", "-ops"}, 2, R"(create-group needs NAME; "-ops" is not an option)"},
      {"", {"get-groups", "extra"}, 2, R"(tavrello: error: "extra" was not expected)"},
      {"TAVRELLO_API_KEY=", {"get-groups"}, 3, "error: key: no API key set (set TAVRELLO_API_KEY)"},
      {"TAVRELLO_SERVER_KEY=", {"get-groups"}, 3, "error: key: no server key set (set"},
      {"", {"--host", "h/evil", "get-groups"}, 4, R"(error: Invalid URL: "/" cannot appear in)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.change + " tavrello " + ::testing::PrintToString(row.args));
    const Finished finished = run(TAVRELLO_CLI, row.args, row.change);
    EXPECT_EQ(finished.exitCode, row.exitCode);
    const std::string& text = row.exitCode == 0 ? finished.out : finished.err;
    EXPECT_NE(text.find(row.expected), std::string::npos) << text;
    if (row.exitCode != 0) {
      EXPECT_EQ(finished.out, "");
      EXPECT_EQ(std::count(finished.err.begin(), finished.err.end(), '\n'), 1) << finished.err;
    }
  }
}

// Each command calls its own operation with its arguments in their order: the replies and
// the sandbox's groups show what the service was asked. Arguments travel as typed, one that
// starts with "-" after "--".
TEST_F(Tools, EveryCommandCallsItsOperation) {
  const std::string name = "-ops & co=1";
  const struct Row {
    Args args;
    const char* pointer;  // into the reply
    Json expected;
  } rows[] = {
      {{"--pretty", "create-group", "--", name}, "/data/group_name", name},
      {{"edit-group-name", "g-006", "Day shift"}, "/data/group_name", "Day shift"},
      {{"add-group-member", "g-006", "m-0100"}, "/data/member_count", 1},
      {{"get-group-members", "g-006"}, "/data/members/0/member_key", "m-0100"},
      {{"get-groups-with-object", "m-0100"}, "/data/groups/0/group_key", "g-006"},
      {{"get-groups"}, "/data/groups/5/group_name", "Day shift"},
      {{"remove-group-member", "g-006", "m-0100"}, "/data/member_count", 0},
      {{"remove-group", "g-006"}, "/data", {{"group_key", "g-006"}}},
      {{"get-last-data", "m-0007"}, "/data/member_key", "m-0007"},
      {{"get-data-between-24-hours", "m-0008", "1000", "2000"}, "/data/to_date", 2000},
      {{"get-objects-data", "3"}, "/data/page", 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const Finished finished = run(TAVRELLO_CLI, row.args);
    EXPECT_EQ(finished.exitCode, 0) << finished.err;
    const Json reply = Json::parse(finished.out, nullptr, false);
    EXPECT_EQ(reply.value(Json::json_pointer(row.pointer), Json()), row.expected) << finished.out;
  }
  EXPECT_EQ(sandbox.groups().size(), 5u);  // g-006 came and went
  EXPECT_EQ(run(TAVRELLO_CLI, {"--pretty", "get-groups"}).out.rfind("{\n  \"result\"", 0), 0u);
}

TEST_F(Tools, CommandLineToolReportsAFailedWriteAndEachExchange) {
  for (const char* output : {"/dev/full", ""}) {  // a full disk, standard output closed
    SCOPED_TRACE(output);
    const Finished failed = run(TAVRELLO_CLI, {"get-groups"}, "", output);
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "tavrello: error: cannot write the reply to standard output\n");
  }
  // --verbose: one line per exchange on standard error, the reply still on standard output.
  const Finished verbose = run(TAVRELLO_CLI, {"--verbose", "get-groups"});
  const std::string line = "POST http://" + sandbox.host() + "/api.partner.common.php getGroups";
  EXPECT_TRUE(verbose.exitCode == 0 && verbose.err.rfind(line + ": HTTP 200, ", 0) == 0 &&
              std::count(verbose.err.begin(), verbose.err.end(), '\n') == 1)
      << verbose.err;
}

// A request that never left counts no bytes out.
TEST(ExchangeLine, SaysNotSentForARequestThatNeverLeft) {
  Exchange exchange{"getGroups", "POST", "http://h/p", 171, 0, 0, {}, false, "FAIL", "http", ""};
  const auto says = [&](const char* text) {
    return cli::exchangeLine(exchange).find(text) != std::string::npos;
  };
  for (const char* detail : {"connection refused by h:1", "host name not resolved: h",
                             "proxy name not resolved", "cannot connect to h:1", "TLS: bad"}) {
    exchange.detail = detail;
    EXPECT_TRUE(says(": no reply, not sent, 0.0 ms; http: ")) << cli::exchangeLine(exchange);
  }
  exchange.detail = "no complete reply within 60 s";
  EXPECT_TRUE(says("no reply, 171 bytes out, 0 in"));
  exchange.reason = "Invalid URL";
  EXPECT_TRUE(says("not sent"));
}

TEST(FailureMessage, NamesTheDefaultHostWhenItRefused) {
  TavrelloResult refused;
  refused.setDetail("connection refused by 127.0.0.1:8787");
  EXPECT_EQ(cli::failureMessage(refused, /*defaultHost=*/true).substr(39),
            "(the compiled-in default host; pass --host or set TAVRELLO_HOST to the service's)");
}

TEST(RenderBody, IndentsJsonInItsOrderAndLeavesAnythingElseAlone) {
  const auto render = [](const std::string& text, bool pretty) {
    return cli::renderBody(Bytes(text.begin(), text.end()), pretty);
  };
  // Members in their order; only the white space changes: every value keeps its text.
  const std::string values =
      R"({"b":0.10,"a":[12345678901234567890123,-0,1E2,"\u00e9\/\"[,",{},[]]})";
  EXPECT_EQ(render(values, true),
            "{\n  \"b\": 0.10,\n  \"a\": [\n    12345678901234567890123,\n    -0,\n    1E2,\n    "
            "\"\\u00e9\\/\\\"[,\",\n    {},\n    []\n  ]\n}\n");
  EXPECT_EQ(render(R"({"b":1})", false), "{\"b\":1}\n");
  EXPECT_EQ(render("not json\n", true), "not json\n");
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(render(deep, true), deep + "\n");  // too deep to indent safely: as it came
}

// tavrello-sandbox in the background on a free port with the tests' keys and `args`, until
// SIGTERM: its first line is the shell's process id, which exec then hands to the program.
class SandboxProgram {
 public:
  explicit SandboxProgram(const Args& args) {
    std::string command = "echo $$; exec " TAVRELLO_SANDBOX " --quiet --listen 127.0.0.1:0";
    for (const std::string& arg : Args{"--api-key", kApiKey, "--server-key", kServerKey}) {
      command += " '" + arg + "'";
    }
    for (const std::string& arg : args) command += " '" + arg + "'";
    char pid[32] = "", host[256] = "";
    output_ = popen(command.c_str(), "r");
    if (std::fgets(pid, sizeof pid, output_) &&
        std::fscanf(output_, "listening on %255s", host) == 1) {
      pid_ = std::atoi(pid);
      host_ = host;
    }
  }
  ~SandboxProgram() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    pclose(output_);
  }
  const std::string& host() const { return host_; }

 private:
  FILE* output_;
  pid_t pid_ = 0;
  std::string host_;
};

// The sandbox program: a fault given on its command line, a wrong option said in one line
// that names the option once, and its version.
TEST_F(Tools, SandboxProgramInjectsFaultsAndRefusesWrongOptions) {
  const std::pair<Args, std::string> wrong[] = {
      {{"--listen", "0.0.0.0:8787"},
       "--listen: not a loopback HOST:PORT such as 127.0.0.1:8787 (see --help)\n"},
      {{"--members", "0"}, "--members: not a whole number from 1 to 10000 (see --help)\n"},
      {{"--fault", "op=getGroup"},
       "--fault: \"getGroup\" is not an operation of the client (see --help)\n"},
  };
  for (const auto& [args, line] : wrong) {
    const Finished finished = run(TAVRELLO_SANDBOX, args);
    EXPECT_EQ(finished.exitCode, 2);
    EXPECT_EQ(finished.err, "tavrello-sandbox: error: " + line);
  }
  EXPECT_EQ(run(TAVRELLO_SANDBOX, {"--version"}).out,
            "tavrello-sandbox " + std::string(version()) + "\n");
  const SandboxProgram program({"--fault", "op=getGroups,status=503,body=down, for now"});
  ASSERT_FALSE(program.host().empty());
  // The tool prints the service's own words after its error line; the next call succeeds.
  const Finished failed = run(TAVRELLO_CLI, {"--host", program.host(), "get-groups"});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.err,
            "tavrello: error: http: HTTP 503 from " + program.host() + "\ndown, for now\n");
  EXPECT_EQ(run(TAVRELLO_CLI, {"--host", program.host(), "get-groups"}).exitCode, 0);
}

TEST_F(Tools, ExamplesRunEveryStep) {
  const Finished tour = run(TAVRELLO_EXAMPLE_TOUR, {});
  EXPECT_EQ(tour.exitCode, 0) << tour.out << tour.err;
  EXPECT_NE(tour.out.find("done: 0 step(s) failed\n"), std::string::npos) << tour.out;
  EXPECT_EQ(sandbox.groups().back().name, "Quick tour");
  EXPECT_EQ(sandbox.groups().back().memberKeys, std::vector<std::string>{"m-0001"});

  const Finished loop = run(TAVRELLO_EXAMPLE_ASIO, {});
  EXPECT_EQ(loop.exitCode, 0) << loop.out << loop.err;
  EXPECT_NE(loop.out.find("done: 0 operation(s) failed\n"), std::string::npos) << loop.out;
}

}  // namespace
}  // namespace tavrello::testing
