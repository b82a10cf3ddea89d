// The sandbox's request handling on any body: never crashes, never throws,
// always answers a JSON object with "result". Half of the inputs get a valid
// signature in front, so the fuzzer also reaches the actions behind the
// signature check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "sandbox_service.hpp"
#include "sandbox_wire.hpp"

using namespace tavrello::sandbox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Options options = [] {
    Options o;
    o.clock = 1700000000;
    o.members = 300;
    return o;
  }();
  static SandboxService* service = new SandboxService(options);
  if (size == 0) return 0;
  static const std::string paths[] = {std::string(kLastLocationPath),
                                      std::string(kLocationListPath), std::string(kMemberInfoPath),
                                      std::string(kCommonPath), "/unknown"};
  const std::uint8_t selector = data[0];
  const std::string& path = paths[selector % 5];
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  if (selector & 0x80) {
    const std::string timestamp = "1700000000.5";
    body = "api_key=" + options.apiKey + "&timestamp=" + timestamp +
           "&cert_key=" + certKey(timestamp, options.apiKey, options.serverKey) + "&" + body;
  }
  const char* method = (selector & 0x40) ? "GET" : "POST";
  const Reply reply = service->handle(method, path, "application/x-www-form-urlencoded", body);
  const auto json = nlohmann::json::parse(reply.body, nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json.contains("result")) std::abort();
  if (reply.status == 200 && reply.outcome.empty()) std::abort();
  return 0;
}
