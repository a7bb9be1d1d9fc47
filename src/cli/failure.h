// Failure: the one error type of the command-line tool. Every action returns
// success or a Failure; main prints "tovik: " + text() and exits 1. Nothing
// else prints that prefix.
#pragma once

#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>

#include "core/store_error.h"

namespace tovik::cli {

class Failure {
 public:
  // A plain message, shown as given.
  static Failure message(std::string_view text);
  // A storage error, shown by its fixed text.
  static Failure store(StoreError error);
  // An operating-system error: "<strerror> (os error N)".
  static Failure os(int error_number);
  // A JSON parse failure: "<message> at line L column C".
  static Failure json_parse(std::string_view message, std::size_t line, std::size_t column);

  const std::string& text() const { return text_; }

 private:
  explicit Failure(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

using Outcome = std::expected<void, Failure>;

// Writes text to out and flushes it. A stream that cannot take it (a closed
// pipe, a full disk) is the command's failure, "<strerror> (os error N)", so
// output that never arrived is not reported as success.
[[nodiscard]] Outcome write_output(std::ostream& out, std::string_view text);

// Integer-parse messages shared by every command that takes a number.
inline constexpr std::string_view kIntEmpty = "cannot parse integer from empty string";
inline constexpr std::string_view kIntInvalidDigit = "invalid digit found in string";
inline constexpr std::string_view kIntTooLarge = "number too large to fit in target type";
inline constexpr std::string_view kIntTooSmall = "number too small to fit in target type";

// Unsigned decimal with an optional leading "+", as the limits and ports are
// written; failures carry the integer-parse messages above.
[[nodiscard]] std::expected<std::uint64_t, Failure> parse_unsigned(std::string_view text,
                                                                   std::uint64_t max);

}  // namespace tovik::cli
