// Uses only the installed public interface. Without arguments it signs a set
// of basic parameters; given "host:port" it also calls one operation against
// that service and waits for the reply on the main queue.
#include <tavrello/tavrello.hpp>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  auto& api = tavrello::TavrelloAPI::shared();
  api.setApiKey(argc > 2 ? argv[2] : "consumer-api-key");
  api.setServerKey(argc > 3 ? argv[3] : "consumer-server-key");
  tavrello::Params params = api.getBasicParams();
  const auto& certKey = std::any_cast<const std::string&>(params.at("cert_key"));
  if (params.size() != 3 || certKey.size() != 40) {
    std::fprintf(stderr, "unexpected basic parameters\n");
    return 1;
  }
  std::printf("cert_key %s\n", certKey.c_str());
  if (argc < 2) return 0;

  api.setServiceHost(argv[1]);
  std::shared_ptr<tavrello::TavrelloResult> result;
  api.getGroups([&](std::shared_ptr<tavrello::TavrelloResult> r) { result = std::move(r); });
  tavrello::MainQueue::shared().runUntil([&] { return result != nullptr; },
                                         std::chrono::seconds(70));
  if (!result) return 1;
  const std::string body = result->description();
  std::printf("getGroups: %s %s\n", result->result().c_str(), body.c_str());
  // The exchange succeeded and the service accepted the signature.
  return result->result() == "ok" && body.find("\"result\":\"ok\"") != std::string::npos ? 0 : 1;
}
