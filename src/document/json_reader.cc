// A strict JSON reader that builds nlohmann values directly.
//
// nlohmann's own parser reports errors through exception texts that carry
// the offending input, and builds a value of any depth before a limit could
// be applied. This reader instead refuses the 128th level of nesting the
// moment it meets its opening bracket (recursion is therefore bounded by the
// limit), validates UTF-8 as it goes, and describes failures with a small
// set of stable messages. Given no value to fill, the same reader checks
// text without copying any of it: the integrity check and the filters of
// find pass over every stored document that way, so its string and number
// scanning is the hot loop of both.
//
// Wire messages are read by the same code: an observer hears of the keys
// repeated near the root (where the closed types of the protocol live) and
// of integers wider than 64 bits, which the protocol reads as floating-point
// numbers for the write to refuse. Only a build with an observer pays for it.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/utf8.h"
#include "document/json.h"
#include "document/json_form.h"
#include "document/json_scan.h"

namespace tovik {
namespace {

struct Failure {
  std::string_view message;
  std::size_t offset;
};

// Bytes a string may hold as they are: not '"', '\\', a control character
// or the start of a multi-byte UTF-8 sequence.
constexpr auto kPlainStringByte = [] {
  std::array<bool, 256> plain{};
  for (std::size_t c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

// 10^308 < DBL_MAX < 10^309.
constexpr std::size_t kMaxSafeIntegerDigits = 308;
// Integers of fewer digits fit a signed 64-bit integer (9223372036854775807
// has 19).
constexpr std::size_t kAlwaysFittingDigits = 19;

class Reader {
 public:
  Reader(std::string_view text, const JsonParseOptions& options)
      : text_(text),
        options_(options),
        watched_depth_(options.observer != nullptr ? options.observer->watched_depth() : 0) {}

  // Outline mode: nothing is built, but the value text of the last
  // top-level member named names[i] is put in values[i].
  // With want_canonical, canonical() tells afterwards whether the text is
  // exactly what dump_compact writes for its value.
  Reader(std::string_view text, std::span<const std::string_view> names,
         std::span<std::optional<std::string_view>> values, bool want_canonical)
      : text_(text),
        options_(kDefaultOptions),
        names_(names),
        values_(values),
        want_canonical_(want_canonical) {}

  // out == nullptr checks the text without building anything. On failure,
  // failure() tells why and where.
  bool read_document(Json* out) {
    skip_whitespace();
    if (!read_value(out, 0)) return false;
    skip_whitespace();
    if (pos_ < text_.size()) return fail("trailing characters");
    return true;
  }

  const Failure& failure() const { return failure_; }
  bool canonical() const { return canonical_; }

 private:
  static constexpr JsonParseOptions kDefaultOptions{};

  bool at_end() const { return pos_ >= text_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }

  bool fail(std::string_view message) { return fail_at(message, pos_); }
  bool fail_at(std::string_view message, std::size_t offset) {
    failure_ = Failure{message, offset};
    return false;
  }

  void skip_whitespace() {
    const std::size_t start = pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
    if (pos_ != start) canonical_ = false;  // the compact form has none
  }

  bool read_value(Json* out, std::size_t depth) {
    if (at_end()) return fail("EOF while parsing a value");
    switch (peek()) {
      case '{':
        return read_object(out, depth + 1);
      case '[':
        return read_array(out, depth + 1);
      case '"': {
        if (out == nullptr) return read_string(nullptr);
        std::string text;
        if (!read_string(&text)) return false;
        *out = Json(std::move(text));
        return true;
      }
      case 't':
        if (!read_literal("true")) return false;
        if (out != nullptr) *out = true;
        return true;
      case 'f':
        if (!read_literal("false")) return false;
        if (out != nullptr) *out = false;
        return true;
      case 'n':
        if (!read_literal("null")) return false;
        if (out != nullptr) *out = nullptr;
        return true;
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return read_number(out);
        return fail("expected value");
    }
  }

  bool read_literal(std::string_view word) {
    if (text_.size() - pos_ >= word.size() && text_.compare(pos_, word.size(), word) == 0) {
      pos_ += word.size();
      return true;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (at_end()) return fail("EOF while parsing a value");
      if (text_[pos_] != word[i]) return fail("invalid literal");
      ++pos_;
    }
    return true;
  }

  bool read_array(Json* out, std::size_t depth) {
    if (depth > options_.max_depth) return fail("nesting too deep");
    ++pos_;  // '['
    Json::array_t* items = nullptr;
    if (out != nullptr) {
      *out = Json::array();
      items = out->get_ptr<Json::array_t*>();
    }
    skip_whitespace();
    if (!at_end() && peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      if (at_end()) return fail("EOF while parsing a list");
      if (items != nullptr) {
        Json item;
        const bool named = names_child(depth);
        if (named) path_.push_back(PathStep{nullptr, items->size()});
        if (!read_value(&item, depth)) return false;
        if (named) path_.pop_back();
        items->push_back(std::move(item));
      } else if (!read_value(nullptr, depth)) {
        return false;
      }
      skip_whitespace();
      if (at_end()) return fail("EOF while parsing a list");
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return fail("expected `,` or `]`");
      ++pos_;
      skip_whitespace();
      if (!at_end() && peek() == ']') return fail("trailing comma");
    }
  }

  bool read_object(Json* out, std::size_t depth) {
    if (depth > options_.max_depth) return fail("nesting too deep");
    ++pos_;  // '{'
    Json::object_t* members = nullptr;
    if (out != nullptr) {
      *out = Json::object();
      members = out->get_ptr<Json::object_t*>();
    }
    skip_whitespace();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return true;
    }
    KeyOrder order;
    for (;;) {
      if (at_end()) return fail("EOF while parsing an object");
      if (peek() != '"') return fail("key must be a string");
      if (!read_member(members, depth, order)) return false;
      skip_whitespace();
      if (at_end()) return fail("EOF while parsing an object");
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      if (peek() != ',') return fail("expected `,` or `}`");
      ++pos_;
      skip_whitespace();
      if (!at_end() && peek() == '}') return fail("trailing comma");
    }
  }

  // An object's last key met, decoded, for the canonical check.
  struct KeyOrder {
    bool any = false;
    std::string_view last;
    std::string held;
    std::string next;
  };

  // One "key": value pair of the object at `depth`, put in members (when
  // building) or noted for the outline.
  bool read_member(Json::object_t* members, std::size_t depth, KeyOrder& order) {
    const std::size_t key_offset = pos_;
    const std::size_t escapes_before = escapes_;
    std::string key;
    if (!read_string(members != nullptr ? &key : nullptr)) return false;
    const std::size_t key_end = pos_;
    if (want_canonical_ && canonical_) {
      note_key_order(key_offset, key_end, escapes_ != escapes_before, order);
    }
    skip_whitespace();
    if (at_end()) return fail("EOF while parsing an object");
    if (peek() != ':') return fail("expected `:`");
    ++pos_;
    skip_whitespace();
    if (members == nullptr) {
      const std::size_t value_offset = pos_;
      if (!read_value(nullptr, depth)) return false;
      if (depth == 1 && !names_.empty()) {
        note_member(key_offset, key_end, text_.substr(value_offset, pos_ - value_offset));
      }
      return true;
    }
    Json value;
    const bool named = names_child(depth);
    if (named) path_.push_back(PathStep{&key, 0});
    if (!read_value(&value, depth)) return false;
    if (named) path_.pop_back();
    if (options_.reject_duplicate_keys && members->contains(key)) {
      return fail_at("duplicate key", key_offset);
    }
    const auto [member, added] = members->insert_or_assign(std::move(key), std::move(value));
    if (!added && depth <= watched_depth_) report_repeat(member->first);
    return true;
  }

  // The path is kept as steps and only spelt out for the rare repeat.
  void report_repeat(const std::string& key) {
    std::vector<std::string> path;
    path.reserve(path_.size());
    for (const PathStep& step : path_) {
      path.push_back(step.key != nullptr ? *step.key : std::to_string(step.index));
    }
    options_.observer->repeated_key(path, key);
  }

  // The compact writer puts an object's keys in ascending byte order, each
  // once; a key that does not come after the one before breaks the form.
  void note_key_order(std::size_t key_offset, std::size_t key_end, bool escaped, KeyOrder& order) {
    const std::string_view key = key_text(key_offset, key_end, escaped, order.next);
    if (order.any && !(order.last < key)) canonical_ = false;
    order.any = true;
    if (escaped) order.held.swap(order.next);
    order.last = escaped ? std::string_view(order.held) : key;
  }

  // The characters of the key [key_offset, key_end), known valid: the text
  // itself, or decoded into buffer when it holds an escape.
  std::string_view key_text(std::size_t key_offset, std::size_t key_end, bool escaped,
                            std::string& buffer) {
    const std::string_view raw = text_.substr(key_offset + 1, key_end - key_offset - 2);
    if (!escaped) return raw;
    const std::size_t resume = pos_;
    pos_ = key_offset;
    buffer.clear();
    // Cannot fail: the same bytes were just accepted.
    if (!read_string(&buffer)) return raw;
    pos_ = resume;
    return buffer;
  }

  // Whether the value about to be read, a child of the container at
  // `depth`, is an object or array the observer watches: then the path
  // names it while it is read.
  bool names_child(std::size_t depth) const {
    return depth < watched_depth_ && !at_end() && (peek() == '{' || peek() == '[');
  }

  // A later member of the same name replaces an earlier one, as in parsing.
  // The key [key_offset, key_end) is known valid; only a key with escapes
  // needs decoding before it can be compared.
  void note_member(std::size_t key_offset, std::size_t key_end, std::string_view value) {
    const std::string_view raw = text_.substr(key_offset + 1, key_end - key_offset - 2);
    const std::string_view key =
        key_text(key_offset, key_end, raw.find('\\') != std::string_view::npos, scratch_);
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == key) values_[i] = value;
    }
  }

