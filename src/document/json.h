// JSON values of the document layer: parsing with the system's limits, the
// two serialised forms, and the equality that filters use. The one reader
// (json_reader.cc) serves stored documents, user input and wire messages
// alike; json_writer.cc holds the dumps and the equality.
//
// Json is nlohmann's default value type: objects are std::maps, so members
// are held and written in ascending byte order at every level, and signed,
// unsigned and floating-point numbers stay distinct kinds.
//
// parse_json never throws and never recurses deeper than the nesting limit,
// so any text, however long, deep or malformed, yields a value or a
// JsonParseError with a stable message and a 1-based line and column.
// Keep this interface narrow: callers only parse, dump and compare, so the
// parser's inside can change without touching them.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tovik {

using Json = nlohmann::json;

// Arrays and objects nest at most this deep; the outermost counts as 1.
inline constexpr std::size_t kMaxJsonDepth = 127;

struct JsonParseError {
  std::string message;  // e.g. "expected value", "nesting too deep"
  std::size_t line = 1;
  std::size_t column = 1;
};

// Hears from parse_json what the value cannot show once it is read. The
// wire decoder uses it: closed objects near the root must refuse a repeated
// key, where the value only keeps the last one. Not called during outline_json.
class JsonReadObserver {
 public:
  virtual ~JsonReadObserver() = default;
  // Objects at most this many levels deep (the outermost value is level 1)
  // report their repeated keys; deeper ones cost nothing extra.
  virtual std::size_t watched_depth() const = 0;
  // `key` came again in the object at `path`: member names and array
  // indexes (in decimal) from the outermost value. Called once per repeat.
  virtual void repeated_key(std::span<const std::string> path, std::string_view key) = 0;
  // With JsonParseOptions::wide_integers_as_float only: an integer that fits
  // neither 64-bit kind was read as the nearest floating-point number.
  virtual void wide_integer() = 0;
};

struct JsonParseOptions {
  // A repeated object key normally keeps its last value; closed formats
  // (the credential registry) refuse it instead with "duplicate key".
  bool reject_duplicate_keys = false;
  // Arrays and objects nest at most this deep; the outermost counts as 1.
  std::size_t max_depth = kMaxJsonDepth;
  // An integer that fits neither 64-bit kind is normally refused; with this
  // set it reads as the nearest floating-point number and the observer is
  // told. Beyond the largest double it is refused all the same.
  bool wide_integers_as_float = false;
  JsonReadObserver* observer = nullptr;  // not owned; may be null
};

// Parses exactly one JSON value; surrounding whitespace (space, tab, line
// feed, carriage return) is allowed. Text must be valid UTF-8 and start
// with no byte order mark; integers that fit 64 bits (signed or unsigned) stay
// integers, one that fits neither is refused ("number out of range"), and
// anything with a fraction or exponent is a floating-point number.
[[nodiscard]] std::expected<Json, JsonParseError> parse_json(std::string_view text);
[[nodiscard]] std::expected<Json, JsonParseError> parse_json(std::string_view text,
                                                             const JsonParseOptions& options);

// Checks text exactly as parse_json does but builds nothing: the fast path
// for reading many values only to test a few members. Returns whether the
// value is an object; for an object, values[i] receives the text of the value
// of its last top-level member named names[i] (nullopt when absent), which
// parse_json can then decode on its own. JsonParseOptions are the defaults.
// When canonical is given it is set to whether text is exactly what
// dump_compact writes for its value (no whitespace, each object's keys once
// and ascending, only the writer's escapes, numbers in the writer's form):
// then the text can stand for the value as it is.
[[nodiscard]] std::expected<bool, JsonParseError> outline_json(
    std::string_view text, std::span<const std::string_view> names,
    std::span<std::optional<std::string_view>> values, bool* canonical = nullptr);

// "<message> at line L column C", the form users see.
std::string json_parse_error_text(const JsonParseError& error);

// Compact form: no whitespace, sorted keys; escapes only '"', '\\', \b \t
// \n \f \r and \u00xx (lowercase hex) for other control characters; "/"
// and non-ASCII are written as UTF-8. Strings that are not valid UTF-8
// (which parse_json never produces) have their bad bytes replaced by U+FFFD.
std::string dump_compact(const Json& value);
// Two-space indentation and ": " between key and value, for people.
std::string dump_pretty(const Json& value);

// Length in bytes of `text` written as a JSON string literal by
// dump_compact, the quotes and escapes included.
std::size_t json_string_literal_length(std::string_view text);

// JSON equality: same kind; integer 1 is not floating-point 1.0, but
// integers compare by value whatever their signedness; arrays and objects
// compare element by element and member by member.
bool json_equal(const Json& a, const Json& b);

// json_equal(parse_json(text), value), decided from the text itself where
// its first bytes settle it (strings without escapes, literals, integers,
// a kind that differs) and by parsing it otherwise.
// Requires: text is one valid JSON value with no surrounding whitespace,
// as outline_json hands out.
bool json_text_equal(std::string_view text, const Json& value);

}  // namespace tovik
