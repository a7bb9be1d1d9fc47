// The two serialised forms of a value and the equality that filters use.
// json_text_equal settles most comparisons from the stored text itself
// (stepped over with json_scan.h) and only falls back to the reader
// (json_reader.cc) when it cannot.
#include <array>
#include <charconv>
#include <cstdint>
#include <string>

#include <nlohmann/detail/conversions/to_chars.hpp>

#include "document/json.h"
#include "document/json_form.h"
#include "document/json_scan.h"

namespace tovik {
namespace {

bool is_integer(const Json& value) {
  return value.is_number_integer();  // signed or unsigned, not float
}

bool integers_equal(const Json& a, const Json& b) {
  const bool a_unsigned = a.is_number_unsigned();
  const bool b_unsigned = b.is_number_unsigned();
  if (a_unsigned == b_unsigned) {
    return a_unsigned ? a.get<std::uint64_t>() == b.get<std::uint64_t>()
                      : a.get<std::int64_t>() == b.get<std::int64_t>();
  }
  const Json& s = a_unsigned ? b : a;
  const Json& u = a_unsigned ? a : b;
  const std::int64_t signed_value = s.get<std::int64_t>();
  return signed_value >= 0 && static_cast<std::uint64_t>(signed_value) == u.get<std::uint64_t>();
}

void append_decimal(std::size_t value, std::string& out) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

bool is_written_unicode_escape(std::uint32_t unit, std::string_view hex) {
  if (unit >= 0x20 || unit == '\b' || unit == '\t' || unit == '\n' || unit == '\f' ||
      unit == '\r') {
    return false;
  }
  return hex.find_first_of("ABCDEF") == std::string_view::npos;
}

bool is_written_float(std::string_view text, double value) {
  // nlohmann's dump writes a floating-point number with this very function.
  std::array<char, 64> written;
  const char* end =
      ::nlohmann::detail::to_chars(written.data(), written.data() + written.size(), value);
  return text == std::string_view(written.data(), static_cast<std::size_t>(end - written.data()));
}

JsonParseError json_parse_error_at(std::string_view text, std::string_view message,
                                   std::size_t offset) {
  JsonParseError error;
  error.message = std::string(message);
  if (offset > text.size()) offset = text.size();
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++error.line;
      error.column = 1;
    } else {
      ++error.column;
    }
  }
  return error;
}

std::string json_parse_error_text(const JsonParseError& error) {
  std::string text = error.message;
  text += " at line ";
  append_decimal(error.line, text);
  text += " column ";
  append_decimal(error.column, text);
  return text;
}

std::string dump_compact(const Json& value) {
  // nlohmann writes exactly the escapes of the stored form with
  // ensure_ascii off; `replace` keeps it from throwing on bad UTF-8.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dump_pretty(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::size_t json_string_literal_length(std::string_view text) {
  std::size_t length = 2;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
      length += 2;
    } else if (c < 0x20) {
      length += 6;
    } else {
      length += 1;
    }
  }
  return length;
}

bool json_equal(const Json& a, const Json& b) {
  if (is_integer(a) || is_integer(b)) return is_integer(a) && is_integer(b) && integers_equal(a, b);
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::value_t::array: {
      const auto& x = *a.get_ptr<const Json::array_t*>();
      const auto& y = *b.get_ptr<const Json::array_t*>();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!json_equal(x[i], y[i])) return false;
      }
      return true;
    }
    case Json::value_t::object: {
      const auto& x = *a.get_ptr<const Json::object_t*>();
      const auto& y = *b.get_ptr<const Json::object_t*>();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !json_equal(i->second, j->second)) return false;
      }
      return true;
    }
    default:
      // null, booleans, floating-point numbers (never NaN here), strings.
      return a == b;
  }
}

bool json_text_equal(std::string_view text, const Json& value) {
  if (text.empty()) return false;
  const char first = text.front();
  const bool number_text = first == '-' || (first >= '0' && first <= '9');
  switch (value.type()) {
    case Json::value_t::string: {
      if (first != '"') return false;
      bool escaped = false;
      if (json_string_end(text, 0, escaped) == text.size() && !escaped) {
        return text.substr(1, text.size() - 2) == *value.get_ptr<const Json::string_t*>();
      }
      break;
    }
    case Json::value_t::boolean:
      return text == (value.get<bool>() ? "true" : "false");
    case Json::value_t::null:
      return text == "null";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      if (!number_text) return false;
      // The text of an integer that fits 64 bits reads back as an integer;
      // anything else (a fraction, an exponent, a larger integer) is a float.
      const char* last = text.data() + text.size();
      if (first == '-') {
        std::int64_t parsed = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), last, parsed);
        if (ec != std::errc() || ptr != last) return false;
        return integers_equal(Json(parsed), value);
      }
      std::uint64_t parsed = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), last, parsed);
      if (ec != std::errc() || ptr != last) return false;
      return integers_equal(Json(parsed), value);
    }
    case Json::value_t::number_float:
      if (!number_text) return false;
      break;
    case Json::value_t::array:
      if (first != '[') return false;
      break;
    case Json::value_t::object:
      if (first != '{') return false;
      break;
    default:
      break;
  }
  auto parsed = parse_json(text);
  return parsed && json_equal(*parsed, value);
}

}  // namespace tovik