  // Requires: the current byte is '"'. out == nullptr checks the string
  // without copying it.
  bool read_string(std::string* out) {
    ++pos_;
    for (;;) {
      // Copy the longest run of bytes that need no attention in one step.
      const std::size_t run_start = pos_;
      skip_plain_string_bytes();
      if (out != nullptr) out->append(text_.data() + run_start, pos_ - run_start);
      if (at_end()) return fail("EOF while parsing a string");
      const unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("control character in string");
      if (c == '\\') {
        if (!read_escape(out)) return false;
      } else if (!read_utf8_sequence(out)) {
        return false;
      }
    }
  }

  // Stored documents are mostly long runs of plain text, so they are
  // passed over eight bytes at a time where the text allows, with the
  // scanner's quote search, which also stops here at the bytes only a
  // checking reader cares about.
  void skip_plain_string_bytes() {
    using json_scan_internal::bytes_equal, json_scan_internal::kOnes, json_scan_internal::kHighs;
    while (text_.size() - pos_ >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, text_.data() + pos_, 8);
      // Flagged: '"', '\\', a byte below 0x20 or one with its high bit set.
      const std::uint64_t special = bytes_equal(word, '"') | bytes_equal(word, '\\') |
                                    (((word - kOnes * 0x20) | word) & kHighs);
      if (special != 0) break;
      pos_ += 8;
    }
    while (pos_ < text_.size() && kPlainStringByte[peek()]) ++pos_;
  }

