// Text helpers of the client side: Unicode white space as the shell's line
// grammar sees it. Pure functions.
#pragma once

#include <string_view>

namespace tovik::cli {

// Leading and trailing Unicode white space removed (ASCII blanks, U+0085,
// U+00A0, U+2000-U+200A, U+3000, ...). Meant for valid UTF-8: a
// stray byte is kept as it is.
std::string_view trim(std::string_view text);

// Splits at the first white space character: the part before it and the
// trimmed rest. Without white space the rest is empty and found is false.
struct WordSplit {
  std::string_view first;
  std::string_view rest;
  bool found = false;
};
WordSplit split_first_whitespace(std::string_view text);

// True when the text holds any white space character.
bool contains_whitespace(std::string_view text);

}  // namespace tovik::cli
