// Numbers as the reader keeps them, and their one exact order. Integers
// keep their 64-bit value (signed when negative, unsigned otherwise);
// anything with a fraction or exponent is a double. An integer and a double
// compare by their values exactly, never through a conversion that rounds,
// so 2^63 + 1 is above 2^63 as a double and 1 equals 1.0. Filters order
// numbers by it and sorts rank them by it. All functions are pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "document/json.h"

namespace tovik {

struct JsonNumber {
  enum class Form : std::uint8_t { Signed, Unsigned, Float };
  Form form = Form::Signed;
  std::int64_t i = 0;   // Signed
  std::uint64_t u = 0;  // Unsigned
  double d = 0;         // Float
};

// <0, 0 or >0 as a is below, equal to or above b.
int compare_json_numbers(const JsonNumber& a, const JsonNumber& b);

// The number a value holds, if it is one.
std::optional<JsonNumber> json_number_of(const Json& value);

// Reads a number's text into number (a fresh JsonNumber) as the reader
// reads it: integral text as a 64-bit integer when it fits, anything else
// as the double the reader rounds it to. False when the text is not wholly
// a number the reader keeps (number then holds what could be made of it).
bool read_json_number(std::string_view text, JsonNumber& number);

}  // namespace tovik