  bool read_escape(std::string* out) {
    const std::size_t escape_offset = pos_;
    ++pos_;  // '\\'
    if (at_end()) return fail("EOF while parsing a string");
    // The one-character escapes and the bytes they stand for.
    static constexpr std::string_view kEscapes = "\"\\/bfnrt";
    static constexpr std::string_view kMeanings = "\"\\/\b\f\n\r\t";
    ++escapes_;
    const char c = text_[pos_++];
    if (c != 'u') {
      const std::size_t which = kEscapes.find(c);
      if (which == std::string_view::npos) return fail_at("invalid escape", escape_offset);
      if (c == '/') canonical_ = false;  // written as itself
      if (out != nullptr) out->push_back(kMeanings[which]);
      return true;
    }
    std::uint32_t unit = 0;
    if (!read_hex4(unit)) return false;
    if (!is_written_unicode_escape(unit, text_.substr(pos_ - 4, 4))) canonical_ = false;
    std::uint32_t code_point = unit;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at("lone surrogate in string", escape_offset);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      // A high surrogate only means something with the low one after it.
      if (text_.substr(pos_, 2) != "\\u") return fail_at("lone surrogate in string", escape_offset);
      pos_ += 2;
      std::uint32_t low = 0;
      if (!read_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail_at("lone surrogate in string", escape_offset);
      code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    if (out != nullptr) append_utf8(code_point, *out);
    return true;
  }

  bool read_hex4(std::uint32_t& unit) {
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail("EOF while parsing a string");
      const char c = text_[pos_];
      std::uint32_t digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return fail("invalid escape");
      }
      unit = unit * 16 + digit;
      ++pos_;
    }
    return true;
  }

  // One multi-byte UTF-8 character, by the rule every layer shares.
  bool read_utf8_sequence(std::string* out) {
    const std::size_t length = utf8_char_length(text_.substr(pos_));
    if (length == 0) return fail("invalid UTF-8");
    if (out != nullptr) out->append(text_.data() + pos_, length);
    pos_ += length;
    return true;
  }

  bool read_number(Json* out) {
    const std::size_t start = pos_;
    const bool negative = peek() == '-';
    if (negative) ++pos_;
    if (at_end()) return fail("EOF while parsing a value");
    const std::size_t int_start = pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (peek() >= '1' && peek() <= '9') {
      skip_digits();
    } else {
      return fail("invalid number");
    }
    const std::size_t int_digits = pos_ - int_start;
    bool integral = true;
    bool exponent = false;
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (at_end() || !is_digit(peek())) return fail("invalid number");
      skip_digits();
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      exponent = true;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (at_end() || !is_digit(peek())) return fail("invalid number");
      skip_digits();
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integral) {
      // Zero is written without a sign.
      if (negative && int_digits == 1 && first[1] == '0') canonical_ = false;
      return read_integer(out, negative, first, last, int_digits, start);
    }
    if (want_canonical_ && canonical_) {
      Json value;
      if (!read_float(&value, first, last, start)) return false;
      if (!is_written_float(text_.substr(start, pos_ - start), value.get<double>())) {
        canonical_ = false;
      }
      if (out != nullptr) *out = value;
      return true;
    }
    // Without an exponent, a number of at most 308 integer digits is below
    // the largest double, so only a number to be built needs converting.
    if (out == nullptr && !exponent && int_digits <= kMaxSafeIntegerDigits) return true;
    return read_float(out, first, last, start);
  }

  // Requires: [first, last) is a valid JSON number.
  bool read_float(Json* out, const char* first, const char* last, std::size_t start) {
    double value = 0;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
      // from_chars reports underflow too; only overflow is refused, a value
      // too small to represent reads as strtod rounds it.
      const std::string copy(first, last);
      value = std::strtod(copy.c_str(), nullptr);
      if (std::isinf(value)) return fail_at("number out of range", start);
    } else if (ec != std::errc() || ptr != last) {
      return fail_at("invalid number", start);
    }
    if (out != nullptr) *out = Json(value);
    return true;
  }

  // Integers stay integers: one that fits neither 64-bit kind is refused
  // rather than silently turned into a floating-point number, unless the
  // caller asked for that and hears of it.
  bool read_integer(Json* out, bool negative, const char* first, const char* last,
                    std::size_t digits, std::size_t start) {
    if (out == nullptr && digits < kAlwaysFittingDigits) return true;
    if (negative) {
      std::int64_t value = 0;
      const auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec == std::errc() && ptr == last) {
        if (out != nullptr) *out = Json(value);
        return true;
      }
    } else {
      std::uint64_t value = 0;
      const auto [ptr, ec] = std::from_chars(first, last, value);
      if (ec == std::errc() && ptr == last) {
        if (out != nullptr) *out = Json(value);
        return true;
      }
    }
    if (!options_.wide_integers_as_float) return fail_at("number out of range", start);
    if (!read_float(out, first, last, start)) return false;
    if (options_.observer != nullptr) options_.observer->wide_integer();
    return true;
  }

  static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
  void skip_digits() {
    while (!at_end() && is_digit(peek())) ++pos_;
  }

  std::string_view text_;
  const JsonParseOptions& options_;
  // Objects up to this depth report repeated keys; 0 without an observer.
  std::size_t watched_depth_ = 0;
  // A step of the path to the watched container being read: a member's key
  // (alive while its value is read) or, with key null, an array index.
  struct PathStep {
    const std::string* key;
    std::size_t index;
  };
  std::vector<PathStep> path_;
  std::span<const std::string_view> names_;
  std::span<std::optional<std::string_view>> values_;
  std::string scratch_;  // strings read only to be checked
  std::size_t pos_ = 0;
  std::size_t escapes_ = 0;  // escapes read so far
  bool want_canonical_ = false;
  bool canonical_ = true;
  Failure failure_{"", 0};
};

