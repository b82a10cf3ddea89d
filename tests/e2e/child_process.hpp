// Child processes for the end-to-end tests: run a program to completion and capture what it
// printed, or keep a sandbox service running on a free loopback port for one test.
//
// Every child is killed when the test process dies (PR_SET_PDEATHSIG), and a Sandbox stops
// its service in its destructor, so no process outlives the test that started it, even when
// an assertion fails or the test crashes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace e2e {

/// Variables set in a child's environment. The child starts from this process's
/// environment without any TAVRELLO_* or proxy variable, with NO_PROXY covering loopback.
using Environment = std::map<std::string, std::string>;

struct RunResult {
  int exitCode = -1;  // 128 + signal number when a signal ended it
  std::string out;    // everything written to standard output
  std::string err;    // everything written to standard error
};

/// Runs `program` with `arguments` and waits for it to end. A child still running after
/// `timeout` is killed and the run fails the current test.
RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const Environment& environment,
                     std::chrono::seconds timeout = std::chrono::seconds(90));

/// tavrello-sandbox listening on 127.0.0.1 on a port it picked, with the given keys.
class Sandbox {
 public:
  Sandbox(const std::string& program, const std::string& apiKey, const std::string& serverKey);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  /// "127.0.0.1:PORT", or empty when the service did not start (the test has failed then).
  const std::string& host() const { return host_; }
  /// Stops the service (SIGTERM, then SIGKILL after 5 s) and returns its exit code; its
  /// port is then closed. Does nothing the second time.
  int stop();

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::string host_;
  int exitCode_ = -1;
};

}  // namespace e2e
