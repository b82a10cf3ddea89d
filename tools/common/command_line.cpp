#include "command_line.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace tavrello::tools {

void printError(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: error: %s\n", program, message.c_str());
}

int usageError(const char* program, const std::string& problem) {
  printError(program, problem + " (see --help)");
  return kExitUsage;
}

std::string usageProblem(const CLI::ParseError& error) {
  const std::string what = error.what();
  const std::string name = error.get_name();
  // "--host: 1 required TEXT missing"
  if (name == "ArgumentMismatch") return what.substr(0, what.find(':')) + " needs a value";
  // "Could not convert: --pretty = x"
  const std::string_view convert = "Could not convert: ";
  if (name == "ConversionError" && what.rfind(convert, 0) == 0) {
    const std::size_t equals = what.find(" = ", convert.size());
    if (equals != std::string::npos) {
      return what.substr(convert.size(), equals - convert.size()) + " does not take \"" +
             what.substr(equals + 3) + "\"";
    }
  }
  return what;  // the option's own check: "--listen: not a loopback HOST:PORT ..."
}

std::string nearestName(const std::string& word, const std::vector<std::string>& names) {
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
  std::string nearest;
  std::size_t best = word.size() / 3 + 1;  // a distance that is too far
  for (const std::string& name : names) {
    if (const std::size_t d = distance(name); d < best) {
      best = d;
      nearest = name;
    }
  }
  return nearest;
}

std::string suggestion(const std::string& name) {
  return name.empty() ? "" : "; did you mean \"" + name + "\"?";
}

std::string unexpectedWord(const CLI::App& app, const std::string& word) {
  if (word.size() < 2 || word[0] != '-') return "\"" + word + "\" was not expected";
  std::vector<std::string> options;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames()) options.push_back("--" + name);
  }
  const std::string given = word.substr(0, word.find('='));
  return "unknown option \"" + given + "\"" + suggestion(nearestName(given, options));
}

}  // namespace tavrello::tools
