// The subcommands of the `tavrello` tool, one row per operation of the client, and the
// helpers that turn a result into what the tool prints.
//
// Thread safety: the table is immutable; the helpers are pure.
#pragma once

#include <string>
#include <vector>

#include <tavrello/tavrello.hpp>

namespace tavrello::cli {

/// The positional arguments of one subcommand, in the order the user typed them.
using Arguments = std::vector<std::string>;

/// One subcommand. The eleven differ only in these four things.
struct Command {
  const char* name;                        // kebab case of the operation, e.g. "get-last-data"
  const char* help;                        // one line for --help
  std::vector<const char*> argumentNames;  // positional names, e.g. {"GROUP", "MEMBER"}
  /// Starts the operation with exactly argumentNames.size() arguments.
  void (*start)(TavrelloAPI& api, const Arguments& arguments, CompletionHandler handler);
};

/// Every subcommand, in the order --help lists them.
const std::vector<Command>& commands();

/// The text printed for a reply body: the bytes unchanged, or with `pretty` the JSON
/// indented by two spaces, members in their original order (the bytes unchanged when they are not
/// JSON, invalid UTF-8 included, or nested more than 512 deep); a line feed is added when the
/// text does not end with one.
///   renderBody(bytesOf("{\"a\":1}"), true) == "{\n  \"a\": 1\n}\n"
///   renderBody(bytesOf("not json"), true) == "not json\n"
std::string renderBody(const Bytes& body, bool pretty);

/// What the tool knows when an operation fails, to explain the library's reason.
struct FailureContext {
  bool hasApiKey = false;
  bool hasServerKey = false;
  std::string host;  // the service host the request went to
};

/// The one line (without line feed) printed on standard error for a failed result:
/// "error: " and the library's reason, explained for the reasons it documents.
///   failureMessage("key", {false, true, "h:1"})
///     == "error: no API key: pass --api-key or set TAVRELLO_API_KEY"
std::string failureMessage(const std::string& reason, const FailureContext& context);

}  // namespace tavrello::cli
