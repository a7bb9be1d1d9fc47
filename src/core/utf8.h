// Strict UTF-8 validation (no overlongs, no surrogates, nothing above
// U+10FFFF), shared by every layer that takes text from outside; the JSON
// reader checks its strings one character at a time with the same rule.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovik {

// Length in bytes (1 to 4) of the valid character `bytes` starts with, or 0
// when it starts with none (an empty view, a stray or truncated sequence).
// Inline: the JSON reader calls it for every non-ASCII character.
inline std::size_t utf8_char_length(std::string_view bytes) {
  if (bytes.empty()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 form of a code point.
// Requires: code_point <= 0x10FFFF and is not a surrogate.
void append_utf8(char32_t code_point, std::string& out);

}  // namespace tovik
