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

/// One subcommand. The eleven differ only in these five things.
struct Command {
  const char* name;                        // kebab case of the operation, e.g. "get-last-data"
  const char* help;                        // one line for --help
  std::vector<const char*> argumentNames;  // positional names, e.g. {"GROUP", "MEMBER"}
  const char* example;                     // a whole command line, for its --help
  /// Starts the operation with exactly argumentNames.size() arguments.
  void (*start)(TavrelloAPI& api, const Arguments& arguments, CompletionHandler handler);
};

/// Every subcommand, in the order --help lists them.
const std::vector<Command>& commands();

/// The text printed for a reply body: the bytes unchanged, or with `pretty` the JSON
/// indented by two spaces and nothing else changed: members in their order, every number and
/// string as the service wrote it (the bytes unchanged when they are not JSON, invalid UTF-8
/// included, or nested more than 512 deep); a line feed is added when the text does not end
/// with one.
///   renderBody(bytesOf("{\"a\":0.10}"), true) == "{\n  \"a\": 0.10\n}\n"
///   renderBody(bytesOf("not json"), true) == "not json\n"
std::string renderBody(const Bytes& body, bool pretty);

/// What the tool says of a failed result, after "tavrello: error: ": the library's reason
/// and its detail, with a hint where the tool's settings are the likely cause (a key not
/// set, a host that is no host, a connection refused by the compiled-in default host when
/// `defaultHost`, that is when neither --host nor TAVRELLO_HOST gave one).
///   "http: connection refused by 127.0.0.1:1"
///   "key: no API key set (set TAVRELLO_API_KEY)"
std::string failureMessage(const TavrelloResult& result, bool defaultHost);

/// The line --verbose prints on standard error for one exchange. A request that never left
/// (no status, and "Invalid URL", or a detail that says the connection or its TLS handshake
/// was never made: refused, not resolved, cannot connect, TLS) is "not sent" instead of a
/// count of bytes out.
///   "POST http://127.0.0.1:8787/api.partner.common.php getGroups: HTTP 200, 171 bytes out,
///    87 in, 3.2 ms, new connection"
///   "POST http://127.0.0.1:1/api.partner.common.php getGroups: no reply, not sent, 0.4 ms;
///    http: connection refused by 127.0.0.1:1"
std::string exchangeLine(const Exchange& exchange);

}  // namespace tavrello::cli
