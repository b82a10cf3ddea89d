// Uses only the public interface of the library it was built against: signs the basic
// parameters, and meets an unreachable service with a failure that says why.
#include <tavrello/tavrello.hpp>

#include <chrono>
#include <cstdio>

int main() {
  auto& api = tavrello::TavrelloAPI::shared();
  api.setApiKey("consumer-api-key");
  api.setServerKey("consumer-server-key");
  const tavrello::Params params = api.getBasicParams();
  if (std::any_cast<const std::string&>(params.at("cert_key")).size() != 40) return 1;
  api.setServiceHost("127.0.0.1:1");  // nothing listens there
  std::shared_ptr<tavrello::TavrelloResult> result;
  api.getGroups([&](std::shared_ptr<tavrello::TavrelloResult> r) { result = std::move(r); });
  tavrello::MainQueue::shared().runUntil([&] { return result != nullptr; },
                                         std::chrono::seconds(70));
  if (!result) return 1;
  std::printf("getGroups: %s %s: %s\n", result->result().c_str(), result->reason().c_str(),
              result->detail().c_str());
  return result->reason() == "http" && !result->detail().empty() ? 0 : 1;
}
