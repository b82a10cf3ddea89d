#include "commands.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace tavrello::cli {

const std::vector<Command>& commands() {
  using Api = TavrelloAPI;
  using Args = Arguments;
  using Handler = CompletionHandler;
  // One row per operation: name, help, positional names, an example, the call. Kept as a
  // table by hand.
  // clang-format off
  static const std::vector<Command> table = {
    {"get-last-data", "The last known location of a member", {"MEMBER"},
     "tavrello get-last-data m-0001",
     [](Api& api, const Args& a, Handler h) { api.getLastData(a[0], std::move(h)); }},
    {"get-data-between-24-hours", "A member's locations between two Unix times",
     {"MEMBER", "START", "END"}, "tavrello get-data-between-24-hours m-0001 1718000000 1718003600",
     [](Api& api, const Args& a, Handler h) {
       api.getDataBetween24Hours(a[0], a[1], a[2], std::move(h)); }},
    {"get-objects-data", "One page of all members, 100 per page (PAGE counts from 1)", {"PAGE"},
     "tavrello --pretty get-objects-data 1",
     [](Api& api, const Args& a, Handler h) { api.getObjectsData(a[0], std::move(h)); }},
    {"get-groups", "All groups", {}, "tavrello --host https://api.example.com get-groups",
     [](Api& api, const Args&, Handler h) { api.getGroups(std::move(h)); }},
    {"get-groups-with-object", "The groups that hold a member", {"MEMBER"},
     "tavrello get-groups-with-object m-0001",
     [](Api& api, const Args& a, Handler h) { api.getGroupsWithObject(a[0], std::move(h)); }},
    {"get-group-members", "The members of a group", {"GROUP"}, "tavrello get-group-members g-001",
     [](Api& api, const Args& a, Handler h) { api.getGroupMembers(a[0], std::move(h)); }},
    {"create-group", "Creates a group; the reply names its key", {"NAME"},
     "tavrello create-group \"Night shift\"",
     [](Api& api, const Args& a, Handler h) { api.createGroup(a[0], std::move(h)); }},
    {"edit-group-name", "Renames a group", {"GROUP", "NAME"},
     "tavrello edit-group-name g-006 \"Day shift\"",
     [](Api& api, const Args& a, Handler h) { api.editGroupName(a[0], a[1], std::move(h)); }},
    {"remove-group", "Deletes a group", {"GROUP"}, "tavrello remove-group g-006",
     [](Api& api, const Args& a, Handler h) { api.removeGroup(a[0], std::move(h)); }},
    {"add-group-member", "Adds a member to a group", {"GROUP", "MEMBER"},
     "tavrello add-group-member g-006 m-0001",
     [](Api& api, const Args& a, Handler h) { api.addGroupMember(a[0], a[1], std::move(h)); }},
    {"remove-group-member", "Takes a member out of a group", {"GROUP", "MEMBER"},
     "tavrello --verbose remove-group-member g-006 m-0001",
     [](Api& api, const Args& a, Handler h) { api.removeGroupMember(a[0], a[1], std::move(h)); }},
  };
  // clang-format on
  return table;
}

namespace {

// A reply nested deeper than any real one is printed as it came: its indentation alone would
// grow with the square of the depth.
constexpr std::size_t kMaxPrettyDepth = 512;

// `json`, which the JSON parser accepted, indented by two spaces as the parser's own output
// would be ("{}" and "[]" when empty, ": " after a name), but with every string, number and
// literal copied byte for byte: only the white space between them changes. Nothing when it
// is nested deeper than kMaxPrettyDepth.
std::optional<std::string> indented(std::string_view json) {
  std::string out;
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  const auto newLine = [&] {
    out += '\n';
    out.append(2 * depth, ' ');
  };
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      inString = escaped || c != '"';
      escaped = !escaped && c == '\\';
      out += c;
      continue;
    }
    switch (c) {
      case '{':
      case '[': {
        out += c;
        const std::size_t next = json.find_first_not_of(" \t\n\r", i + 1);
        if (json[next] == '}' || json[next] == ']') {
          out += json[next];
          i = next;
        } else if (++depth > kMaxPrettyDepth) {
          return std::nullopt;
        } else {
          newLine();
        }
        break;
      }
      case '}':
      case ']':
        --depth;
        newLine();
        out += c;
        break;
      case ',':
        out += c;
        newLine();
        break;
      case ':':
        out += ": ";
        break;
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        break;
      default:
        inString = c == '"';
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string renderBody(const Bytes& body, bool pretty) {
  std::string text(body.begin(), body.end());
  // The parser only says whether the text is JSON (it rejects invalid UTF-8 too): the values
  // it would read, 0.10 as 0.1 for one, are never printed.
  if (pretty && nlohmann::json::accept(text)) {
    if (std::optional<std::string> indentedText = indented(text)) text = std::move(*indentedText);
  }
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  return text;
}

std::string failureMessage(const TavrelloResult& result, bool defaultHost) {
  std::string line = result.reason() + ": " + result.detail();
  if (result.reason() == "key") {
    const bool api = result.detail().find("API key") != std::string::npos;
    const bool server = result.detail().find("server key") != std::string::npos;
    line += std::string(" (set ") + (api ? "TAVRELLO_API_KEY" : "") +
            (api && server ? " and " : "") + (server ? "TAVRELLO_SERVER_KEY" : "") + ")";
  } else if (result.reason() == "Invalid URL") {
    line += " (pass --host or set TAVRELLO_HOST to [https://]HOST[:PORT])";
  } else if (defaultHost && result.detail().rfind("connection refused", 0) == 0) {
    line += " (the compiled-in default host; pass --host or set TAVRELLO_HOST to the service's)";
  }
  return line;
}

std::string exchangeLine(const Exchange& exchange) {
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f ms",
                static_cast<double>(exchange.elapsed.count()) / 1000.0);
  // Details of failures before any byte of the request could leave.
  static constexpr std::string_view kNeverSent[] = {"connection refused", "host name not resolved",
                                                    "proxy name not resolved", "cannot connect",
                                                    "TLS: "};
  const bool sent =
      exchange.httpStatus != 0 ||
      (exchange.reason != "Invalid URL" &&
       std::none_of(std::begin(kNeverSent), std::end(kNeverSent), [&](std::string_view start) {
         return exchange.detail.compare(0, start.size(), start) == 0;
       }));
  std::string line = exchange.method + " " + (exchange.url.empty() ? "(no URL)" : exchange.url) +
                     " " + exchange.operation + ": " +
                     (exchange.httpStatus != 0 ? "HTTP " + std::to_string(exchange.httpStatus)
                                               : std::string("no reply")) +
                     ", " +
                     (sent ? std::to_string(exchange.requestBytes) + " bytes out, " +
                                 std::to_string(exchange.replyBytes) + " in, "
                           : std::string("not sent, ")) +
                     elapsed;
  if (exchange.newConnection) line += ", new connection";
  if (exchange.result != "ok") line += "; " + exchange.reason + ": " + exchange.detail;
  return line;
}

}  // namespace tavrello::cli
