// The interactive shell: the texts printed for each response and the
// read-send-print loop. Its line grammar, shared with batch mode, is the
// command table of cli/shell_commands.h.
//
// Threads: the tool's one thread only.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "cli/network.h"
#include "cli/shell_commands.h"
#include "cli/shell_output.h"
#include "document/json.h"
#include "server/protocol.h"

namespace tovik::cli {

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

// A member of an answer's data, or null when the data is no object or lacks
// the key: a misbehaving server must not be able to crash the shell with odd
// data.
const Json& answer_member(const Json& data, const char* key);

// What the shell prints for a response (without the final line feed): the
// command's success text, documents shown as the output mode says, or the
// server's message when ok is false. in_den: the session stands in a den
// (a change then goes without its warren).
std::string response_text(const server::Command& command, const server::Response& response,
                          OutputMode mode = OutputMode::kPretty, bool in_den = false);

// The loop after a successful open_session; returns when input ends, after
// quit, or with the failure that ended it (prompt or read failure).
[[nodiscard]] Outcome run_shell_loop(ClientSession& session, SessionIo& io);

}  // namespace tovik::cli
