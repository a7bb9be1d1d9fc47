// Line editing for the interactive shell on a terminal: cursor movement,
// history of this session only, and completion of command and kind words.
//
// History stays in memory: lines can hold whole documents, so nothing is
// ever written to disk and no start-up file is read.
//
// The input rules are those of the plain reader: a line longer than 1 MiB
// (its line feed included) or one that is not UTF-8 is a failure, whatever
// the terminal's locale; end of input (Ctrl+D on an empty line) is nullopt.
//
// Threads: the tool's one thread only. The terminal is in editing mode only
// inside next_line, so prompts that read /dev/tty themselves (passwords)
// work between lines.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/input.h"

namespace tovik::cli {

// What a tab press does to the text before the cursor: the characters to
// insert, or, when nothing can be added, the words still possible.
struct Completion {
  std::string insert;
  std::vector<std::string_view> choices;
};

// Completes the word ending at the cursor from the shell's command table: a
// command word as the first word, then the words its row lists after it
// (the kind after create and drop-empty, the listing after show).
Completion complete_shell_word(std::string_view before_cursor);

class LineEditor : public LineSource {
 public:
  // Edits lines typed on in_fd, drawing on out. Requires: both terminals.
  LineEditor(int in_fd, std::FILE* out);
  ~LineEditor() override;
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // False when libedit could not be set up (no memory); then unusable.
  bool ready() const;

  [[nodiscard]] InputLine next_line(std::string_view prompt) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The shell's line source: the editor when standard input and standard
// output are both terminals, else the plain reader printing on out.
std::unique_ptr<LineSource> make_shell_line_source(InputReader& reader, std::ostream& out);

}  // namespace tovik::cli
