// How standard input becomes lines for the shell and batch mode: a buffered
// reader with the 1 MiB line limit, and the prompt-drawing line sources.
// Single-threaded: the tool's one thread.
#pragma once

#include <cstddef>
#include <expected>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "cli/failure.h"

namespace tovik::cli {

// Longest accepted input line, its line feed included.
inline constexpr std::size_t kMaxInputLine = 1'048'576;

// A line of input: the trimmed text, or nullopt at end of input.
using InputLine = std::expected<std::optional<std::string>, Failure>;

// Buffered line reader over a descriptor it does not own. Reads never go
// further than needed to find one more line, up to the 1 MiB limit.
class InputReader {
 public:
  explicit InputReader(int fd) : fd_(fd) {}
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;

  // The next line: end of input, "input line exceeds 1 MiB", a read error,
  // or a failure for text that is not UTF-8. Otherwise the line, trimmed.
  [[nodiscard]] InputLine read_input_line();

 private:
  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;  // first unconsumed byte of buffer_
  bool eof_ = false;
};

// The process's standard input. One shared reader, so bytes buffered for one
// caller are never lost to the next.
InputReader& standard_input();

// read_input_line on standard input.
[[nodiscard]] InputLine read_input_line();

// Where the shell's lines come from. The prompt is handed to the source so a
// line editor can draw it itself; the plain source prints it and flushes.
class LineSource {
 public:
  virtual ~LineSource() = default;
  [[nodiscard]] virtual InputLine next_line(std::string_view prompt) = 0;
  // True when the last line was given up (Ctrl+C on a terminal): it came
  // back empty.
  virtual bool cancelled() const { return false; }
};

// Prints the prompt on `out`, flushes, then reads from `reader`. A failed
// flush is the line's failure.
class PlainLineSource : public LineSource {
 public:
  PlainLineSource(InputReader& reader, std::ostream& out) : reader_(reader), out_(out) {}
  [[nodiscard]] InputLine next_line(std::string_view prompt) override;

 private:
  InputReader& reader_;
  std::ostream& out_;
};

}  // namespace tovik::cli
