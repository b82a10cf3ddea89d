// Child processes for the end-to-end tests: run a program to completion and capture what it
// printed, or keep a sandbox service running on a free loopback port; and the fixture that
// gives every test a sandbox of its own and checks every run for printed keys.
//
// Every child is killed when the test process dies (PR_SET_PDEATHSIG), and a Sandbox stops
// its service in its destructor, so no process outlives the test that started it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace e2e {

// Variables set in a child's environment, which is this process's without any TAVRELLO_* or
// proxy variable, and with NO_PROXY covering loopback.
using Environment = std::map<std::string, std::string>;

struct RunResult {
  int exitCode = -1;  // 128 + the signal's number when one ended it
  std::string out;
  std::string err;
};

// Distinctive, so that finding them in any output means a key was printed.
inline const std::string kApiKey = "e2e-api-key-5b0d7f31";
inline const std::string kServerKey = "e2e-server-key-c94a2e68";

// Starts `program` with standard input from /dev/null, standard output on `outFd` and
// standard error on `errFd` (-1: this process's own). -1 when fork() failed.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
                   const Environment& environment, int outFd, int errFd) {
  std::vector<std::string> argText = {program}, envText;
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name(*entry, std::strcspn(*entry, "="));
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    if (name.rfind("tavrello_", 0) != 0 && name.find("proxy") == std::string::npos)
      envText.push_back(*entry);
  }
  envText.insert(envText.end(), {"NO_PROXY=127.0.0.1,localhost", "no_proxy=127.0.0.1,localhost"});
  for (const auto& [name, value] : environment) envText.push_back(name + "=" + value);
  std::vector<char*> argv(1, nullptr), envp(1, nullptr);
  for (std::string& text : argText) argv.insert(argv.end() - 1, text.data());
  for (std::string& text : envText) envp.insert(envp.end() - 1, text.data());

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child, where only async-signal-safe calls may follow. It dies with the test.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int devNull = open("/dev/null", O_RDONLY);
  if (getppid() != parent || dup2(devNull, 0) < 0 || dup2(outFd, 1) < 0 ||
      (errFd >= 0 && dup2(errFd, 2) < 0)) {
    _exit(127);
  }
  execve(program.c_str(), argv.data(), envp.data());
  _exit(127);
}

// The exit code of `pid` (128 + the signal's number when one ended it), or -1 after killing
// it when it still runs after `timeout`.
inline int waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  for (auto deadline = std::chrono::steady_clock::now() + timeout;
       waitpid(pid, &status, WNOHANG) != pid;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// Runs `program` to its end, standard input from /dev/null. The test fails when the program
// still runs after `timeout` (it is killed then) or when its output holds either key.
inline RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                            const Environment& environment,
                            std::chrono::seconds timeout = std::chrono::seconds(90)) {
  RunResult run;
  const int out = memfd_create("stdout", MFD_CLOEXEC), err = memfd_create("stderr", MFD_CLOEXEC);
  const pid_t pid = spawn(program, arguments, environment, out, err);
  run.exitCode = pid < 0 ? -1 : waitFor(pid, timeout);
  EXPECT_NE(run.exitCode, -1) << program << " did not start, or was killed after its timeout";
  run.out = readAll(out);
  run.err = readAll(err);
  close(out);
  close(err);
  for (const std::string& key : {kApiKey, kServerKey}) {
    EXPECT_EQ((run.out + run.err).find(key), std::string::npos)
        << "a key was printed: " << run.out << run.err;
  }
  return run;
}

// tavrello-sandbox --listen 127.0.0.1:0 --quiet with the given keys.
class Sandbox {
 public:
  Sandbox(const std::string& program, const std::string& apiKey, const std::string& serverKey) {
    const int out = memfd_create("sandbox", MFD_CLOEXEC);
    pid_ = spawn(
        program,
        {"--listen", "127.0.0.1:0", "--quiet", "--api-key", apiKey, "--server-key", serverKey}, {},
        out, -1);
    // Its first line is "listening on HOST:PORT".
    std::string text;
    for (int i = 0; i < 2000 && pid_ > 0 && text.find('\n') == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      text = readAll(out);
    }
    close(out);
    const std::size_t prefix = std::strlen("listening on ");
    if (text.rfind("listening on ", 0) == 0) host_ = text.substr(prefix, text.find('\n') - prefix);
    EXPECT_FALSE(host_.empty()) << "the sandbox did not say where it listens: " << text;
    if (host_.empty()) stop();
  }
  ~Sandbox() { stop(); }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // "HOST:PORT" from its "listening on HOST:PORT" line; empty (and the test failed) when it
  // did not start.
  const std::string& host() const { return host_; }
  // SIGTERM, then SIGKILL after 5 s; the exit code, -1 if it had to be killed. Its port is
  // closed afterwards. Does nothing the second time.
  int stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      const int exitCode = waitFor(pid_, std::chrono::seconds(5));
      pid_ = -1;
      return exitCode;
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  std::string host_;
};

// A sandbox of its own for every test, and the environment the tools find it and the keys in.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(sandbox_.host().empty()); }

  Sandbox sandbox_{TAVRELLO_E2E_SANDBOX, kApiKey, kServerKey};
  const Environment service_ = {{"TAVRELLO_HOST", sandbox_.host()},
                                {"TAVRELLO_API_KEY", kApiKey},
                                {"TAVRELLO_SERVER_KEY", kServerKey}};
};

// `text` as JSON; null, and the test failed, when it is not JSON.
inline nlohmann::json parseJson(const std::string& text) {
  auto value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  EXPECT_FALSE(value.is_discarded()) << "not JSON: " << text;
  return value.is_discarded() ? nlohmann::json() : value;
}

}  // namespace e2e
