#include "document/stored_members.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "document/json.h"

namespace tovik {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_blanks(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_blank(text[pos])) ++pos;
  return pos;
}

// The first '"' or '\\' at or after pos, eight bytes at a time.
std::size_t quote_or_backslash(std::string_view text, std::size_t pos) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    while (text.size() - pos >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, text.data() + pos, 8);
      const std::uint64_t quote = word ^ (kOnes * '"');
      const std::uint64_t backslash = word ^ (kOnes * '\\');
      // The lowest byte flagged is the first zero byte of either word.
      const std::uint64_t hit =
          (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) & kHighs;
      if (hit != 0) return pos + static_cast<std::size_t>(std::countr_zero(hit) / 8);
      pos += 8;
    }
  }
  for (; pos < text.size(); ++pos) {
    if (text[pos] == '"' || text[pos] == '\\') return pos;
  }
  return kNone;
}

// pos is at an opening quote; returns the position after the closing one.
// `escaped` tells whether the string holds an escape.
std::size_t string_end(std::string_view text, std::size_t pos, bool& escaped) {
  ++pos;
  for (;;) {
    pos = quote_or_backslash(text, pos);
    if (pos == kNone) return kNone;
    if (text[pos] == '"') return pos + 1;
    escaped = true;
    pos += 2;  // the escaped byte is never the end
    if (pos > text.size()) return kNone;
  }
}

constexpr auto kEndsScalar = [] {
  std::array<bool, 256> ends{};
  for (const unsigned char c : {',', ']', '}', ' ', '\t', '\n', '\r'}) ends[c] = true;
  return ends;
}();

std::size_t value_end(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return kNone;
  bool escaped = false;
  const char first = text[pos];
  if (first == '"') return string_end(text, pos, escaped);
  if (first != '{' && first != '[') {
    while (pos < text.size() && !kEndsScalar[static_cast<unsigned char>(text[pos])]) ++pos;
    return pos;
  }
  std::size_t depth = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '"') {
      pos = string_end(text, pos, escaped);
      if (pos == kNone) return kNone;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return pos + 1;
    }
    ++pos;
  }
  return kNone;
}

// The name of a member: its text without quotes, or decoded when it holds
// an escape.
std::string_view member_name(std::string_view quoted, bool escaped, std::string& scratch) {
  if (!escaped) return quoted.substr(1, quoted.size() - 2);
  auto decoded = parse_json(quoted);
  scratch = decoded && decoded->is_string() ? decoded->get<std::string>() : std::string();
  return scratch;
}

}  // namespace

bool find_stored_members(std::string_view text, std::span<const std::string> names,
                         std::span<std::string_view> values) {
  std::size_t pos = skip_blanks(text, 0);
  if (pos >= text.size() || text[pos] != '{') return false;
  pos = skip_blanks(text, pos + 1);
  if (pos < text.size() && text[pos] == '}') return true;
  std::size_t unmet = names.size();
  std::string scratch;
  while (unmet > 0) {
    if (pos >= text.size() || text[pos] != '"') return false;
    bool escaped = false;
    const std::size_t name_end = string_end(text, pos, escaped);
    if (name_end == kNone) return false;
    const std::string_view name = member_name(text.substr(pos, name_end - pos), escaped, scratch);
    pos = skip_blanks(text, name_end);
    if (pos >= text.size() || text[pos] != ':') return false;
    pos = skip_blanks(text, pos + 1);
    const std::size_t end = value_end(text, pos);
    if (end == kNone || end == pos) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (values[i].data() == nullptr && name == names[i]) {
        values[i] = text.substr(pos, end - pos);
        --unmet;
      }
    }
    pos = skip_blanks(text, end);
    if (pos >= text.size()) return false;
    if (text[pos] == '}') return true;
    if (text[pos] != ',') return false;
    pos = skip_blanks(text, pos + 1);
  }
  return true;
}

}  // namespace tovik
