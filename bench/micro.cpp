// tavrello-bench-micro: the per-request work the library does besides the
// exchange itself, piece by piece. On the caller's thread: timestamp, SHA-1,
// the basic parameters, the form body; on the I/O thread: the result object
// and the hand-off to the main queue; on the main thread: draining it.
//
//   tavrello-bench-micro --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>

#include <tavrello/tavrello.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.hpp"
#include "internal/form_body.hpp"
#include "internal/main_queue_batch.hpp"
#include "internal/sha1_hex.hpp"
#include "internal/text_forms.hpp"

namespace {

const std::string kReply = R"({"result":"ok"})";

tavrello::TavrelloAPI& signedClient() {
  auto& api = tavrello::TavrelloAPI::shared();
  api.setApiKey(bench::kApiKey);
  api.setServerKey(bench::kServerKey);
  return api;
}

void BM_TimestampText(benchmark::State& state) {
  double seconds = 1700000000.123456;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tavrello::internal::timestampText(seconds));
    seconds += 0.000731;  // a new value every time, as the clock gives
  }
}
BENCHMARK(BM_TimestampText);

void BM_CurrentTimestampText(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tavrello::internal::timestampText(tavrello::internal::currentUnixTime()));
  }
}
BENCHMARK(BM_CurrentTimestampText);

void BM_Sha1Hex(benchmark::State& state) {
  const std::string certText =
      std::string("1700000000.123456|") + bench::kApiKey + "|" + bench::kServerKey;
  for (auto _ : state) benchmark::DoNotOptimize(tavrello::internal::sha1Hex(certText));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(certText.size()));
}
BENCHMARK(BM_Sha1Hex);

void BM_GetBasicParams(benchmark::State& state) {
  auto& api = signedClient();
  for (auto _ : state) benchmark::DoNotOptimize(api.getBasicParams());
}
BENCHMARK(BM_GetBasicParams);

// The body getLastData writes: the basic three fields and member_key.
void BM_EncodeFormBody(benchmark::State& state) {
  const tavrello::Params basic = signedClient().getBasicParams();
  const auto text = [&](const char* name) { return std::any_cast<std::string>(basic.at(name)); };
  const std::string apiKey = text("api_key"), timestamp = text("timestamp"),
                    certKey = text("cert_key");
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string body;
    body.reserve(160);
    tavrello::internal::appendFormField(body, "api_key", apiKey);
    tavrello::internal::appendFormField(body, "timestamp", timestamp);
    tavrello::internal::appendFormField(body, "cert_key", certKey);
    tavrello::internal::appendFormField(body, "member_key", bench::kMemberKey);
    bytes = body.size();
    benchmark::DoNotOptimize(body);
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeFormBody);

void BM_BuildResult(benchmark::State& state) {
  for (auto _ : state) {
    // The reply arrives as fresh bytes, as the transport's write callback
    // collects them.
    tavrello::Bytes reply(kReply.begin(), kReply.end());
    auto result = std::make_shared<tavrello::TavrelloResult>(std::move(reply));
    result->setResult("ok");
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_BuildResult);

// One completion: the I/O thread's hand-off and the main thread's drain, with
// a handler the size of a real one (a std::function holding the result).
void BM_MainQueueRoundTrip(benchmark::State& state) {
  auto& queue = tavrello::MainQueue::shared();
  auto result = std::make_shared<tavrello::TavrelloResult>();
  std::size_t ran = 0;
  tavrello::CompletionHandler handler = [&ran](std::shared_ptr<tavrello::TavrelloResult>) {
    ++ran;
  };
  for (auto _ : state) {
    queue.post([handler, result] { handler(result); });
    benchmark::DoNotOptimize(queue.runPending());
  }
  if (ran != static_cast<std::size_t>(state.iterations())) state.SkipWithError("lost tasks");
}
BENCHMARK(BM_MainQueueRoundTrip);

// As the driving thread delivers: a batch of completions (handler and result)
// under one lock, then one drain. Reported per completion.
void BM_MainQueueBatchRoundTrip(benchmark::State& state) {
  auto& queue = tavrello::MainQueue::shared();
  const auto batchSize = static_cast<std::size_t>(state.range(0));
  auto result = std::make_shared<tavrello::TavrelloResult>();
  std::size_t ran = 0;
  tavrello::CompletionHandler handler = [&ran](std::shared_ptr<tavrello::TavrelloResult>) {
    ++ran;
  };
  std::vector<tavrello::internal::Completion> batch;
  batch.reserve(batchSize);
  for (auto _ : state) {
    for (std::size_t i = 0; i < batchSize; ++i) batch.push_back({handler, result});
    tavrello::internal::postCompletionsToMainQueue(batch);
    benchmark::DoNotOptimize(queue.runPending());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  if (ran != static_cast<std::size_t>(state.iterations()) * batchSize) {
    state.SkipWithError("lost tasks");
  }
}
BENCHMARK(BM_MainQueueBatchRoundTrip)->Arg(1)->Arg(16)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
