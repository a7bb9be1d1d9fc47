// Compiling a filter, and evaluating it on stored text and on trees.
//
// The evaluator is written once, over an accessor: TextAccess steps through
// a stored document's text, TreeAccess through a parsed value. Everything
// about meaning (paths through arrays, negation, number ordering) lives in
// the shared templates, so the two readings cannot drift apart; what the
// accessors own is how a value is reached and compared.
#include "document/filter.h"

#include <algorithm>
#include <array>
#include <utility>

#include "document/filter_parts.h"
#include "document/json_scan.h"

namespace tovik {
namespace {

using namespace filter_internal;

// ---------------------------------------------------------------------------
// Kinds and orders.

bool ordering_holds(Op op, int order) {
  switch (op) {
    case Op::Gt:
      return order > 0;
    case Op::Gte:
      return order >= 0;
    case Op::Lt:
      return order < 0;
    case Op::Lte:
      return order <= 0;
    default:
      return false;
  }
}

Kind kind_of(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return Kind::Null;
    case Json::value_t::boolean:
      return Kind::Boolean;
    case Json::value_t::string:
      return Kind::String;
    case Json::value_t::array:
      return Kind::Array;
    case Json::value_t::object:
      return Kind::Object;
    default:
      return Kind::Number;
  }
}

// ---------------------------------------------------------------------------
// Reading stored text. Stored values are checksummed by the store and were
// written by the compact writer, so the filter steps over them with the
// scanner (json_scan.h) without validating them (it runs on every record a
// walk examines, and checking each in full would cost more than the walk
// itself); documents handed out are checked in full by the walk. Damaged
// text gives a wrong answer or a refusal, never a read out of bounds.

Kind kind_of_text(std::string_view text) {
  if (text.empty()) return Kind::Invalid;
  switch (text.front()) {
    case '{':
      return Kind::Object;
    case '[':
      return Kind::Array;
    case '"':
      return Kind::String;
    case 't':
    case 'f':
      return Kind::Boolean;
    case 'n':
      return Kind::Null;
    default:
      return Kind::Number;
  }
}

// Calls visit(value text) for each element until it returns true.
template <typename Visit>
bool any_element_of_text(std::string_view array, Visit&& visit) {
  JsonItemScan elements(array);
  while (elements.next()) {
    if (visit(elements.value())) return true;
  }
  return false;
}

// The value of the last member called `name`, as parsing would keep it.
std::optional<std::string_view> member_of_text(std::string_view object, std::string_view name) {
  std::optional<std::string_view> found;
  for_each_json_member(object, [&](std::string_view key, std::string_view value) {
    if (key == name) found = value;
    return false;
  });
  return found;
}

// ---------------------------------------------------------------------------
// The two accessors.

struct TextAccess {
  using Value = std::string_view;
  static Kind kind(Value value) { return kind_of_text(value); }
  static std::optional<Value> member(Value object, std::string_view name) {
    return member_of_text(object, name);
  }
  template <typename Visit>
  static bool any_element(Value array, Visit&& visit) {
    return any_element_of_text(array, visit);
  }
  static bool equal(Value value, const Json& operand) { return json_text_equal(value, operand); }
  static Number number(Value value) {
    Number number;
    read_json_number(value, number);  // damaged text gives some number
    return number;
  }
  static bool string_order(Value value, std::string_view operand, int& order) {
    std::string scratch;
    order = json_string_chars(value, scratch).compare(operand);
    return true;
  }
  static bool has_prefix(Value value, std::string_view prefix) {
    std::string scratch;
    return json_string_chars(value, scratch).starts_with(prefix);
  }
};

struct TreeAccess {
  using Value = const Json*;
  static Kind kind(Value value) { return kind_of(*value); }
  static std::optional<Value> member(Value object, std::string_view name) {
    const auto& members = *object->get_ptr<const Json::object_t*>();
    const auto found = members.find(name);
    if (found == members.end()) return std::nullopt;
    return &found->second;
  }
  template <typename Visit>
  static bool any_element(Value array, Visit&& visit) {
    for (const Json& element : *array) {
      if (visit(&element)) return true;
    }
    return false;
  }
  static bool equal(Value value, const Json& operand) { return json_equal(*value, operand); }
  static Number number(Value value) { return *json_number_of(*value); }
  static bool string_order(Value value, std::string_view operand, int& order) {
    order = std::string_view(value->get_ref<const std::string&>()).compare(operand);
    return true;
  }
  static bool has_prefix(Value value, std::string_view prefix) {
    return value->get_ref<const std::string&>().starts_with(prefix);
  }
};

// ---------------------------------------------------------------------------
// Evaluation, shared by both readings.

// A comparison operator on one value (an array counts as one value here).
template <typename A>
bool value_holds(const Test& test, typename A::Value value) {
  switch (test.op) {
    case Op::Eq:
      return A::equal(value, test.operand);
    case Op::In:
      for (const Json& operand : test.operand) {
        if (A::equal(value, operand)) return true;
      }
      return false;
    case Op::Prefix:
      return A::kind(value) == Kind::String && A::has_prefix(value, *test.string);
    default:
      break;
  }
  int order = 0;
  if (test.number) {
    if (A::kind(value) != Kind::Number) return false;
    order = compare_json_numbers(A::number(value), *test.number);
  } else if (test.string) {
    if (A::kind(value) != Kind::String) return false;
    A::string_order(value, *test.string, order);
  } else {
    return false;
  }
  return ordering_holds(test.op, order);
}

// The operator on the value the whole path reached. Existence and type look
// at the value itself; comparisons also at each element of an array.
template <typename A>
bool leaf_holds(const Test& test, typename A::Value value) {
  if (test.op == Op::Exists) return true;
  if (test.op == Op::Type) return A::kind(value) == test.type;
  if (value_holds<A>(test, value)) return true;
  return test.elements && A::kind(value) == Kind::Array &&
         A::any_element(value,
                        [&](typename A::Value element) { return value_holds<A>(test, element); });
}

// Recursion only descends into the document, so its depth is bounded by
// the document's nesting, not by the length of the path.
template <typename A>
bool path_holds(const Test& test, typename A::Value value, std::size_t step) {
  if (step == test.path.size()) return leaf_holds<A>(test, value);
  const std::string& name = test.path[step];
  const Kind kind = A::kind(value);
  if (kind == Kind::Object) {
    const auto member = A::member(value, name);
    return member && path_holds<A>(test, *member, step + 1);
  }
  if (kind != Kind::Array) return false;
  // One level per step: an array element that is an array is not entered.
  return A::any_element(value, [&](typename A::Value element) {
    if (A::kind(element) != Kind::Object) return false;
    const auto member = A::member(element, name);
    return member && path_holds<A>(test, *member, step + 1);
  });
}

// first(test) is the top-level member test.path[0], if any.
template <typename A, typename First>
bool node_holds(const std::vector<Test>& tests, const Node& node, const First& first) {
  switch (node.form) {
    case Node::Form::All:
      for (const Node& child : node.children) {
        if (!node_holds<A>(tests, child, first)) return false;
      }
      return true;
    case Node::Form::Any:
      for (const Node& child : node.children) {
        if (node_holds<A>(tests, child, first)) return true;
      }
      return false;
    case Node::Form::Not:
      return !node_holds<A>(tests, node.children.front(), first);
    case Node::Form::Test:
      break;
  }
  const Test& test = tests[node.test];
  const std::optional<typename A::Value> value = first(test);
  const bool held = value && path_holds<A>(test, *value, 1);
  return held != test.negate;
}

}  // namespace

