// tavrello: the command-line tool. One subcommand per operation of the client (the table
// is in commands.cpp); it sends one request through the public interface, waits on the
// main queue for the result and prints the reply body.
//
// Exit codes: 0 the exchange succeeded and the body is on standard output (the service may
// still have refused the request: that is said in the body); 1 the exchange failed or a key
// is missing, one "error: ..." line on standard error (after the --verbose lines, if asked
// for); 2 the command line is wrong.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <tavrello/tavrello.hpp>

#include "commands.hpp"

namespace {

using tavrello::cli::Arguments;
using tavrello::cli::Command;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The library itself gives up on an exchange after 60 s and delivers "http"; this bound
// only keeps the tool from waiting forever should a result never arrive.
constexpr std::chrono::seconds kResultWait{90};

struct Settings {
  std::string apiKey;  // empty: missing
  std::string serverKey;
  std::string host;    // empty: the library's compiled-in default
  std::string caFile;  // empty: the system trust store
  bool pretty = false;
  bool verbose = false;
};

const char* argumentHelp(const std::string& name) {
  if (name == "MEMBER") return "Member key";
  if (name == "GROUP") return "Group key";
  if (name == "NAME") return "Group name";
  if (name == "PAGE") return "Page number, from 1";
  return "Unix time in seconds, sent as typed";  // START, END
}

int run(const Command& command, const Arguments& arguments, const Settings& settings) {
  auto& api = tavrello::TavrelloAPI::shared();
  // A key left unset makes the library answer "key" without sending anything; that result
  // takes the same path as every other failure below.
  if (!settings.apiKey.empty()) api.setApiKey(settings.apiKey);
  if (!settings.serverKey.empty()) api.setServerKey(settings.serverKey);
  if (!settings.host.empty()) api.setServiceHost(settings.host);
  if (!settings.caFile.empty()) api.setCaFile(settings.caFile);
  if (settings.verbose) {
    api.setObserver([](const tavrello::Exchange& exchange) {
      std::fprintf(stderr, "%s\n", tavrello::cli::exchangeLine(exchange).c_str());
    });
  }

  // Shared with the handler, so that a result arriving after a give-up has somewhere to go.
  auto slot = std::make_shared<std::shared_ptr<tavrello::TavrelloResult>>();
  command.start(api, arguments,
                [slot](std::shared_ptr<tavrello::TavrelloResult> r) { *slot = std::move(r); });
  // runUntil() checks before waiting, so a result delivered during start() ends it at once.
  if (!tavrello::MainQueue::shared().runUntil([&] { return *slot != nullptr; }, kResultWait)) {
    std::fprintf(stderr, "error: no result within %lld s\n",
                 static_cast<long long>(kResultWait.count()));
    return kExitFailed;
  }
  const tavrello::TavrelloResult& result = **slot;
  if (result.result() != "ok") {
    std::fprintf(stderr, "%s\n", tavrello::cli::failureMessage(result).c_str());
    // The service's own words on a status outside 2xx, after the line that names it.
    if (!result.errorBody().empty()) {
      const std::string words = tavrello::cli::renderBody(result.errorBody(), settings.pretty);
      std::fwrite(words.data(), 1, words.size(), stderr);
    }
    return kExitFailed;
  }
  const std::string text =
      tavrello::cli::renderBody(result.response().value_or(tavrello::Bytes{}), settings.pretty);
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (!written || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "error: cannot write the reply to standard output\n");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavrello: calls the partner location service, one operation per subcommand"};
  app.footer(
      "Give the keys in TAVRELLO_API_KEY and TAVRELLO_SERVER_KEY rather than as options:\n"
      "every user of the machine can read a program's arguments.\n"
      "An argument that starts with \"-\" goes after \"--\": tavrello create-group -- -ops\n"
      "Prints the reply body. Exit codes:\n"
      "  0  the exchange succeeded (the body says whether the service accepted the request)\n"
      "  1  the exchange failed, or a key is missing\n"
      "  2  usage error");
  Settings settings;
  app.set_version_flag("--version", tavrello::version(), "Print the version and exit");
  const auto takeLast = CLI::MultiOptionPolicy::TakeLast;
  // Keys belong in the environment: an argument is visible to every user in the process list.
  app.add_option("--api-key", settings.apiKey,
                 "API key; prefer TAVRELLO_API_KEY, as any user can read arguments")
      ->envname("TAVRELLO_API_KEY")
      ->multi_option_policy(takeLast);
  app.add_option("--server-key", settings.serverKey,
                 "Server key (signs, never sent); prefer TAVRELLO_SERVER_KEY")
      ->envname("TAVRELLO_SERVER_KEY")
      ->multi_option_policy(takeLast);
  app.add_option("--host", settings.host,
                 "Service [http://|https://]HOST[:PORT] (default: compiled in)")
      ->envname("TAVRELLO_HOST")
      ->multi_option_policy(takeLast);
  app.add_option("--ca-file", settings.caFile,
                 "PEM file of trusted CAs for https (default: the system's)")
      ->envname("TAVRELLO_CA_FILE")
      ->multi_option_policy(takeLast);
  app.add_flag("--pretty", settings.pretty, "Indent a JSON reply");
  app.add_flag("--verbose", settings.verbose,
               "One line per exchange on standard error: URL, status, sizes, time");
  // One line for a usage error, as for every other failure.
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("error: ") + e.what() + " (see --help)\n";
  });
  app.require_subcommand(1);
  app.fallthrough();  // the options above may also follow the subcommand

  const std::vector<Command>& table = tavrello::cli::commands();
  std::vector<Arguments> arguments(table.size());
  std::vector<CLI::App*> subcommands;
  for (std::size_t i = 0; i < table.size(); ++i) {
    CLI::App* sub = app.add_subcommand(table[i].name, table[i].help);
    arguments[i].resize(table[i].argumentNames.size());
    for (std::size_t j = 0; j < arguments[i].size(); ++j) {
      const std::string name = table[i].argumentNames[j];
      sub->add_option(name, arguments[i][j], argumentHelp(name))->required();
    }
    subcommands.push_back(sub);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;  // --help is a ParseError with code 0
  }
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (subcommands[i]->parsed()) return run(table[i], arguments[i], settings);
  }
  return kExitUsage;  // not reached: exactly one subcommand is required
}
