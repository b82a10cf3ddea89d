// The tavrello-sandbox binary as a child process: port 0 and the printed address, 404 and
// 405, one signed request over a socket, the request log, and a clean stop on a signal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sandbox_test_support.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Reads `fd` until it holds a line end (or, with untilEof, until end of file) or 10 s pass.
std::string readFrom(int fd, bool untilEof) {
  std::string text;
  char buffer[4096];
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((untilEof || text.find('\n') == std::string::npos) &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// A running tavrello-sandbox on a free port; the destructor kills it if a test did not stop it.
class SandboxProcess {
 public:
  explicit SandboxProcess(std::vector<std::string> args) {
    args.insert(args.begin(), {TAVRELLO_SANDBOX_BINARY, "--listen", "127.0.0.1:0", "--api-key",
                               sandbox_test::kApiKey, "--server-key", sandbox_test::kServerKey});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    stdout_ = out[0];
    stderr_ = err[0];
    firstLine_ = readFrom(stdout_, false);
    firstLine_ = firstLine_.substr(0, firstLine_.find('\n'));
    const std::string prefix = "listening on 127.0.0.1:";
    if (firstLine_.rfind(prefix, 0) == 0) port_ = std::atoi(firstLine_.c_str() + prefix.size());
  }
  ~SandboxProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(stdout_);
    close(stderr_);
  }

  int port() const { return port_; }
  const std::string& firstLine() const { return firstLine_; }

  // Sends `sig` and waits up to 10 s: the exit code, or -1 if it did not exit by itself.
  int stop(int sig) {
    kill(pid_, sig);
    int status = 0;
    for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(50ms)) {
      if (waitpid(pid_, &status, WNOHANG) != pid_) continue;
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return -1;
  }
  std::string log() { return readFrom(stderr_, true); }  // after stop()

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  int port_ = 0;
  std::string firstLine_;
};

TEST(SandboxHttpTest, ServesOverSocketAndStopsOnSigterm) {
  SandboxProcess sandbox({});
  ASSERT_GT(sandbox.port(), 0) << "first line: " << sandbox.firstLine();
  httplib::Client client("127.0.0.1", sandbox.port());
  client.set_read_timeout(5s);
  const std::string form = "application/x-www-form-urlencoded";

  const auto notFound = client.Post("/nowhere.php", "", form);
  ASSERT_TRUE(notFound);
  EXPECT_EQ(notFound->status, 404);
  const auto wrongMethod = client.Get("/api.partner.common.php");
  ASSERT_TRUE(wrongMethod);
  EXPECT_EQ(wrongMethod->status, 405);
  EXPECT_EQ(wrongMethod->get_header_value("Allow"), "POST");

  const auto created =
      client.Post("/api.partner.common.php",
                  sandbox_test::formBody(sandbox_test::signedFields(
                      {{"api", "api.common.group.set.add"}, {"group_name", "A&B + C"}})),
                  form);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->status, 200);
  EXPECT_EQ(created->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(nlohmann::json::parse(created->body).at("data").at("group_name"), "A&B + C");

  EXPECT_EQ(sandbox.stop(SIGTERM), 0);
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("POST /api.partner.common.php api.common.group.set.add 200 ok\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("GET /api.partner.common.php 405 method_not_allowed\n"), std::string::npos);
}

TEST(SandboxHttpTest, QuietRunStopsOnSigint) {
  SandboxProcess sandbox({"--quiet"});
  ASSERT_GT(sandbox.port(), 0) << "first line: " << sandbox.firstLine();
  ASSERT_TRUE(httplib::Client("127.0.0.1", sandbox.port()).Get("/"));
  EXPECT_EQ(sandbox.stop(SIGINT), 0);
  EXPECT_EQ(sandbox.log(), "");
}

}  // namespace
