// tavrello-bench-raw: the floor for tavrello-bench-load. A plain libcurl-multi
// client on one thread with K reused easy handles, sending the same POST (body
// size, headers) N times with K in flight, and printing the same JSON line.
// Over HTTPS it keeps libcurl's defaults (HTTP/2 where the server offers it, its
// own connection and session caches), given only the CA to trust.
//
//   tavrello-bench-raw --host 127.0.0.1:8080 --requests 20000 --concurrency 16
//   tavrello-bench-raw --host https://127.0.0.1:8443 --ca ca.crt --concurrency 16 --pipewait
//   tavrello-bench-raw --host https://127.0.0.1:8443 --ca ca.crt --every 6 --requests 5
//   tavrello-bench-raw --host 127.0.0.1:8080 --parsed-url   # the URL as the library sets it
//   tavrello-bench-raw --print-body     # the body it sends, for wrk
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.hpp"

namespace {

using bench::Clock;

constexpr auto kRunTimeout = std::chrono::seconds(300);

struct Transfer {
  CURL* easy = nullptr;
  std::string reply;
  Clock::time_point issuedAt;
};

size_t keepReply(char* data, size_t size, size_t count, void* userdata) {
  static_cast<Transfer*>(userdata)->reply.append(data, size * count);
  return size * count;
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::parseOptions(argc, argv);
  if (options.printBody) {
    std::printf("%s\n", bench::kFixedBody.c_str());
    return 0;
  }
  if (options.burst || options.write) bench::usage(argv[0]);

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURLM* multi = curl_multi_init();
  curl_slist* headers = nullptr;
  for (const char* header :
       {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json", "Expect:"}) {
    headers = curl_slist_append(headers, header);
  }
  const std::string url = bench::targetUrl(options.host, "/api.get.member.location.last.php");
  const std::string& body = bench::kFixedBody;
  // As text, libcurl parses the URL again for every transfer; a parsed handle it only copies.
  CURLU* parsedUrl = nullptr;
  if (options.parsedUrl) {
    parsedUrl = curl_url();
    curl_url_set(parsedUrl, CURLUPART_URL, url.c_str(), 0);
  }

  std::vector<Transfer> transfers(options.concurrency);
  for (Transfer& transfer : transfers) {
    CURL* easy = curl_easy_init();
    transfer.easy = easy;
    if (parsedUrl != nullptr) {
      curl_easy_setopt(easy, CURLOPT_CURLU, parsedUrl);
    } else {
      curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keepReply);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    if (!options.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str());
    if (options.pipewait) curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
  }

  bench::Report report;
  report.client = options.pipewait       ? "raw+pipewait"
                  : parsedUrl != nullptr ? "raw+parsed-url"
                                         : "raw";
  report.mode = options.every > 0 ? "poll" : "load";
  report.everySeconds = options.every;
  report.concurrency = options.concurrency;
  report.requests = options.requests;
  report.bodyBytes = body.size();
  report.latencyMicros.reserve(options.requests);

  report.threadsBefore = bench::threadCount();
  const double cpuStart = bench::cpuMicros();
  const auto start = Clock::now();
  const auto deadline = start + bench::runLimit(options, kRunTimeout);
  std::size_t issued = 0;
  auto issue = [&](Transfer& transfer) {
    ++issued;
    transfer.reply.clear();
    transfer.issuedAt = Clock::now();
    curl_multi_add_handle(multi, transfer.easy);
  };
  // Runs the transfers until `target` of them completed; in load mode each completion
  // issues the next.
  auto runUntil = [&](std::size_t target) {
    while (report.completed < target && Clock::now() < deadline) {
      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        const CURLcode code = message->data.result;
        Transfer* transfer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
        long status = 0, connects = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
        if (connects > 0) ++report.newConnections;
        curl_multi_remove_handle(multi, easy);
        report.latencyMicros.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - transfer->issuedAt).count());
        if (code != CURLE_OK || status < 200 || status > 299) ++report.notOk;
        ++report.completed;
        if (options.every == 0 && issued < options.requests) issue(*transfer);
      }
      if (report.completed < target) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
  };
  if (options.every > 0) {
    for (std::size_t call = 0; call < options.requests && Clock::now() < deadline; ++call) {
      std::this_thread::sleep_until(start + bench::callOffset(options.every, call));
      issue(transfers.front());
      runUntil(call + 1);
    }
  } else {
    for (Transfer& transfer : transfers) issue(transfer);
    runUntil(options.requests);
  }
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  report.cpuMicros = bench::cpuMicros() - cpuStart;
  report.threadsAfter = bench::threadCount();
  report.notOk += options.requests - report.completed;

  for (Transfer& transfer : transfers) {
    curl_multi_remove_handle(multi, transfer.easy);
    curl_easy_cleanup(transfer.easy);
  }
  curl_multi_cleanup(multi);
  curl_url_cleanup(parsedUrl);
  curl_slist_free_all(headers);
  curl_global_cleanup();

  bench::printReport(report);
  return report.notOk == 0 ? 0 : 1;
}
