#include "cli/failure.h"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include "core/file_system.h"

namespace tovik::cli {

Failure Failure::message(std::string_view text) { return Failure(std::string(text)); }

Failure Failure::store(StoreError error) { return Failure(std::string(store_error_text(error))); }

Failure Failure::os(int error_number) { return Failure(os_error_text(error_number)); }

Failure Failure::json_parse(std::string_view message, std::size_t line, std::size_t column) {
  return Failure(std::string(message) + " at line " + std::to_string(line) + " column " +
                 std::to_string(column));
}

Outcome write_output(std::ostream& out, std::string_view text) {
  errno = 0;
  out << text;
  out.flush();
  if (!out) return std::unexpected(Failure::os(errno != 0 ? errno : EIO));
  return {};
}

std::expected<std::uint64_t, Failure> parse_unsigned(std::string_view text, std::uint64_t max) {
  if (text.empty()) return std::unexpected(Failure::message(std::string(kIntEmpty)));
  if (text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::unexpected(Failure::message(std::string(kIntInvalidDigit)));
  std::uint64_t value = 0;
  // Left to right, the first fault met is the one reported.
  for (char c : text) {
    if (c < '0' || c > '9') return std::unexpected(Failure::message(std::string(kIntInvalidDigit)));
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      return std::unexpected(Failure::message(std::string(kIntTooLarge)));
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace tovik::cli
