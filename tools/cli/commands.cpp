#include "commands.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
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

// Indenting recurses once per level of nesting; a reply nested deeper than any real one is
// printed as it came rather than risk the stack.
constexpr std::size_t kMaxPrettyDepth = 512;

// The deepest nesting of arrays and objects in `text` (brackets inside strings do not count).
std::size_t nestingDepth(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (escaped) {
      escaped = false;
    } else if (inString) {
      escaped = c == '\\';
      inString = c != '"';
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

std::string nearestCommand(const std::string& word) {
  // Levenshtein distance, one row at a time.
  const auto distance = [&word](std::string_view name) {
    std::vector<std::size_t> row(name.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= word.size(); ++i) {
      std::size_t diagonal = row[0];
      row[0] = i;
      for (std::size_t j = 1; j <= name.size(); ++j) {
        const std::size_t above = row[j];
        row[j] =
            std::min({above + 1, row[j - 1] + 1, diagonal + (word[i - 1] == name[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    return row.back();
  };
  const Command* nearest = &commands().front();
  for (const Command& command : commands()) {
    if (distance(command.name) < distance(nearest->name)) nearest = &command;
  }
  return nearest->name;
}

std::string renderBody(const Bytes& body, bool pretty) {
  std::string text(body.begin(), body.end());
  if (pretty && nestingDepth(text) <= kMaxPrettyDepth) {
    try {
      // ordered_json keeps the members in the order the service sent them. The parser
      // rejects invalid UTF-8, so dump() cannot meet any; "replace" is only a backstop.
      const auto json = nlohmann::ordered_json::parse(text, nullptr, /*allow_exceptions=*/false);
      if (!json.is_discarded()) {
        text = json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
      }
    } catch (const std::exception&) {
      // Out of memory on a huge reply: it is printed as it came.
    }
  }
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  return text;
}

std::string failureMessage(const TavrelloResult& result) {
  std::string line = "error: " + result.reason() + ": " + result.detail();
  if (result.reason() == "key") {
    const bool api = result.detail().find("API key") != std::string::npos;
    const bool server = result.detail().find("server key") != std::string::npos;
    line += std::string(" (set ") + (api ? "TAVRELLO_API_KEY" : "") +
            (api && server ? " and " : "") + (server ? "TAVRELLO_SERVER_KEY" : "") + ")";
  } else if (result.reason() == "Invalid URL") {
    line += " (pass --host or set TAVRELLO_HOST to [https://]HOST[:PORT])";
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
