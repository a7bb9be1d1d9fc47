// Stepping over JSON text without reading it: where a string or a value
// ends, the members of an object and the elements of an array one by one,
// and how brackets nest. Nothing is validated and nothing is decoded but
// member names and strings that hold an escape, on request; the scanner
// only finds boundaries, so the caller must either trust the text (stored
// values, checksummed and written by the compact writer) or judge it with
// the reader afterwards (the shell's partial lines). Every step is
// bounds-checked: damaged text gives a wrong boundary or kJsonScanEnd, never
// a read outside the text.
//
// The string and member stepping is the hot loop of the filters and sorted
// walks, which pass over every record a walk examines; its small functions
// live here so they inline. All functions are pure and may be called from
// any thread.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tovik {

// Returned where the text ends before what was looked for.
inline constexpr std::size_t kJsonScanEnd = std::string_view::npos;

namespace json_scan_internal {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = 0x8080808080808080u;

// The high bit of each byte of word that equals c. A flag can be false only
// above a true one, so "any flag" and "the lowest flag" are exact.
constexpr std::uint64_t bytes_equal(std::uint64_t word, unsigned char c) {
  const std::uint64_t zeroed = word ^ (kOnes * c);
  return (zeroed - kOnes) & ~zeroed & kHighs;
}

// Bytes that end a number or literal.
inline constexpr auto kEndsScalar = [] {
  std::array<bool, 256> ends{};
  for (const unsigned char c : {',', ']', '}', ' ', '\t', '\n', '\r'}) ends[c] = true;
  return ends;
}();

}  // namespace json_scan_internal

inline bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first position at or after pos that is not JSON whitespace.
inline std::size_t skip_json_blanks(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_json_blank(text[pos])) ++pos;
  return pos;
}

// The first '"' or '\\' at or after pos, eight bytes at a time.
inline std::size_t find_quote_or_backslash(std::string_view text, std::size_t pos) {
  using namespace json_scan_internal;
  if constexpr (std::endian::native == std::endian::little) {
    while (pos <= text.size() && text.size() - pos >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, text.data() + pos, 8);
      const std::uint64_t hit = bytes_equal(word, '"') | bytes_equal(word, '\\');
      if (hit != 0) return pos + static_cast<std::size_t>(std::countr_zero(hit) / 8);
      pos += 8;
    }
  }
  for (; pos < text.size(); ++pos) {
    if (text[pos] == '"' || text[pos] == '\\') return pos;
  }
  return kJsonScanEnd;
}

// Requires: text[pos] is the opening quote of a string. Returns the position
// after its closing quote; `escaped` is set when the string holds an escape.
inline std::size_t json_string_end(std::string_view text, std::size_t pos, bool& escaped) {
  ++pos;
  for (;;) {
    pos = find_quote_or_backslash(text, pos);
    if (pos == kJsonScanEnd) return kJsonScanEnd;
    if (text[pos] == '"') return pos + 1;
    escaped = true;
    pos += 2;  // an escape: its next byte is never the end
    if (pos > text.size()) return kJsonScanEnd;
  }
}

inline std::size_t json_string_end(std::string_view text, std::size_t pos) {
  bool escaped = false;
  return json_string_end(text, pos, escaped);
}

// The position after the value that starts at pos: a string, an array or
// object with everything it holds, or a number or literal (up to the byte
// that ends one). kJsonScanEnd when a string or container is not closed.
inline std::size_t json_value_end(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return kJsonScanEnd;
  const char first = text[pos];
  if (first == '"') return json_string_end(text, pos);
  if (first != '{' && first != '[') {
    while (pos < text.size() &&
           !json_scan_internal::kEndsScalar[static_cast<unsigned char>(text[pos])]) {
      ++pos;
    }
    return pos;
  }
  std::size_t depth = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '"') {
      pos = json_string_end(text, pos);
      if (pos == kJsonScanEnd) return kJsonScanEnd;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return pos + 1;
    }
    ++pos;
  }
  return kJsonScanEnd;
}

// Requires: text[pos] starts a member, `"name":`. Returns the position of
// its value (blanks skipped) and sets name to the name's text, quotes
// included, and escaped to whether it holds an escape; kJsonScanEnd when the
// text is no member there.
inline std::size_t json_member_value_start(std::string_view text, std::size_t pos,
                                           std::string_view& name, bool& escaped) {
  if (pos >= text.size() || text[pos] != '"') return kJsonScanEnd;
  escaped = false;
  const std::size_t name_end = json_string_end(text, pos, escaped);
  if (name_end == kJsonScanEnd) return kJsonScanEnd;
  name = text.substr(pos, name_end - pos);
  pos = skip_json_blanks(text, name_end);
  if (pos >= text.size() || text[pos] != ':') return kJsonScanEnd;
  return skip_json_blanks(text, pos + 1);
}