QueryFilter::QueryFilter(std::unique_ptr<Compiled> compiled) : compiled_(std::move(compiled)) {}
QueryFilter::QueryFilter(QueryFilter&&) noexcept = default;
QueryFilter& QueryFilter::operator=(QueryFilter&&) noexcept = default;
QueryFilter::~QueryFilter() = default;

namespace {

// The value texts of the filter's top-level members ("id" last), inline for
// the usual few.
class MemberSlots {
 public:
  MemberSlots(const MemberSlots&) = delete;
  MemberSlots& operator=(const MemberSlots&) = delete;
  explicit MemberSlots(std::size_t count) {
    if (count > kInline) {
      many_.resize(count);
      slots_ = many_;
    } else {
      slots_ = std::span(inline_).first(count);
    }
  }
  std::span<std::optional<std::string_view>> all() { return slots_; }
  std::optional<std::string_view> operator[](std::size_t i) const { return slots_[i]; }
  // The document's "id" text names id.
  bool id_is(std::string_view id) const {
    const auto& stored = slots_.back();
    std::string scratch;
    return stored && kind_of_text(*stored) == Kind::String &&
           json_string_chars(*stored, scratch) == id;
  }

 private:
  static constexpr std::size_t kInline = 16;
  std::array<std::optional<std::string_view>, kInline> inline_;
  std::vector<std::optional<std::string_view>> many_;
  std::span<std::optional<std::string_view>> slots_;
};

}  // namespace

std::expected<bool, StoreError> QueryFilter::matches_stored(std::string_view value,
                                                            std::string_view id) const {
  // The top-level members the tests start from, found in one pass over the
  // document's members. Stored objects hold each key once (they are written
  // from a map), so the pass ends as soon as every name was met.
  const auto& names = compiled_->names;
  MemberSlots slots(names.size());
  std::size_t unmet = names.size();
  const auto visit = [&](std::string_view name, std::string_view text) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (name == names[i] && !slots[i]) {
        slots.all()[i] = text;
        --unmet;
      }
    }
    return unmet == 0;
  };
  const bool read = kind_of_text(value) == Kind::Object && for_each_json_member(value, visit);
  if (!read || !slots.id_is(id)) return std::unexpected(StoreError::Corrupt);
  const auto first = [&slots](const Test& test) { return slots[test.slot]; };
  return node_holds<TextAccess>(compiled_->tests, compiled_->root, first);
}

std::expected<bool, StoreError> QueryFilter::matches_checked(std::string_view value,
                                                             std::string_view id,
                                                             bool* canonical) const {
  MemberSlots slots(compiled_->names.size());
  auto is_object = outline_json(value, compiled_->names, slots.all(), canonical);
  if (!is_object || !*is_object || !slots.id_is(id)) return std::unexpected(StoreError::Corrupt);
  const auto first = [&slots](const Test& test) { return slots[test.slot]; };
  return node_holds<TextAccess>(compiled_->tests, compiled_->root, first);
}

bool QueryFilter::matches(const Json& document) const {
  const auto first = [&document](const Test& test) -> std::optional<const Json*> {
    if (!document.is_object()) return std::nullopt;
    return TreeAccess::member(&document, test.path.front());
  };
  return node_holds<TreeAccess>(compiled_->tests, compiled_->root, first);
}

const std::optional<QueryFilter::IdStart>& QueryFilter::id_start() const {
  return compiled_->start;
}

bool QueryFilter::past_id_range(std::string_view id) const {
  for (const auto& [bound, op] : compiled_->upper) {
    const bool past = op == Op::Lt       ? id >= bound
                      : op == Op::Prefix ? id > bound && !id.starts_with(bound)
                                         : id > bound;
    if (past) return true;
  }
  return false;
}

}  // namespace tovik
