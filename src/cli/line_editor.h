// Line editing for the interactive shell on a terminal: cursor movement,
// history (kept across sessions in the history file, cli/shell_history.h,
// when one is given), completion (cli/completion.h) and Ctrl+C, which
// cancels the line being typed.
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

#include "cli/completion.h"
#include "cli/input.h"
#include "cli/shell_history.h"

namespace tovik::cli {

struct EditorOptions {
  // Where history is read from and written to; null for memory only.
  HistoryFile* history = nullptr;
  CompletionSources completion;
};

class LineEditor : public LineSource {
 public:
  // Edits lines typed on in_fd, drawing on out. Requires: both terminals.
  LineEditor(int in_fd, std::FILE* out, EditorOptions options = {});
  ~LineEditor() override;
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // False when libedit could not be set up (no memory); then unusable.
  bool ready() const;

  // A Ctrl+C (with the shell's InterruptScope) ends the line as an empty
  // one, and cancelled() is then true until the next line.
  [[nodiscard]] InputLine next_line(std::string_view prompt) override;
  bool cancelled() const override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The shell's line source: the editor when standard input and standard
// output are both terminals, else the plain reader printing on out. A line
// the editor gives that ends inside JSON goes on on the next ("...> ");
// Ctrl+C drops all of it.
std::unique_ptr<LineSource> make_shell_line_source(InputReader& reader, std::ostream& out,
                                                   EditorOptions options = {});

// True when the shell's standard input and output are both terminals.
bool on_terminal();

}  // namespace tovik::cli
