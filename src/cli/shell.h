// The interactive shell: the line grammar shared with batch mode, the texts
// printed for each response, and the read-send-print loop.
//
// Threads: the tool's one thread only.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "cli/network.h"
#include "document/json.h"
#include "server/protocol.h"

namespace tovik::cli {

inline constexpr std::string_view kUnknownCommandText =
    "unknown command or invalid arguments; type help";

// The help command's lines, each printed with a line feed.
inline constexpr std::string_view kShellHelpLines[] = {
    "create warren <name> | create den <name> | drop-empty den <name> | drop-empty warren <name>",
    "Instance = service; warren = database; den = collection; shiny = document.",
    "create warren <name> | create den <name> | drop-empty warren <name> | drop-empty den <name>",
    "show warrens | use <warren>/<den> | use .. | use /<warren> | use / | show dens | show shinies",
    "insert <id> <json> | put <id> <json> | update <id> <fields> | get <id> | delete <id>",
    "find <field>=<value> | scan | page <limit> [JSON string cursor] | stats | check | reconnect | "
    "exit / quit",
    "backup <name> | usage | show server",
    "import <local path> | export <local path>",
    "query <filter JSON> [<fields JSON array>] | more | count <filter JSON>",
};

// One non-empty trimmed line to one command; the failure's text is shown to
// the user as is. "help" and "reconnect" are the loop's and fail here.
[[nodiscard]] std::expected<server::Command, Failure> parse_shell_line(std::string_view line);

// True when a put, insert, update, find, query or count line ends inside a JSON object or
// array it opened: on a terminal the shell then reads on (prompt "...> ")
// until the brackets balance, so pretty-printed JSON can be pasted.
bool ends_inside_json(std::string_view line);

// Arrays and objects of JSON text, counted without parsing it: how many are
// open at the end, the deepest nesting met, whether the text ends inside a
// string, and whether it closed more than it opened (the scan stops there).
struct BracketScan {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  bool over_closed = false;
};
BracketScan scan_brackets(std::string_view json);

// Names and ids as they may be printed: C0 and C1 control characters, DEL
// and the bidirectional controls (U+202A-U+202E, U+2066-U+2069) become \t,
// \n, \r or \u{hex}; everything else is kept.
std::string display_safe(std::string_view text);

// JSON text made safe for a terminal without changing its meaning: DEL, C1
// controls and bidirectional controls, which JSON may carry raw inside
// strings, become \u escapes.
std::string terminal_safe_json(std::string_view json_text);

// The prompt position a navigate or drop_empty answer leaves the session
// at: "", ":warren" or ":warren/den".
std::string position_from(const Json& data);

// What the shell prints for a response (without the final line feed): the
// command's success text, or the server's message when ok is false.
std::string response_text(const server::Command& command, const server::Response& response);

// The loop after a successful open_session; returns when input ends, after
// quit, or with the failure that ended it (prompt or read failure).
[[nodiscard]] Outcome run_shell_loop(ClientSession& session, SessionIo& io);

}  // namespace tovik::cli
