// Preloaded (LD_PRELOAD) into the child programs of the process tests, it makes the
// environment fail on request, so that the library's answers to those failures can be
// checked through its public interface:
//   TAVRELLO_SHIM_FAIL_THREADS=N     the next N thread creations fail with EAGAIN
//   TAVRELLO_SHIM_FAIL_ADD_HANDLE=N  the next N curl_multi_add_handle calls fail
//   TAVRELLO_SHIM_SLOW_LOOKUP=S      looking up a name that ends in ".slow.test" takes S
//                                    seconds and then finds nothing
//   TAVRELLO_SHIM_NO_DESCRIPTORS=1   while set, eventfd, socket and socketpair fail with
//                                    EMFILE, as when every descriptor is in use (a limit
//                                    would starve the sanitizers' runtimes too)
//   TAVRELLO_SHIM_NO_EVENTFD=1       eventfd fails with ENOSYS, as under a seccomp policy
//   TAVRELLO_SHIM_CLOCK=1            the monotonic clocks run ahead by the seconds the
//                                    program stores in tavrello_shim_clock_ahead (dlsym)
#include <curl/curl.h>
#include <dlfcn.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int fromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atoi(value) : 0;
}

// True while the budget lasts; each call spends one.
bool spend(std::atomic<int>& budget) { return budget.fetch_sub(1) > 0; }

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  static std::atomic<int> failures{fromEnvironment("TAVRELLO_SHIM_FAIL_THREADS")};
  static const auto real = next<decltype(&pthread_create)>("pthread_create");
  if (spend(failures)) return EAGAIN;
  return real(thread, attributes, start, argument);
}

CURLMcode curl_multi_add_handle(CURLM* multi, CURL* easy) {
  static std::atomic<int> failures{fromEnvironment("TAVRELLO_SHIM_FAIL_ADD_HANDLE")};
  static const auto real = next<decltype(&curl_multi_add_handle)>("curl_multi_add_handle");
  if (spend(failures)) return CURLM_OUT_OF_MEMORY;
  return real(multi, easy);
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  static const int seconds = fromEnvironment("TAVRELLO_SHIM_SLOW_LOOKUP");
  static const auto real = next<decltype(&getaddrinfo)>("getaddrinfo");
  static constexpr char kSlow[] = ".slow.test";
  const std::size_t length = node != nullptr ? std::strlen(node) : 0;
  if (length >= sizeof kSlow - 1 && std::strcmp(node + length - (sizeof kSlow - 1), kSlow) == 0) {
    sleep(static_cast<unsigned>(seconds));
    return EAI_NONAME;
  }
  return real(node, service, hints, result);
}

bool outOfDescriptors() {
  const char* value = std::getenv("TAVRELLO_SHIM_NO_DESCRIPTORS");
  if (value == nullptr || std::strcmp(value, "1") != 0) return false;
  errno = EMFILE;
  return true;
}

std::atomic<long> tavrello_shim_clock_ahead{0};

int clock_gettime(clockid_t clock, timespec* time) {
  static const auto real = next<decltype(&clock_gettime)>("clock_gettime");
  static const bool shifting = fromEnvironment("TAVRELLO_SHIM_CLOCK") == 1;
  const int result = real(clock, time);
  const bool monotonic = clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
                         clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
  if (result == 0 && shifting && monotonic) time->tv_sec += tavrello_shim_clock_ahead.load();
  return result;
}

int eventfd(unsigned int initial, int flags) {
  static const auto real = next<decltype(&eventfd)>("eventfd");
  static const bool refused = fromEnvironment("TAVRELLO_SHIM_NO_EVENTFD") == 1;
  if (refused) errno = ENOSYS;
  return refused || outOfDescriptors() ? -1 : real(initial, flags);
}

int socket(int domain, int type, int protocol) {
  static const auto real = next<decltype(&socket)>("socket");
  return outOfDescriptors() ? -1 : real(domain, type, protocol);
}

int socketpair(int domain, int type, int protocol, int pair[2]) {
  static const auto real = next<decltype(&socketpair)>("socketpair");
  return outOfDescriptors() ? -1 : real(domain, type, protocol, pair);
}

}  // extern "C"
