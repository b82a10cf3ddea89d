// tavrello-sandbox: the sandbox service as a program. It parses the command line, starts a
// tavrello::sandbox::Sandbox on a loopback address, prints where it listens and runs until
// SIGINT or SIGTERM, which stop it cleanly with exit code 0.
//
// Exit codes: 0 stopped by a signal; 1 the service could not start (a port in use, say);
// 2 the command line is wrong. Either failure is one "tavrello-sandbox: error: ..." line on
// standard error.
#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <tavrello/sandbox.hpp>
#include <tavrello/version.hpp>

#include "command_line.hpp"
#include "sandbox_options.hpp"
#include "sandbox_service.hpp"
#include "standard_descriptors.hpp"

namespace {

constexpr const char* kProgram = "tavrello-sandbox";

// An option's check, in the words the program uses for every mistake.
template <typename Number>
std::function<std::string(const std::string&)> wholeNumber(Number least, Number most) {
  return [least, most](const std::string& text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool ok =
        error == std::errc() && end == text.data() + text.size() && value >= least && value <= most;
    return ok ? std::string()
              : "not a whole number from " + std::to_string(least) + " to " + std::to_string(most);
  };
}

std::string existingFile(const std::string& path) {
  return std::ifstream(path) ? std::string() : "cannot read " + path;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavrello::sandbox;
  tavrello::tools::reserveStandardDescriptors();
  CLI::App app{"tavrello-sandbox: a local stand-in for the partner location service"};
  Options options;
  options.listen = "127.0.0.1:8787";
  options.keepRequests = false;  // nobody asks for them, and they would grow without end
  bool quiet = false;
  app.set_version_flag("--version", std::string(kProgram) + " " + TAVRELLO_VERSION_STRING,
                       "Print the version and exit");
  app.add_option("--listen", options.listen,
                 "Loopback HOST:PORT to listen on; port 0 picks a free port")
      ->check([](const std::string& text) {
        // CLI11 puts the option's name in front: "--listen: not a loopback ...".
        return parseListen(text) ? std::string()
                                 : "not a loopback HOST:PORT such as 127.0.0.1:8787";
      })
      ->capture_default_str();
  app.add_option("--api-key", options.apiKey, "The one api_key the service accepts")
      ->capture_default_str();
  app.add_option("--server-key", options.serverKey, "The server key that signs requests")
      ->capture_default_str();
  app.add_option("--seed", options.seed, "Seed of the made-up members, tracks and groups")
      ->check(wholeNumber(std::uint64_t{0}, std::numeric_limits<std::uint64_t>::max()))
      ->capture_default_str();
  app.add_option("--members", options.members,
                 "Number of seeded members, 1 to " + std::to_string(kMaxMembers))
      ->check(wholeNumber(std::size_t{1}, kMaxMembers))
      ->capture_default_str();
  app.add_option("--start-time", options.clock,
                 "Unix time the seeded tracks end at, 0 to " + std::to_string(kMaxClock) +
                     " (default: now)")
      ->check(wholeNumber(std::int64_t{0}, kMaxClock));
  app.add_option("--tls-cert", options.tlsCertFile, "PEM certificate chain: serve HTTPS")
      ->check(existingFile);
  app.add_option("--tls-key", options.tlsKeyFile, "PEM private key of --tls-cert")
      ->check(existingFile);
  std::vector<std::string> faults;
  app.add_option("--fault", faults,
                 "Answer requests with a failure, e.g. op=createGroup,status=503,count=2,"
                 "body=TEXT (keys: op, status, count, delay, cut, body; see README.md)")
      ->check([](const std::string& text) {
        std::string error;
        parseFault(text, error);
        return error;
      });
  app.add_flag("--quiet", quiet, "Do not log requests to standard error");
  app.allow_extras();  // said below, in the words of every other mistake
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help and --version
    return tavrello::tools::usageError(kProgram, tavrello::tools::usageProblem(e));
  }
  if (!app.remaining().empty()) {
    return tavrello::tools::usageError(kProgram,
                                       tavrello::tools::unexpectedWord(app, app.remaining()[0]));
  }
  if (options.tlsCertFile.empty() != options.tlsKeyFile.empty()) {
    return tavrello::tools::usageError(kProgram, "--tls-cert and --tls-key go together");
  }

  // SIGINT and SIGTERM are blocked in every thread (the service's threads inherit the mask)
  // and taken synchronously below: no code runs in signal context.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  if (!quiet)
    options.log = [](const std::string& line) { std::cerr << line << '\n' << std::flush; };
  const std::string apiKey = options.apiKey, serverKey = options.serverKey;
  const std::uint64_t seed = options.seed;
  const std::size_t members = options.members;
  Sandbox sandbox(std::move(options));
  if (!sandbox.running()) {
    tavrello::tools::printError(kProgram, sandbox.error());
    return 1;
  }
  for (const std::string& text : faults) {
    std::string error;
    sandbox.injectFault(*parseFault(text, error));  // checked while parsing
  }
  std::cout << "listening on " << sandbox.host() << "\n"
            << "api key: " << apiKey << "\n"
            << "server key: " << serverKey << "\n"
            << "members: " << members << ", seed: " << seed << "\n"
            << std::flush;
  int signal = 0;
  sigwait(&stopSignals, &signal);
  sandbox.stop();
  return 0;
}
