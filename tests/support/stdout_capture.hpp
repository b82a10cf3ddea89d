// What a piece of code writes to standard output, read back through a temporary file.
//   EXPECT_EQ(stdoutOf([] { std::puts("hi"); }), "hi\n");
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace tavrello::testing {

inline std::string stdoutOf(const std::function<void()>& code) {
  std::fflush(stdout);
  std::FILE* file = std::tmpfile();
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(::fileno(file), STDOUT_FILENO);
  code();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(file);
  return text;
}

}  // namespace tavrello::testing
