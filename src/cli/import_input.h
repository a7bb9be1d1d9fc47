// What import reads, offline and through a server: the source (a path, or
// "-" for standard input), its physical lines as a stream, and the form of
// a failure that names a line.
//
// Threads: the tool's one thread only.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "core/posix_file.h"

namespace tovik::cli {

// "line <n>: <message>".
Failure at_line(std::uint64_t line, std::string_view message);
// "<path>: <strerror> (os error N)".
Failure path_failure(const std::string& path, int error);

// The import source: a path, or "-" for standard input (an empty UniqueFd).
[[nodiscard]] std::expected<UniqueFd, Failure> open_source(const std::string& source);

// The physical lines of a descriptor, read in chunks, numbered from 1. A
// final line without a line feed counts. Holds one chunk and the line being
// read, whatever the input's size.
class LineInput {
 public:
  explicit LineInput(int fd) : fd_(fd) {}

  // The next line without its line feed (valid until the next call), or
  // nullopt at the end.
  [[nodiscard]] std::expected<std::optional<std::string_view>, Failure> next();
  std::uint64_t number() const { return number_; }
  // Back to the first line, for a second pass over a regular file.
  [[nodiscard]] std::expected<void, Failure> rewind();

 private:
  std::optional<std::string_view> take(std::size_t end, std::size_t next);

  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool eof_ = false;
  std::uint64_t number_ = 0;
};

}  // namespace tovik::cli
