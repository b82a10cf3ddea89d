// runProgram(): starts a program (posix_spawn), waits for it and returns its exit code and
// what it printed. A program still running after the timeout is killed, so a hang fails the
// test that waits for it instead of holding up the suite.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavrello::testing {

struct Finished {
  int exitCode = -1;  // 128 + the signal that ended it; -1 if it did not start or was killed
  std::string out;
  std::string err;
};

// Waits for the process `pid` to end, and kills it when it still runs after `timeout`.
// Returns its exit code, 128 + the signal that ended it, or -1 when it had to be killed.
inline int waitForExit(pid_t pid, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// `environment` adds "NAME=value" entries to this process's environment (replacing those of
// the same name), from which every TAVRELLO_* and proxy variable is left out. With
// `stdoutPath` standard output goes to that file instead of being captured, or is closed
// when it is "".
inline Finished runProgram(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment = {},
                           std::chrono::seconds timeout = std::chrono::seconds(60),
                           const char* stdoutPath = nullptr) {
  std::vector<std::string> variables = environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name(*entry, std::strcspn(*entry, "=") + 1);
    bool dropped = name.rfind("TAVRELLO_", 0) == 0 || name.find("proxy") != std::string::npos ||
                   name.find("PROXY") != std::string::npos;
    for (const std::string& added : environment) dropped = dropped || added.rfind(name, 0) == 0;
    if (!dropped) variables.emplace_back(*entry);
  }
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& variable : variables) envp.push_back(const_cast<char*>(variable.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);

  const int out = memfd_create("stdout", MFD_CLOEXEC), err = memfd_create("stderr", MFD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdoutPath != nullptr && *stdoutPath == '\0') {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (stdoutPath != nullptr) {
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  Finished finished;
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
    finished.exitCode = waitForExit(pid, timeout);
  }
  posix_spawn_file_actions_destroy(&actions);
  for (auto [fd, text] : {std::pair{out, &finished.out}, std::pair{err, &finished.err}}) {
    char buffer[4096];
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text->size()))) > 0;) {
      text->append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
  }
  return finished;
}

}  // namespace tavrello::testing
