// The shell's texts for the operator's commands: the backup line, the space
// report as a table with a fill bar, and the server's status. Pure functions
// of the response data; odd data from a misbehaving server yields odd text,
// never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "document/json.h"

namespace tovik::cli {

// The fill bar is this many characters between its brackets.
inline constexpr std::size_t kFillBarWidth = 40;

// "Backup written: <name> (generation <g>)".
std::string backup_text(std::string_view name, const Json& data);
// A row per warren and per den (documents, bytes, share of the capacity),
// then "[####....] 19% of 16 MiB".
std::string usage_text(const Json& data);
// "[" + filled + "] P% of C MiB" for live of capacity bytes.
std::string fill_bar(std::uint64_t live, std::uint64_t capacity);
// The status, one topic per line.
std::string server_text(const Json& data);

}  // namespace tovik::cli
