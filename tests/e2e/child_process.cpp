#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

bool isProxyVariable(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name == "http_proxy" || name == "https_proxy" || name == "all_proxy" || name == "no_proxy";
}

std::vector<std::string> childEnvironment(const Environment& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (name.rfind("TAVRELLO_", 0) == 0 || isProxyVariable(name)) continue;
    entries.push_back(text);
  }
  entries.push_back("NO_PROXY=127.0.0.1,localhost");
  entries.push_back("no_proxy=127.0.0.1,localhost");
  for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

// Starts `program` with standard output on `outFd` and standard error on `errFd` (-1: this
// process's own), standard input from /dev/null.
pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const Environment& environment, int outFd, int errFd) {
  std::vector<std::string> argvTexts = {program};
  argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envTexts = childEnvironment(environment);
  std::vector<char*> argv = pointers(argvTexts);
  std::vector<char*> envp = pointers(envTexts);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid != 0) return pid;
  // In the child: only async-signal-safe calls from here on.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the test died before prctl took effect
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(outFd, 1) < 0) _exit(127);
  if (errFd >= 0 && dup2(errFd, 2) < 0) _exit(127);
  execve(program.c_str(), argv.data(), envp.data());
  _exit(127);
}

int decode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The exit code of `pid`, or -1 if it is still running after `timeout`.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return decode(status);
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int killAndReap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return decode(status);
}

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return text;
    }
  }
}

// Reads one line (without its line feed) from a pipe, waiting at most `timeout`.
std::string readLine(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string line;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return line;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) return line;
    if (n == 1 && c == '\n') return line;
    if (n == 1) line.push_back(c);
  }
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const Environment& environment, std::chrono::seconds timeout) {
  RunResult run;
  const int outFd = memfd_create("stdout", MFD_CLOEXEC);
  const int errFd = memfd_create("stderr", MFD_CLOEXEC);
  if (outFd < 0 || errFd < 0) {
    ADD_FAILURE() << "memfd_create failed, errno " << errno;
  } else {
    const pid_t pid = spawn(program, arguments, environment, outFd, errFd);
    if (pid < 0) {
      ADD_FAILURE() << "fork failed, errno " << errno;
    } else {
      run.exitCode = waitForExit(pid, timeout);
      if (run.exitCode == -1) {
        ADD_FAILURE() << program << " still ran after " << timeout.count() << " s; killed";
        run.exitCode = killAndReap(pid);
      }
    }
    run.out = readAll(outFd);
    run.err = readAll(errFd);
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  return run;
}

Sandbox::Sandbox(const std::string& program, const std::string& apiKey,
                 const std::string& serverKey) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed, errno " << errno;
    return;
  }
  pid_ =
      spawn(program,
            {"--listen", "127.0.0.1:0", "--quiet", "--api-key", apiKey, "--server-key", serverKey},
            {}, fds[1], -1);
  close(fds[1]);
  stdoutFd_ = fds[0];
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed, errno " << errno;
    return;
  }
  // The first line is "listening on 127.0.0.1:PORT"; the rest is never read.
  const std::string line = readLine(stdoutFd_, std::chrono::seconds(20));
  const std::string prefix = "listening on ";
  if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size()) {
    host_ = line.substr(prefix.size());
  } else {
    ADD_FAILURE() << "the sandbox did not say where it listens; first line: \"" << line << "\"";
    stop();
  }
}

Sandbox::~Sandbox() { stop(); }

int Sandbox::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    exitCode_ = waitForExit(pid_, std::chrono::seconds(5));
    if (exitCode_ == -1) exitCode_ = killAndReap(pid_);
    pid_ = -1;
  }
  if (stdoutFd_ >= 0) close(stdoutFd_);
  stdoutFd_ = -1;
  return exitCode_;
}

}  // namespace e2e
