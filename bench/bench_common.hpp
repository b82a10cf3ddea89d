// What the load programs share: the request body they all send, command-line
// parsing, resource usage, latency percentiles and the one JSON result line.
//
// Polling mode (--every G): N calls, one every G seconds, each waited for, as an application
// that polls does; the line then counts the connections the client saw itself open.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

// The library sends getLastData(kMemberKey) as
//   api_key=<24>&timestamp=<17 or so>&cert_key=<40 hex>&member_key=<28>
// which is about 150 bytes. The raw client and wrk send kFixedBody, the same
// fields with a fixed timestamp and signature, so every client puts the same
// number of bytes on the wire.
inline constexpr const char* kApiKey = "bench-api-key-0123456789";
inline constexpr const char* kServerKey = "bench-server-key-0123456789";
inline constexpr const char* kMemberKey = "bench-member-000000000000001";
inline const std::string kFixedBody = std::string("api_key=") + kApiKey +
                                      "&timestamp=1700000000.123456"
                                      "&cert_key=0123456789abcdef0123456789abcdef01234567"
                                      "&member_key=" +
                                      kMemberKey;

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1:8080";  // [http[s]://]host:port of the target
  std::string caFile;                   // PEM file of the CA that signed the target's certificate
  std::size_t requests = 20000;
  std::size_t concurrency = 16;
  bool burst = false;
  bool printBody = false;
  bool observer = false;  // an exchange observer counting every request
  bool executor = false;  // handlers run on the application's own loop thread
  double minutes = 0;     // > 0: soak mode (soak.cpp)
  int faultPercent = 5;   // soak: the share of requests sent where they fail on purpose
  double every = 0;       // > 0: polling mode, one call every so many seconds
  bool write = false;     // polling: createGroup instead of getLastData
  bool pipewait = false;  // raw: wait to share an HTTP/2 connection rather than open one
  // raw: the URL as a parsed handle (CURLOPT_CURLU), as the library sets it, not as text
  bool parsedUrl = false;
};

[[noreturn]] inline void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--host [https://]HOST:PORT] [--ca PEM] [--requests N] [--concurrency K]"
               " [--burst] [--observer] [--executor] [--pipewait] [--parsed-url] [--print-body]\n"
               "       %s --every SECONDS --requests N [--write] [--host ...] [--ca PEM]   (poll)\n"
               "       %s --minutes M [--fault-percent P] [--concurrency K]   (soak)\n",
               program, program, program);
  std::exit(2);
}

inline std::size_t parseCount(const char* program, const char* text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 100'000'000ULL) usage(program);
  return static_cast<std::size_t>(value);
}

inline Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--host" && hasValue) {
      options.host = argv[++i];
    } else if (arg == "--requests" && hasValue) {
      options.requests = parseCount(argv[0], argv[++i]);
    } else if (arg == "--concurrency" && hasValue) {
      options.concurrency = parseCount(argv[0], argv[++i]);
    } else if (arg == "--burst") {
      options.burst = true;
    } else if (arg == "--observer") {
      options.observer = true;
    } else if (arg == "--executor") {
      options.executor = true;
    } else if (arg == "--parsed-url") {
      options.parsedUrl = true;
    } else if (arg == "--print-body") {
      options.printBody = true;
    } else if (arg == "--minutes" && hasValue) {
      options.minutes = std::atof(argv[++i]);
    } else if (arg == "--fault-percent" && hasValue) {
      options.faultPercent = std::atoi(argv[++i]);
    } else if (arg == "--ca" && hasValue) {
      options.caFile = argv[++i];
    } else if (arg == "--every" && hasValue) {
      options.every = std::atof(argv[++i]);
      if (!(options.every > 0 && options.every <= 3600)) usage(argv[0]);
    } else if (arg == "--write") {
      options.write = true;
    } else if (arg == "--pipewait") {
      options.pipewait = true;
    } else {
      usage(argv[0]);
    }
  }
  options.concurrency = std::min(options.concurrency, options.requests);
  if (options.every > 0) options.concurrency = 1;
  return options;
}

/// The URL of `path` on the target: `host` as given when it names a scheme, plain HTTP if not.
inline std::string targetUrl(const std::string& host, const char* path) {
  return (host.find("://") == std::string::npos ? "http://" + host : host) + path;
}

/// Polling: when call `index` is due, `every` seconds after the one before.
inline Clock::duration callOffset(double every, std::size_t index) {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(every * static_cast<double>(index)));
}

/// The time a run may take: `timeout` for the work, and the pauses of polling on top.
inline Clock::duration runLimit(const Options& options, Clock::duration timeout) {
  return timeout + callOffset(options.every, options.requests);
}

/// Threads of this process right now (entries of /proc/self/task).
inline int threadCount() {
  int count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

/// User plus system CPU time of the whole process so far, in microseconds.
inline double cpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

/// Peak resident set size of the process, in KiB.
inline long peakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

/// The q-quantile (0..1) of `samples`, nearest rank; reorders them.
inline double quantile(std::vector<double>& samples, double q) {
  if (samples.empty()) return 0.0;
  std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()));
  rank = std::min(rank, samples.size() - 1);
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                   samples.end());
  return samples[rank];
}

/// Everything one load run reports.
struct Report {
  const char* client = "";
  const char* mode = "load";
  std::size_t concurrency = 0;
  std::size_t requests = 0;
  std::size_t completed = 0;
  double seconds = 0.0;
  double cpuMicros = 0.0;  // over the measured interval
  int threadsBefore = 0;
  int threadsAfter = 0;
  std::size_t notOk = 0;
  std::size_t bodyBytes = 0;
  std::vector<double> latencyMicros;  // one per completed request
  std::size_t handlerMissing = 0;     // burst: handlers never called
  std::size_t handlerRepeated = 0;    // burst: handlers called more than once
  double everySeconds = 0;            // polling: the time between calls
  const char* operation = "getLastData";
  std::size_t newConnections = 0;  // connections the client itself saw opened
};

/// Prints the report as one JSON line on stdout.
inline void printReport(Report& r) {
  const double p50 = quantile(r.latencyMicros, 0.50);
  const double p99 = quantile(r.latencyMicros, 0.99);
  const double perSecond = r.seconds > 0 ? static_cast<double>(r.completed) / r.seconds : 0.0;
  const double cpuPerRequest =
      r.completed > 0 ? r.cpuMicros / static_cast<double>(r.completed) : 0.0;
  std::printf(
      "{\"client\":\"%s\",\"mode\":\"%s\",\"k\":%zu,\"requests\":%zu,\"completed\":%zu,"
      "\"seconds\":%.4f,\"req_per_s\":%.1f,\"cpu_us_per_req\":%.2f,\"peak_rss_kib\":%ld,"
      "\"threads_before\":%d,\"threads_after\":%d,\"threads_started\":%d,"
      "\"p50_us\":%.1f,\"p99_us\":%.1f,\"not_ok\":%zu,\"body_bytes\":%zu,"
      "\"handler_missing\":%zu,\"handler_repeated\":%zu,\"every_s\":%g,\"operation\":\"%s\","
      "\"client_new_connections\":%zu}\n",
      r.client, r.mode, r.concurrency, r.requests, r.completed, r.seconds, perSecond, cpuPerRequest,
      peakRssKib(), r.threadsBefore, r.threadsAfter, r.threadsAfter - r.threadsBefore, p50, p99,
      r.notOk, r.bodyBytes, r.handlerMissing, r.handlerRepeated, r.everySeconds, r.operation,
      r.newConnections);
  std::fflush(stdout);
}

}  // namespace bench