JsonParseError make_error(std::string_view text, const Failure& failure) {
  return json_parse_error_at(text, failure.message, failure.offset);
}

}  // namespace

std::expected<Json, JsonParseError> parse_json(std::string_view text) {
  return parse_json(text, JsonParseOptions{});
}

std::expected<Json, JsonParseError> parse_json(std::string_view text,
                                               const JsonParseOptions& options) {
  try {
    Reader reader(text, options);
    Json value;
    if (!reader.read_document(&value)) return std::unexpected(make_error(text, reader.failure()));
    return value;
  } catch (const std::bad_alloc&) {
    return std::unexpected(JsonParseError{"out of memory", 1, 1});
  } catch (...) {
    // Nothing above throws by design; this keeps the promise if that changes.
    return std::unexpected(JsonParseError{"invalid JSON", 1, 1});
  }
}

std::expected<bool, JsonParseError> outline_json(std::string_view text,
                                                 std::span<const std::string_view> names,
                                                 std::span<std::optional<std::string_view>> values,
                                                 bool* canonical) {
  for (auto& value : values) value.reset();
  try {
    Reader reader(text, names.first(std::min(names.size(), values.size())), values,
                  canonical != nullptr);
    if (!reader.read_document(nullptr)) {
      return std::unexpected(make_error(text, reader.failure()));
    }
    if (canonical != nullptr) *canonical = reader.canonical();
    return text[skip_json_blanks(text, 0)] == '{';
  } catch (const std::bad_alloc&) {
    return std::unexpected(JsonParseError{"out of memory", 1, 1});
  } catch (...) {
    return std::unexpected(JsonParseError{"invalid JSON", 1, 1});
  }
}

}  // namespace tovik
