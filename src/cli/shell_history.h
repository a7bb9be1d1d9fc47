// The shell's history file: the lines typed on a terminal, kept across
// sessions. It lives in $TOVIK_HISTORY when that is set (an empty value
// keeps none), else in shell_history in the data directory; it is created
// with mode 0600 (lines may hold documents), holds one line per entry and
// keeps the last kHistoryLines. Lines are appended as they are entered; the
// file is rewritten with its last lines when it has grown a tenth past that.
//
// A file that cannot be read or written is reported once on standard error
// and the session goes on without it.
//
// Threads: the tool's one thread only.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovik::cli {

inline constexpr std::size_t kHistoryLines = 1'000;
// Longer lines are pasted documents: neither recalled nor written.
inline constexpr std::size_t kMaxHistoryLine = 64 * 1024;

// Where the history is kept, or nullopt for nowhere.
std::optional<std::string> history_file_path();

class HistoryFile {
 public:
  HistoryFile(std::string path, std::ostream& err) : path_(std::move(path)), err_(err) {}

  // The last kHistoryLines lines of the file, oldest first.
  std::vector<std::string> load();
  // Appends one entered line (not one that begins with a blank, nor one
  // longer than kMaxHistoryLine).
  void add(std::string_view line);

 private:
  void warn(std::string_view what, int error);
  void rewrite();

  std::string path_;
  std::ostream& err_;
  std::vector<std::string> lines_;  // the last kHistoryLines, oldest first
  std::size_t file_lines_ = 0;
  bool failed_ = false;
};

// True for a line history keeps.
bool kept_in_history(std::string_view line);

}  // namespace tovik::cli
