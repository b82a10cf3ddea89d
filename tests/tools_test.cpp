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
#include "support/run_program.hpp"

namespace tavrello::testing {
namespace {

using Json = nlohmann::ordered_json;
using Args = std::vector<std::string>;

// Distinctive, so that finding one in any output means it was printed.
const std::string kApiKey = "tools-api-key-5b0d7f31";
const std::string kServerKey = "tools-server-key-c94a2e68";

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
    EXPECT_EQ((finished.out + finished.err).find(kServerKey), std::string::npos)
        << "the server key was printed";
    return finished;
  }

  static tavrello::sandbox::Options serviceOptions() {
    tavrello::sandbox::Options options;
    options.apiKey = kApiKey;
    options.serverKey = kServerKey;
    return options;
  }
  tavrello::sandbox::Sandbox sandbox{serviceOptions()};
};

// The exit code and output of every kind of run. A refusal is a reply: printed, exit 0. A
// missing key or a failed exchange: one "error:" line and 1. A usage error: 2, nothing sent.
TEST_F(Tools, CommandLineToolExitCodesAndOutput) {
  struct Row {
    std::string change;
    Args args;
    int exitCode;
    std::string expected;  // the reply's error code, or the start of standard error
  };
  const Row rows[] = {
      {"TAVRELLO_SERVER_KEY=wrong", {"get-groups"}, 0, "bad_signature"},
      // MEMBER, then START (from_date) and END (to_date).
      {"", {"get-data-between-24-hours", "m-0001", "200", "100"}, 0, "window_reversed"},
      // Flags, before or after the subcommand, win over the environment.
      {"TAVRELLO_HOST=127.0.0.1:1", {"--host", sandbox.host(), "get-groups"}, 0, ""},
      {"TAVRELLO_API_KEY=wrong", {"get-groups", "--api-key", kApiKey}, 0, ""},
      {"TAVRELLO_API_KEY=", {"get-groups"}, 1, "error: key: no API key set (set TAVRELLO_API_KEY)"},
      {"TAVRELLO_SERVER_KEY=", {"get-groups"}, 1, "error: key: no server key set (set"},
      {"",
       {"--host", "h/evil", "get-groups"},
       1,
       "error: Invalid URL: \"/\" cannot appear in a service host"},
      {"TAVRELLO_HOST=127.0.0.1:1",
       {"get-groups"},
       1,
       "error: http: connection refused by 127.0.0.1:1\n"},
      {"", {"edit-group-name", "g-001"}, 2, "error: "},
      {"", {"get-groups", "extra"}, 2, "error: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.change + " tavrello " + ::testing::PrintToString(row.args));
    const Finished finished = run(TAVRELLO_CLI, row.args, row.change);
    EXPECT_EQ(finished.exitCode, row.exitCode);
    if (row.exitCode == 0) {
      EXPECT_EQ(finished.err, "");
      const Json reply = Json::parse(finished.out, nullptr, false);
      EXPECT_EQ(reply.value("/error/code"_json_pointer, ""), row.expected) << finished.out;
    } else {
      EXPECT_EQ(finished.out, "");
      EXPECT_EQ(finished.err.rfind(row.expected, 0), 0u) << finished.err;
      EXPECT_EQ(std::count(finished.err.begin(), finished.err.end(), '\n'), 1) << finished.err;
    }
  }
}

TEST_F(Tools, CommandLineToolSendsArgumentsAsTypedAndReportsAFailedWrite) {
  // After "--", an argument that starts with "-" is a value; "&" and "=" travel as data.
  const Finished created = run(TAVRELLO_CLI, {"--pretty", "create-group", "--", "-ops & co=1"});
  EXPECT_EQ(created.exitCode, 0) << created.err;
  EXPECT_EQ(created.out.compare(0, 4, "{\n  "), 0) << created.out;  // indented
  EXPECT_EQ(Json::parse(created.out).value("/data/group_name"_json_pointer, ""), "-ops & co=1");
  EXPECT_EQ(sandbox.groups().back().name, "-ops & co=1");
  const Finished full = run(TAVRELLO_CLI, {"get-groups"}, "", "/dev/full");
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(full.err, "error: cannot write the reply to standard output\n");
  // --verbose: one line per exchange on standard error, the reply still on standard output.
  const Finished verbose = run(TAVRELLO_CLI, {"--verbose", "get-groups"});
  EXPECT_EQ(verbose.exitCode, 0);
  EXPECT_EQ(
      verbose.err.rfind(
          "POST http://" + sandbox.host() + "/api.partner.common.php getGroups: HTTP 200, ", 0),
      0u)
      << verbose.err;
  EXPECT_EQ(std::count(verbose.err.begin(), verbose.err.end(), '\n'), 1);
}

TEST(RenderBody, IndentsJsonInItsOrderAndLeavesAnythingElseAlone) {
  const auto render = [](const std::string& text, bool pretty) {
    return cli::renderBody(Bytes(text.begin(), text.end()), pretty);
  };
  EXPECT_EQ(render(R"({"b":1,"a":[2]})", true), "{\n  \"b\": 1,\n  \"a\": [\n    2\n  ]\n}\n");
  EXPECT_EQ(render(R"({"b":1})", false), "{\"b\":1}\n");
  EXPECT_EQ(render("not json\n", true), "not json\n");
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(render(deep, true), deep + "\n");  // too deep to indent safely: as it came
}

// tavrello-sandbox started in the background on a free port with the tests' keys and `args`,
// stopped by SIGTERM.
class SandboxProgram {
 public:
  explicit SandboxProgram(const Args& args) {
    std::string command = "echo $$; exec " TAVRELLO_SANDBOX " --quiet --listen 127.0.0.1:0";
    for (const std::string& arg : Args{"--api-key", kApiKey, "--server-key", kServerKey}) {
      command += " '" + arg + "'";
    }
    for (const std::string& arg : args) command += " '" + arg + "'";
    output_ = popen(command.c_str(), "r");
    char line[256] = "";
    if (output_ != nullptr && std::fgets(line, sizeof line, output_) != nullptr) {
      pid_ = std::atoi(line);
    }
    if (output_ != nullptr && std::fgets(line, sizeof line, output_) != nullptr) {
      host_ = std::string(line).substr(std::strlen("listening on "));
      host_.pop_back();  // the line feed
    }
  }
  ~SandboxProgram() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    if (output_ != nullptr) pclose(output_);
  }
  const std::string& host() const { return host_; }

 private:
  FILE* output_ = nullptr;
  pid_t pid_ = 0;
  std::string host_;
};

