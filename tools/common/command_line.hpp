// How the programs tell a command line they refuse: one line on standard error,
// "PROGRAM: error: PROBLEM (see --help)", in their own words rather than the parser's.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tavrello::tools {

/// The exit code of a command line that was refused.
constexpr int kExitUsage = 2;

/// Prints "PROGRAM: error: MESSAGE" and a line feed on standard error: the one form of every
/// error either program reports.
void printError(const char* program, const std::string& message);

/// Prints "PROGRAM: error: PROBLEM (see --help)" and returns kExitUsage.
int usageError(const char* program, const std::string& problem);

/// What the parser refused, said in our words: an option without its value, a value an
/// option does not take, or the option's own check (which CLI11 prefixes with its name).
///   usageProblem(<"--host" given last>) == "--host needs a value"
///   usageProblem(<"--pretty=x">) == "--pretty does not take \"x\""
std::string usageProblem(const CLI::ParseError& error);

/// Of `names`, the one nearest to `word` by edit distance (the first among equals), when it
/// is close enough to be what was meant: at most a third of the word's characters differ.
/// Empty otherwise.
///   nearestName("get-groupz", {"get-groups", "create-group"}) == "get-groups"
///   nearestName("version", {"get-groups", "create-group"}) == ""
std::string nearestName(const std::string& word, const std::vector<std::string>& names);

/// What to say of a word the command line did not expect: an unknown option (with the
/// nearest of `app`'s options, when one is close) or an argument too many.
///   unexpectedWord(app, "--prety") == "unknown option \"--prety\"; did you mean \"--pretty\"?"
///   unexpectedWord(app, "extra") == "\"extra\" was not expected"
std::string unexpectedWord(const CLI::App& app, const std::string& word);

/// "; did you mean \"NAME\"?" for a close name, else "".
std::string suggestion(const std::string& name);

}  // namespace tavrello::tools
