// The shell's command words, one row each, read by the interactive shell,
// batch mode and the line editor alike: how the rest of a line becomes a
// command, the words completed after the command word, where the line's JSON
// begins (a line that ends inside it continues on the next), and the help
// line the command brings.
//
// Adding a shell command is one row here and its handler: a parser to a
// server command, or, for the loop's own words, a case in the loops.
//
// Threads: read-only data; any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "cli/failure.h"
#include "document/json_scan.h"
#include "server/protocol.h"

namespace tovik::cli {

inline constexpr std::string_view kUnknownCommandText =
    "unknown command or invalid arguments; type help";

// What the loop does with a line.
enum class ShellAction {
  kSend,       // parse it to a server command and send that
  kHelp,       // print the help lines
  kReconnect,  // start a new session
  kMore,       // continue the last query
  kTransfer,   // import or export a local file
  kSetting,    // mode, timer, show settings: the shell's own output settings
  kWatch,      // follow the change feed (the shell's; batch mode has no watch)
};

// What is completed after a row's command word (and its sub-word, if any),
// besides the sub-words themselves.
enum class Argument {
  kUnlisted,   // nothing the shell can list: ids, documents, new names
  kName,       // a warren or den name the server lists at that point
  kLocalPath,  // a path on this machine
};

// Where the JSON of a line begins, after the command word.
enum class JsonStart {
  kNone,         // the line holds no JSON worth reading on for
  kRest,         // the whole rest: query, count, update-many, delete-many
  kAfterId,      // after the first word of the rest: put, insert, update, distinct
  kAfterEquals,  // after the first "=": find
};

// The rest of a line (trimmed, maybe empty) to a command; the word is the
// row's own, for usage texts.
using ShellParser = std::expected<server::Command, Failure> (*)(std::string_view word,
                                                                std::string_view rest);

struct ShellCommandRow {
  std::string_view word;
  ShellAction action = ShellAction::kSend;
  // kSend rows only.
  ShellParser parse = nullptr;
  // The words completed after the command word, separated by "|".
  std::string_view sub_words = {};
  JsonStart json = JsonStart::kNone;
  // The help line this command appends, or empty when an earlier line
  // already shows it.
  std::string_view help = {};
  Argument argument = Argument::kUnlisted;
};

// Every row, in the order their help lines are printed.
[[nodiscard]] std::span<const ShellCommandRow> shell_commands();

// The row of a command word, or null.
[[nodiscard]] const ShellCommandRow* find_shell_command(std::string_view word);

// The row's sub_words, one view each.
[[nodiscard]] std::vector<std::string_view> sub_words_of(const ShellCommandRow& row);

// The help command's lines, each printed with a line feed: the first six are
// fixed, then each row's help line in table order.
extern const std::span<const std::string_view> kShellHelpLines;

// The loop's reading of a non-empty trimmed line. A loop word with
// arguments (other than import and export's path, the settings' values and
// watch's filter)
// and an unknown word are kSend: parse_shell_line then refuses them. "show
// settings" is kSetting: the shell answers it itself.
[[nodiscard]] ShellAction shell_action(std::string_view line);

// One non-empty trimmed line to one command; the failure's text is shown to
// the user as is. The loop's own words fail here.
[[nodiscard]] std::expected<server::Command, Failure> parse_shell_line(std::string_view line);

// True when a line of a command whose row has a JSON place ends inside a
// JSON object or array it opened: on a terminal the shell then reads on
// (prompt "...> ") until the brackets balance, so pretty-printed JSON can be
// pasted.
bool ends_inside_json(std::string_view line);

// The bracket counter is the document layer's scanner (document/json_scan.h).
using ::tovik::BracketScan;
using ::tovik::scan_brackets;

}  // namespace tovik::cli
