// A process that ends with requests in flight exits cleanly every time:
// exit code 0, no sanitizer report, no handler run, no hang.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

extern char** environ;

namespace {

int runChild(const std::string& mode) {
  const char* program = TAVRELLO_EXIT_IN_FLIGHT_PROGRAM;
  char* argv[] = {const_cast<char*>(program), const_cast<char*>(mode.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int repetitions() {
  const char* value = std::getenv("TAVRELLO_EXIT_REPETITIONS");
  return value ? std::atoi(value) : 10;  // the hardening run sets 100
}

class ExitInFlight : public ::testing::TestWithParam<const char*> {};

TEST_P(ExitInFlight, IsCleanEveryTime) {
  for (int i = 0; i < repetitions(); ++i) {
    ASSERT_EQ(runChild(GetParam()), 0) << "run " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ExitInFlight, ::testing::Values("return", "exit", "thread-exit"));

}  // namespace
