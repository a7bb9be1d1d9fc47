// The command words of the tool, one row each: the usage line, the lines
// `tovik <word> --help` prints below it, what each argument after the word
// may be, and, for the offline commands, how many arguments they need.
//
// The entry point checks a command's arguments against its row before the
// action runs: an argument that begins with "-" where a file or a name
// belongs is an unknown option ("unknown option <arg>" and the usage line),
// never a file to create or a den to write into. A "--" in such a place
// ends the checking, so the arguments after it are taken as they are.
//
// Threads: read-only data; any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"

namespace tovik::cli {

struct CommandRow {
  std::string_view word;
  // One line without its line feed, "usage: tovik ...".
  std::string_view usage;
  // The rest of the --help text, each line ended by a line feed.
  std::string_view details;
  // One letter per argument after the word: 'n' a file or a name (may not
  // begin with "-"), 'v' a value taken as it is (an id, JSON, a filter, a
  // limit, an address), 'o' options from here on, read by the command.
  // Arguments past the end are not checked.
  std::string_view places;
  // Offline commands: the arguments they need, the word and the file
  // included; 0 for every other command.
  std::size_t required = 0;
};

// The row of word ("--version" is the row of "version"), or null.
[[nodiscard]] const CommandRow* find_command(std::string_view word);

// The usage line of a word that has a row (an empty view otherwise).
[[nodiscard]] std::string_view usage_of(std::string_view word);

// -h or --help.
[[nodiscard]] bool is_help_flag(std::string_view arg);

// "unknown option <arg>" and, on the next line, the usage line.
[[nodiscard]] Failure unknown_option(std::string_view arg, std::string_view usage);

// The usage line and the details, as --help prints them.
[[nodiscard]] std::string command_help(const CommandRow& row);

// args[0] is the row's word. Refuses an argument beginning with "-" in a
// file or name place; removes a "--" standing in such a place and checks
// nothing after it.
[[nodiscard]] Outcome check_places(const CommandRow& row, std::vector<std::string>& args);

}  // namespace tovik::cli
