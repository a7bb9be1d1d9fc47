// Internal to the filter module: the compiled form of a filter, shared by
// its compiler (filter_compile.cc), its evaluator (filter.cc) and the
// projection (projection.cc). Nothing outside the module includes it.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/filter.h"
#include "document/json.h"
#include "document/json_number.h"

namespace tovik {
namespace filter_internal {

// Invalid: damaged stored text, which no operator matches.
enum class Kind : std::uint8_t { Null, Boolean, Number, String, Array, Object, Invalid };

constexpr std::array<std::pair<std::string_view, Kind>, 6> kTypeNames{{{"null", Kind::Null},
                                                                       {"boolean", Kind::Boolean},
                                                                       {"number", Kind::Number},
                                                                       {"string", Kind::String},
                                                                       {"array", Kind::Array},
                                                                       {"object", Kind::Object}}};

enum class Op : std::uint8_t { Eq, Gt, Gte, Lt, Lte, In, Exists, Type, Prefix };

// A number as read: integers keep their exact 64-bit value.
using Number = JsonNumber;

// One condition on one path: `op` holds (or, negated, does not hold).
struct Test {
  std::vector<std::string> path;
  std::size_t slot = 0;  // path[0] among the outlined top-level names
  Op op = Op::Eq;
  bool negate = false;
  Json operand;                       // Eq: the value; In: the array of values
  Kind type = Kind::Null;             // Type
  std::optional<Number> number;       // ordering against a number
  std::optional<std::string> string;  // ordering against a string; Prefix
  // Whether a comparison on an array value also tries each element; false
  // for the plain member equality of find, which compares the whole value.
  bool elements = true;
};

struct Node {
  enum class Form : std::uint8_t { All, Any, Not, Test };
  Form form = Form::All;
  std::vector<Node> children;
  std::size_t test = 0;  // Form::Test: index into the tests
};

}  // namespace filter_internal

struct QueryFilter::Compiled {
  std::vector<filter_internal::Test> tests;
  filter_internal::Node root;
  std::vector<std::string> first_steps;
  // Views of first_steps and, last, "id": the top-level members a stored
  // document is read for (a test's slot indexes them).
  std::vector<std::string_view> names;
  std::optional<IdStart> start;
  std::vector<std::pair<std::string, filter_internal::Op>> upper;  // ends of the id range
};

namespace filter_internal {
// Sets compiled.names from its first steps; called once they are complete.
void name_members(QueryFilter::Compiled& compiled);
}  // namespace filter_internal

}  // namespace tovik
