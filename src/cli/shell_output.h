// The shell's output settings: how documents are shown (mode pretty, the
// default; compact, one document per line; table, an aligned table) and
// whether each command's time is printed (timer on|off). They belong to
// one shell session; `show settings` prints them.
//
// Threads: the tool's one thread only.
#pragma once

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "document/json.h"

namespace tovik::cli {

enum class OutputMode { kPretty, kCompact, kTable };

struct ShellSettings {
  OutputMode mode = OutputMode::kPretty;
  bool timer = false;
};

// A table cell holds at most this many characters; a longer value is cut
// and ends with "…".
inline constexpr std::size_t kTableCellChars = 40;

// A settings line ("mode <m>", "timer on|off", "show settings") applied to
// settings; the text to print, or the failure for a value it does not take.
[[nodiscard]] std::expected<std::string, Failure> apply_setting(ShellSettings& settings,
                                                                std::string_view line);

// "mode: <m>" and "timer: on|off", one per line.
std::string settings_text(const ShellSettings& settings);

// An array of documents as the mode shows them (no final line feed). Pretty
// separates the documents with line feeds; compact puts each on its own
// line; table writes a header ("id", then every top-level member of the
// documents in sorted order), a rule, and one aligned row per document,
// values in compact JSON cut at kTableCellChars. Requires: a non-empty
// array.
std::string documents_text(const Json& documents, OutputMode mode);

// "Time: <ms> ms" for a command that took elapsed.
std::string timer_text(std::chrono::steady_clock::duration elapsed);

}  // namespace tovik::cli