// The sandbox program: a fault given on its command line, and a wrong option said in one
// line that names the option once.
TEST_F(Tools, SandboxProgramInjectsFaultsAndRefusesWrongOptions) {
  const std::pair<Args, std::string> wrong[] = {
      {{"--listen", "0.0.0.0:8787"},
       "--listen: not a loopback HOST:PORT such as 127.0.0.1:8787 (see --help)\n"},
      {{"--fault", "op=getGroup"},
       "--fault: \"getGroup\" is not an operation of the client (see --help)\n"},
  };
  for (const auto& [args, line] : wrong) {
    const Finished finished = run(TAVRELLO_SANDBOX, args);
    EXPECT_EQ(finished.exitCode, 2);
    EXPECT_EQ(finished.err, "tavrello-sandbox: " + line);
  }
  const SandboxProgram program({"--fault", "op=getGroups,status=503,body=down, for now"});
  ASSERT_FALSE(program.host().empty());
  // The tool prints the service's own words after its error line; the next call succeeds.
  const Finished failed = run(TAVRELLO_CLI, {"--host", program.host(), "get-groups"});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.err, "error: http: HTTP 503 from " + program.host() + "\ndown, for now\n");
  EXPECT_EQ(run(TAVRELLO_CLI, {"--host", program.host(), "get-groups"}).exitCode, 0);
}

TEST_F(Tools, ProgramsPrintTheVersionOfTheLibrary) {
  for (const char* program : {TAVRELLO_CLI, TAVRELLO_SANDBOX}) {
    const Finished finished = run(program, {"--version"});
    EXPECT_EQ(finished.exitCode, 0) << program;
    EXPECT_EQ(finished.out, std::string(version()) + "\n") << program;
  }
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
