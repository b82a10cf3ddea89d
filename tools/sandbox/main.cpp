// tavrello-sandbox: the sandbox service as a program. It parses the command line, starts a
// tavrello::sandbox::Sandbox on a loopback address, prints where it listens and runs until
// SIGINT or SIGTERM, which stop it cleanly with exit code 0.
//
// Exit codes: 0 stopped by a signal; 1 the service could not start (a port in use, say);
// 2 the command line is wrong (one line on standard error).
#include <pthread.h>
#include <signal.h>

#include <csignal>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <tavrello/sandbox.hpp>
#include <tavrello/version.hpp>

#include "sandbox_options.hpp"
#include "sandbox_service.hpp"

int main(int argc, char** argv) {
  using namespace tavrello::sandbox;
  CLI::App app{"tavrello-sandbox: a local stand-in for the partner location service"};
  Options options;
  options.listen = "127.0.0.1:8787";
  options.keepRequests = false;  // nobody asks for them, and they would grow without end
  bool quiet = false;
  app.set_version_flag("--version", TAVRELLO_VERSION_STRING, "Print the version and exit");
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
      ->capture_default_str();
  app.add_option("--members", options.members, "Number of seeded members")
      ->check(CLI::Range(std::size_t{1}, kMaxMembers))
      ->capture_default_str();
  app.add_option("--start-time", options.clock, "Unix time the seeded tracks end at (default: now)")
      ->check(CLI::Range(std::int64_t{0}, kMaxClock));
  app.add_option("--tls-cert", options.tlsCertFile, "PEM certificate chain: serve HTTPS")
      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", options.tlsKeyFile, "PEM private key of --tls-cert")
      ->check(CLI::ExistingFile);
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
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("tavrello-sandbox: ") + e.what() + " (see --help)\n";
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;  // --help is a ParseError with code 0
  }
  if (options.tlsCertFile.empty() != options.tlsKeyFile.empty()) {
    std::cerr << "tavrello-sandbox: --tls-cert and --tls-key go together (see --help)\n";
    return 2;
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
    std::cerr << "tavrello-sandbox: " << sandbox.error() << "\n";
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
