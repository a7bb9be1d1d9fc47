// The command words of the tool, one row each: the usage line, the lines
// `tovik <word> --help` prints below it, what each argument after the word
// may be, the action that runs it and, for the offline commands, how many
// arguments they need and the handler that runs on the open file.
//
// The entry point (run_command_line) finds the row of the first argument,
// checks the command's arguments against it and runs its action: an
// argument that begins with "-" where a file or a name belongs is an unknown
// option ("unknown option <arg>" and the usage line), never a file to create
// or a den to write into. A "--" in such a place ends the checking, so the
// arguments after it are taken as they are.
//
// Adding a command is one row in command_table.cc and its handler.
//
// Threads: read-only data; any thread. run_command_line: the tool's one
// thread.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"

namespace tovik {
class Store;
}  // namespace tovik

namespace tovik::cli {

struct CommandRow;

// Runs a command once its arguments passed the row's checks; args[0] is the
// word as typed.
using CommandAction = Outcome (*)(const CommandRow& row, std::vector<std::string>& args);

// The warren an offline command works in: "default", or the one
// `--warren NAME` names. A named warren must hold the den a command names
// ("no such den <warren>/<den>"); the default warren keeps its dens implicit.
struct OfflineScope {
  std::string warren = "default";
  bool named = false;
};

// An offline command on the file opened with its exclusive lock: args[0] is
// the word, args[1] the file, and there are at least the row's required
// arguments (`--warren NAME` already taken out).
using OfflineAction = Outcome (*)(Store& store, std::span<const std::string> args,
                                  const OfflineScope& scope);

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
  CommandAction run = nullptr;
  // Offline commands only: the handler run_offline calls, and whether the
  // word alone means the default data file (else the word alone is the
  // shell's address, as any lone word that is no command).
  OfflineAction offline = nullptr;
  bool default_file = false;
  // Offline commands on a den: `--warren NAME` may stand anywhere after
  // the word (before a "--").
  bool warren_option = false;
};

// The row of word ("--version" is the row of "version", "--help" and "-h"
// that of "help"), or null.
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

// The process arguments after the program name to one action: no argument
// is the shell, a lone word that is no command the shell's address, any
// other unknown word a failure; a command's "<word> --help" prints its row.
[[nodiscard]] Outcome run_command_line(std::vector<std::string> args);

}  // namespace tovik::cli
