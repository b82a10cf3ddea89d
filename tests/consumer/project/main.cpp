// Uses only the public interface of the library it was built against: runs with the version
// its headers name, signs the basic parameters, and meets an unreachable service with a
// failure that says why.
#include <tavrello/tavrello.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>

// The standard the consumer compiles with: the package's flags must not change it.
#ifdef TAVRELLO_CONSUMER_STANDARD
static_assert(__cplusplus == TAVRELLO_CONSUMER_STANDARD, "the language standard was changed");
#endif

int main() {
  if (std::strcmp(tavrello::version(), TAVRELLO_VERSION_STRING) != 0) {
    std::printf("headers %s, library %s\n", TAVRELLO_VERSION_STRING, tavrello::version());
    return 1;
  }
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
