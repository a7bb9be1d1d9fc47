// What the compact writer (json_writer.cc) writes, for the reader's check of
// whether a text is already in that form, and the position of a reading
// error. Internal to the document library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "document/json.h"

namespace tovik {

// The writer spells \u only for a control character without a short
// escape, as \u00 and two lowercase hex digits: hex is the four digits read.
bool is_written_unicode_escape(std::uint32_t unit, std::string_view hex);

// text is how the writer writes the floating-point number value.
bool is_written_float(std::string_view text, double value);

// The error `message` at byte offset of text, as a 1-based line and column.
JsonParseError json_parse_error_at(std::string_view text, std::string_view message,
                                   std::size_t offset);

}  // namespace tovik
