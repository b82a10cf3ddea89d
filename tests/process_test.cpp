// Process events, one child process each (process_child.cpp): the process exits with
// requests in flight, a handler (run on the I/O thread, or a signal handler) exits or throws,
// the process forks, the environment refuses a thread, an eventfd, a curl call or a quick name
// lookup (fault_shim.cpp).
// Every call must end in exactly one result, and the process must end cleanly and at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/client.hpp"
#include "support/raw_server.hpp"
#include "support/run_program.hpp"

namespace tavrello::testing {
namespace {

struct Event {
  const char* mode;
  const char* shim;   // fault_shim.cpp's setting, or nullptr
  bool race = false;  // a race with the I/O thread: run it again and again
};

std::string asanOptions() {
  const char* inherited = std::getenv("ASAN_OPTIONS");
  // The shim is preloaded ahead of GCC's ASan runtime, which then has to be told so.
  return std::string("ASAN_OPTIONS=") + (inherited ? inherited : "") + ":verify_asan_link_order=0";
}

void PrintTo(const Event& event, std::ostream* out) {
  *out << event.mode << (event.shim ? std::string(" with ") + event.shim : "");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

class ProcessEvents : public ::testing::TestWithParam<Event> {};

TEST_P(ProcessEvents, EveryCallEndsOnceAndTheProcessEndsCleanly) {
  const Event& event = GetParam();
  if (kAddressSanitizer && std::string(event.mode) == "fork-observing") {
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe: a child forked while "
                    "another thread allocates can hang in it";
  }
  Server server, silent(Server::kHeld);
  RawServer keeping("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
  keeping.script({RawServer::kAnswerAndKeep});
  std::vector<std::string> environment;
  if (event.shim != nullptr) {
    environment = {std::string("LD_PRELOAD=") + TAVRELLO_FAULT_SHIM, event.shim, asanOptions()};
  }
  // Exit races are repeated: the hardening run in CI sets 100.
  const char* repetitions = std::getenv("TAVRELLO_EXIT_REPETITIONS");
  const int runs = !event.race ? 1 : repetitions ? std::atoi(repetitions) : 10;
  for (int run = 0; run < runs; ++run) {
    const Finished finished = runProgram(
        {TAVRELLO_PROCESS_CHILD, event.mode, server.host(), silent.host(), keeping.host()},
        environment);
    ASSERT_EQ(finished.exitCode, 0) << "run " << run << ": " << finished.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    , ProcessEvents,
    ::testing::Values(Event{"exit", nullptr, true}, Event{"thread-exit", nullptr, true},
                      Event{"handler-exit", nullptr, true}, Event{"signal-exit", nullptr, true},
                      Event{"executor-exit", nullptr}, Event{"executor-throws", nullptr},
                      Event{"fork-observing", nullptr}, Event{"fork-connections", nullptr},

                      Event{"fails-once", "TAVRELLO_SHIM_FAIL_THREADS=1"},
                      Event{"fails-once", "TAVRELLO_SHIM_FAIL_ADD_HANDLE=1"},
                      Event{"no-eventfd", "TAVRELLO_SHIM_NO_EVENTFD=1"},
                      Event{"slow-lookup", "TAVRELLO_SHIM_SLOW_LOOKUP=30"},
                      Event{"fails-until-descriptors", "TAVRELLO_SHIM_NO_DESCRIPTORS=1"},
                      Event{"default-timeout", "TAVRELLO_SHIM_CLOCK=1"},
                      Event{"idle-limit", "TAVRELLO_SHIM_CLOCK=1"}),
    [](const ::testing::TestParamInfo<Event>& info) {
      std::string name = info.param.mode;
      if (info.param.shim) name = name + "_" + (info.param.shim + 14);
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

}  // namespace
}  // namespace tavrello::testing
