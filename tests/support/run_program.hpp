// runProgram(): starts a program (posix_spawn), waits for it and returns its exit code and
// what it printed. A program still running after the timeout is killed, so a hang fails the
// test that waits for it instead of holding up the suite.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace tavrello::testing {

struct Finished {
  int exitCode = -1;  // 128 + the signal that ended it; -1 if it did not start or was killed
  std::string out;
  std::string err;
};

// `environment` adds "NAME=value" entries to this process's environment (replacing those of
// the same name), from which every TAVRELLO_* and proxy variable is left out. With `stdoutPath`
// standard output goes to that file instead of being captured.
inline Finished runProgram(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment = {},
                           std::chrono::seconds timeout = std::chrono::seconds(60),
                           const char* stdoutPath = nullptr) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name(*entry, std::strcspn(*entry, "=") + 1);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool replaced = false;
    for (const std::string& added : environment) replaced = replaced || added.rfind(name, 0) == 0;
    if (!replaced && lower.rfind("tavrello_", 0) != 0 && lower.find("proxy") == std::string::npos) {
      variables.emplace_back(*entry);
    }
  }
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<char*> args, envp;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& variable : variables) envp.push_back(const_cast<char*>(variable.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);

  Finished finished;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return finished;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdoutPath != nullptr) {
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  pollfd pipes[] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[] = {&finished.out, &finished.err};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  while (spawned == 0 && (pipes[0].fd >= 0 || pipes[1].fd >= 0)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(pipes, 2, static_cast<int>(left.count())) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (pipes[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(pipes[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        pipes[i].fd = -1;  // end of output
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || killed) return finished;
  finished.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return finished;
}

}  // namespace tavrello::testing
