// What the interactive shell asks on a terminal before a command that
// removes many shinies at once (delete-many with the empty filter, drop of a
// den or a warren), and the hints it gives for lines that look like another
// command. Batch mode never asks: a script has said what it wants.
//
// The question's numbers come from a probe the shell sends first (count for
// delete-many, usage for drop); what the probe cannot size is not asked
// about, and the command's own answer then tells what happened.
//
// Threads: pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "document/json.h"
#include "server/protocol.h"

namespace tovik::cli {

inline constexpr std::string_view kDeleteByFilterHint =
    "to delete by filter, use: delete-many <filter>";
inline constexpr std::string_view kCancelledText = "Cancelled; nothing changed.";

// The command whose answer sizes the question, or nullopt when command
// needs no confirmation.
[[nodiscard]] std::optional<server::Command> confirmation_probe(const server::Command& command);

// The question for command (without a trailing blank), given the probe's
// answer and where the session stands ({"den":..,"warren":..}, as
// QueryContinuation::place). nullopt when there is nothing to ask: the probe
// failed, or the den or warren holds nothing that the probe sees.
[[nodiscard]] std::optional<std::string> confirmation_question(const server::Command& command,
                                                               const server::Response& probe,
                                                               const Json& place);

// "y" or "yes", in any case, blanks around allowed.
[[nodiscard]] bool is_yes(std::string_view answer);

// The hint shown on standard error before a command is sent: a delete whose
// id is itself a JSON object still deletes that id, but was likely meant as
// a filter.
[[nodiscard]] std::optional<std::string_view> shell_hint(const server::Command& command);

// "Dropped <kind> <name> and its <k> shinies".
[[nodiscard]] std::string drop_text(const server::Drop& drop, const Json& data);

}  // namespace tovik::cli
