// Following the server's change feed from the shell: the watch command,
// which prints each change as it comes until Ctrl+C, and the changes
// command, one read of the feed for the shell and batch mode.
//
// A change line names its kind, where it happened and the shiny's id:
// "put orders a1" inside a den, "put shop/orders a1" at the warren or
// instance level, where one den name alone could mean several dens. A put
// is followed by its document in the shell's output mode.
//
// Threads: the tool's one thread only.
#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "cli/network.h"
#include "cli/shell_output.h"
#include "document/json.h"
#include "server/protocol.h"

namespace tovik::cli {

inline constexpr std::string_view kChangesUsage = "usage: changes <after> [<limit>] [skip <n>]";

// How long one watch request may wait on the server for a change: Ctrl+C
// is looked at between requests, so this is also how long it may take.
inline constexpr std::chrono::milliseconds kWatchWait{1'000};

// The rest of "watch [<filter JSON>]": the filter, or null for every change.
[[nodiscard]] std::expected<Json, Failure> parse_watch_line(std::string_view rest);

// The rest of "changes <after> [<limit>] [skip <n>]". The numbers' ranges
// are the server's to check.
[[nodiscard]] std::expected<server::Command, Failure> parse_changes_line(std::string_view rest);

// One change of a feed answer as the shell prints it (no final line feed);
// in_den: the session stands in a den, so the warren goes without saying.
std::string change_text(const Json& change, OutputMode mode, bool in_den);

// The shell's text for an answer of the changes command: each change, or
// "No changes.", then the command that goes on from there.
std::string changes_text(const server::Changes& command, const Json& data, OutputMode mode,
                         bool in_den);

// Follows the feed where the session stands, from the current generation,
// printing every change that passes the filter to io.out as it comes. Ends
// at Ctrl+C (the request in flight is answered first, so the connection
// stays; a second Ctrl+C gives it up), when the server refuses (its message
// on io.err; "no longer available" when the feed lost changes) or when the
// connection is lost. Requires: session.connected().
void run_watch(ClientSession& session, SessionIo& io, const Json& filter, OutputMode mode);

}  // namespace tovik::cli
