#include "document/json_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

namespace tovik {
namespace {

int three_way(auto a, auto b) { return std::cmp_less(a, b) ? -1 : std::cmp_less(b, a) ? 1 : 0; }

int compare_integers(const JsonNumber& a, const JsonNumber& b) {
  const bool a_signed = a.form == JsonNumber::Form::Signed;
  const bool b_signed = b.form == JsonNumber::Form::Signed;
  if (a_signed) return b_signed ? three_way(a.i, b.i) : three_way(a.i, b.u);
  return b_signed ? three_way(a.u, b.i) : three_way(a.u, b.u);
}

// The double is split into its integral part, which fits one of the
// integer forms once the out-of-range cases are settled, and a fraction
// that breaks a tie.
int compare_integer_with_float(const JsonNumber& a, double d) {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  constexpr double kMinusTwoTo63 = -9223372036854775808.0;
  if (d >= kTwoTo64) return -1;
  if (d < kMinusTwoTo63) return 1;
  const double whole = std::trunc(d);
  JsonNumber integral;
  if (whole >= 0) {
    integral.form = JsonNumber::Form::Unsigned;
    integral.u = static_cast<std::uint64_t>(whole);
  } else {
    integral.i = static_cast<std::int64_t>(whole);
  }
  const int order = compare_integers(a, integral);
  if (order != 0) return order;
  const double fraction = d - whole;
  return fraction > 0 ? -1 : fraction < 0 ? 1 : 0;
}

}  // namespace

int compare_json_numbers(const JsonNumber& a, const JsonNumber& b) {
  const bool a_float = a.form == JsonNumber::Form::Float;
  const bool b_float = b.form == JsonNumber::Form::Float;
  if (!a_float && !b_float) return compare_integers(a, b);
  if (a_float && b_float) return a.d < b.d ? -1 : b.d < a.d ? 1 : 0;
  return a_float ? -compare_integer_with_float(b, a.d) : compare_integer_with_float(a, b.d);
}

std::optional<JsonNumber> json_number_of(const Json& value) {
  JsonNumber number;
  if (value.is_number_unsigned()) {
    number.form = JsonNumber::Form::Unsigned;
    number.u = value.get<std::uint64_t>();
  } else if (value.is_number_integer()) {
    number.i = value.get<std::int64_t>();
  } else if (value.is_number_float()) {
    number.form = JsonNumber::Form::Float;
    number.d = value.get<double>();
  } else {
    return std::nullopt;
  }
  return number;
}

bool read_json_number(std::string_view text, JsonNumber& number) {
  if (text.empty()) return false;
  const char* first = text.data();
  const char* last = first + text.size();
  // Integral text that fits no 64-bit integer is refused by the reader;
  // number still gets the nearest double.
  const bool integral = text.find_first_of(".eE") == std::string_view::npos;
  if (integral) {
    if (text.front() == '-') {
      const auto [ptr, ec] = std::from_chars(first, last, number.i);
      if (ec == std::errc() && ptr == last) return true;
    } else {
      number.form = JsonNumber::Form::Unsigned;
      const auto [ptr, ec] = std::from_chars(first, last, number.u);
      if (ec == std::errc() && ptr == last) return true;
    }
  }
  number.form = JsonNumber::Form::Float;
  const auto [ptr, ec] = std::from_chars(first, last, number.d);
  if (ec == std::errc::result_out_of_range) {
    const std::string copy(text);
    number.d = std::strtod(copy.c_str(), nullptr);  // as the reader rounds it
    return !integral && !std::isinf(number.d);      // the reader refuses overflow
  }
  return !integral && ec == std::errc() && ptr == last;
}

}  // namespace tovik