// The characters of a string whose text holds an escape, decoded into
// scratch (empty when the text does not decode). Out of line: it reads with
// the reader.
std::string_view decode_json_string(std::string_view text, std::string& scratch);

// The characters of a string value's text (quotes included): the text
// between the quotes when it holds no escape, decoded into scratch
// otherwise.
inline std::string_view json_string_chars(std::string_view text, std::string& scratch) {
  if (text.size() < 2) return {};
  const std::string_view body = text.substr(1, text.size() - 2);
  if (body.find('\\') == std::string_view::npos) return body;
  return decode_json_string(text, scratch);
}

// Calls visit(name, value text) for each member of the object, in order,
// until visit returns true; false when the text breaks off or is malformed
// before that. Names are decoded where they hold an escape. The hot loop of
// every filter on stored text and every sorted walk: written out over the
// steps above rather than through JsonItemScan, whose state costs a tenth of
// a query's time here.
// Requires: object starts with '{'.
template <typename Visit>
bool for_each_json_member(std::string_view object, Visit&& visit) {
  std::size_t pos = skip_json_blanks(object, 1);
  if (pos < object.size() && object[pos] == '}') return true;
  std::string scratch;
  for (;;) {
    std::string_view quoted;
    bool escaped = false;
    pos = json_member_value_start(object, pos, quoted, escaped);
    if (pos == kJsonScanEnd) return false;
    const std::size_t end = json_value_end(object, pos);
    if (end == kJsonScanEnd) return false;
    const std::string_view name =
        escaped ? decode_json_string(quoted, scratch) : quoted.substr(1, quoted.size() - 2);
    if (visit(name, object.substr(pos, end - pos))) return true;
    pos = skip_json_blanks(object, end);
    if (pos >= object.size()) return false;
    if (object[pos] == '}') return true;
    if (object[pos] != ',') return false;
    pos = skip_json_blanks(object, pos + 1);
  }
}

// Steps through the members of an object or the elements of an array:
//
//   JsonItemScan items(text);       // text starts with '{' or '['
//   while (items.next()) use(items.key(), items.value());
//   if (items.broken()) ...         // the text broke off or is malformed
//
// key() is the member name's raw text between its quotes (decode it when
// key_escaped()); arrays have no keys. Views are into the scanned text.
class JsonItemScan {
 public:
  // Requires: container is not empty and starts with '{' or '['.
  explicit JsonItemScan(std::string_view container)
      : text_(container), object_(container.front() == '{') {}

  // True when another item was read; false at the closing bracket or when
  // the text breaks off (then broken()).
  bool next() {
    if (done_) return false;
    std::size_t pos = skip_json_blanks(text_, pos_);
    if (first_) {
      first_ = false;
      if (pos < text_.size() && text_[pos] == (object_ ? '}' : ']')) return finish(false);
    } else {
      if (pos >= text_.size()) return finish(true);
      if (text_[pos] == (object_ ? '}' : ']')) return finish(false);
      if (text_[pos] != ',') return finish(true);
      pos = skip_json_blanks(text_, pos + 1);
    }
    if (object_ && !read_key(pos)) return finish(true);
    const std::size_t end = json_value_end(text_, pos);
    if (end == kJsonScanEnd) return finish(true);
    value_ = text_.substr(pos, end - pos);
    pos_ = end;
    return true;
  }

  std::string_view key() const { return key_; }
  bool key_escaped() const { return key_escaped_; }
  std::string_view value() const { return value_; }
  bool broken() const { return broken_; }

 private:
  // Reads `"name":` at pos and leaves pos at the value.
  bool read_key(std::size_t& pos) {
    std::string_view quoted;
    pos = json_member_value_start(text_, pos, quoted, key_escaped_);
    if (pos == kJsonScanEnd) return false;
    key_ = quoted.substr(1, quoted.size() - 2);
    return true;
  }

  bool finish(bool broken) {
    done_ = true;
    broken_ = broken;
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 1;  // after the opening bracket, then after each value
  std::string_view key_;
  std::string_view value_;
  bool object_;
  bool first_ = true;
  bool key_escaped_ = false;
  bool done_ = false;
  bool broken_ = false;
};

// Arrays and objects of JSON text, counted without parsing it: how many are
// open at the end, the deepest nesting met, whether the text ends inside a
// string, and whether it closed more than it opened (the scan stops there).
// Brackets inside strings do not count.
struct BracketScan {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  bool over_closed = false;
};
BracketScan scan_brackets(std::string_view json);

// Where the first JSON value of text ends, judged by brackets and strings
// only (the reader judges the rest): after the bracket that closes an
// opening '{' or '[', or at the end of text when none does; for anything
// else, at the first space or tab, or the end of text.
std::size_t first_value_end(std::string_view text);

}  // namespace tovik
