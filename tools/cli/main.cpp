// tavrello: the command-line tool. One subcommand per operation of the client (the table
// is in commands.cpp); it sends one request through the public interface, waits on the
// main queue for the result and prints the reply body.
//
// Exit codes, for scripts to branch on (also in --help): 0 the exchange succeeded and the
// body is on standard output (the service may still have refused the request: that is said
// in the body); 1 the exchange failed ("http") or the body could not be written; 2 the
// command line is wrong; 3 a key is missing ("key"); 4 the service host is not a URL
// ("Invalid URL"). Every failure is one "tavrello: error: ..." line on standard error (after
// the --verbose lines, if asked for), followed by the service's own words when it sent some.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <tavrello/tavrello.hpp>

#include "command_line.hpp"
#include "commands.hpp"
#include "standard_descriptors.hpp"

namespace {

using tavrello::cli::Arguments;
using tavrello::cli::Command;
using tavrello::tools::kExitUsage;

constexpr const char* kProgram = "tavrello";
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoKey = 3;
constexpr int kExitInvalidUrl = 4;

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  the exchange succeeded (the body says whether the service accepted the request)\n"
    "  1  the exchange failed, or the body could not be written\n"
    "  2  usage error\n"
    "  3  a key is missing\n"
    "  4  the service host is not [https://]HOST[:PORT]";

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

// A subcommand's help lists the tool's own options too: they may come before or after it.
class SubcommandHelp : public CLI::Formatter {
 public:
  std::string make_footer(const CLI::App* app) const override {
    const std::string footer = CLI::Formatter::make_footer(app);
    const CLI::App* tool = app->get_parent();
    if (tool == nullptr) return footer;
    const std::vector<const CLI::Option*> shared =
        tool->get_options([tool](const CLI::Option* option) {
          return option != tool->get_help_ptr() && option->get_name() != "--version";
        });
    // make_group() starts with a blank line, which the options above already end with.
    return make_group("Options of every command", false, shared).substr(1) + "\n" + footer;
  }
};

int usageError(const std::string& problem) {
  return tavrello::tools::usageError(kProgram, problem);
}

int exitCodeOf(const tavrello::TavrelloResult& result) {
  if (result.reason() == "key") return kExitNoKey;
  if (result.reason() == "Invalid URL") return kExitInvalidUrl;
  return kExitFailed;
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
    tavrello::tools::printError(kProgram,
                                "no result within " + std::to_string(kResultWait.count()) + " s");
    return kExitFailed;
  }
  const tavrello::TavrelloResult& result = **slot;
  if (result.result() != "ok") {
    tavrello::tools::printError(kProgram,
                                tavrello::cli::failureMessage(result, settings.host.empty()));
    // The service's own words on a status outside 2xx, after the line that names it.
    if (!result.errorBody().empty()) {
      const std::string words = tavrello::cli::renderBody(result.errorBody(), settings.pretty);
      std::fwrite(words.data(), 1, words.size(), stderr);
    }
    return exitCodeOf(result);
  }
  const std::string text =
      tavrello::cli::renderBody(result.response().value_or(tavrello::Bytes{}), settings.pretty);
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (!written || std::fflush(stdout) != 0) {
    tavrello::tools::printError(kProgram, "cannot write the reply to standard output");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  tavrello::tools::reserveStandardDescriptors();
  CLI::App app{"tavrello: calls the partner location service, one operation per command",
               "tavrello"};
  app.formatter(std::make_shared<SubcommandHelp>());  // the subcommands inherit it
  app.footer(
      std::string("Give the keys in TAVRELLO_API_KEY and TAVRELLO_SERVER_KEY rather than as\n"
                  "options: every user of the machine can read a program's arguments.\n"
                  "An argument that starts with \"-\" goes after \"--\": tavrello create-group "
                  "-- -ops\n"
                  "Prints the reply body; \"tavrello COMMAND --help\" tells more of each.\n") +
      kExitCodes);
  Settings settings;
  app.set_version_flag("--version", std::string(kProgram) + " " + tavrello::version(),
                       "Print the version and exit");
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
  app.fallthrough();   // the options above may also follow the subcommand
  app.allow_extras();  // an unknown word is looked at below, to suggest the nearest command

  const std::vector<Command>& table = tavrello::cli::commands();
  std::vector<Arguments> arguments(table.size());
  std::vector<CLI::App*> subcommands;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < table.size(); ++i) {
    CLI::App* sub = app.add_subcommand(table[i].name, table[i].help);
    sub->footer(std::string("Example:\n  ") + table[i].example + "\n\n" + kExitCodes);
    arguments[i].resize(table[i].argumentNames.size());
    // Required, but checked below, so that the tool says what is missing in its own words.
    for (std::size_t j = 0; j < arguments[i].size(); ++j) {
      const std::string name = table[i].argumentNames[j];
      sub->add_option(name, arguments[i][j], argumentHelp(name) + std::string(" (required)"));
    }
    subcommands.push_back(sub);
    names.emplace_back(table[i].name);
  }
  const auto unknownCommand = [&names](const std::string& word) {
    return "unknown command \"" + word + "\"" +
           tavrello::tools::suggestion(tavrello::tools::nearestName(word, names));
  };

  // "tavrello help" and "tavrello help COMMAND", as --help and COMMAND --help.
  if (argc > 1 && std::string(argv[1]) == "help") {
    if (argc > 3) return usageError(tavrello::tools::unexpectedWord(app, argv[3]));
    const CLI::App* about = &app;
    for (const CLI::App* sub : subcommands) {
      if (argc > 2 && sub->get_name() == argv[2]) about = sub;
    }
    if (argc > 2 && about == &app) return usageError(unknownCommand(argv[2]));
    std::fputs(about->help(about == &app ? "" : app.get_name()).c_str(), stdout);
    return kExitOk;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help and --version
    return usageError(tavrello::tools::usageProblem(e));
  }
  const std::vector<std::string> extras = app.remaining();
  for (std::size_t i = 0; i < table.size(); ++i) {
    const CLI::App& sub = *subcommands[i];
    if (!sub.parsed()) continue;
    for (const char* name : table[i].argumentNames) {
      if (sub.get_option(name)->count() != 0) continue;
      std::string problem = std::string(table[i].name) + " needs " + name;
      // An argument that starts with "-" was taken for an option and left its place empty.
      for (const std::string& word : extras) {
        if (word.size() < 2 || word[0] != '-') continue;
        return usageError(problem + "; \"" + word + "\" is not an option: a value that starts " +
                          "with \"-\" goes after \"--\", as in tavrello " + table[i].name + " -- " +
                          word);
      }
      return usageError(problem);
    }
    if (!extras.empty()) return usageError(tavrello::tools::unexpectedWord(app, extras.front()));
    return run(table[i], arguments[i], settings);
  }
  if (extras.empty()) return usageError("a command is required");
  const std::string& word = extras.front();
  if (word[0] == '-') return usageError(tavrello::tools::unexpectedWord(app, word));
  return usageError(unknownCommand(word));
}
