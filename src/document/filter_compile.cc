// Compiling a filter: its text as a tree of tests, checked whole, and the id
// bounds a walk may seek by.
#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "document/dotted_path.h"
#include "document/filter.h"
#include "document/filter_parts.h"

namespace tovik {
namespace filter_internal {

namespace {

// ---------------------------------------------------------------------------
// Compiling.

using Refusal = std::unexpected<std::string>;

Refusal refuse(std::string message) { return Refusal(std::move(message)); }

class Compiler {
 public:
  explicit Compiler(QueryFilter::Compiled& out) : out_(out) {}

  std::expected<Node, std::string> filter(const Json& filter) {
    if (!filter.is_object()) return refuse(std::string(kFilterNotObject));
    Node all;
    for (const auto& [key, value] : *filter.get_ptr<const Json::object_t*>()) {
      std::expected<void, std::string> added;
      if (key.starts_with('$')) {
        added = logic(key, value, all);
      } else {
        added = field(key, value, all);
      }
      if (!added) return std::unexpected(std::move(added.error()));
    }
    return all;
  }

 private:
  std::expected<void, std::string> counted() {
    if (++conditions_ > kMaxFilterConditions) return refuse(std::string(kFilterTooComplex));
    return {};
  }

  std::expected<void, std::string> logic(const std::string& key, const Json& value, Node& into) {
    Node node;
    if (key == "$and" || key == "$or") {
      if (!value.is_array() || value.empty()) return refuse(key + " needs a non-empty array");
      node.form = key == "$and" ? Node::Form::All : Node::Form::Any;
    } else if (key == "$not") {
      if (!value.is_object()) return refuse("$not needs an object");
      node.form = Node::Form::Not;
    } else {
      return refuse("unknown query operator " + key);
    }
    if (auto ok = counted(); !ok) return ok;
    const auto add = [&](const Json& sub) -> std::expected<void, std::string> {
      if (!sub.is_object()) return refuse(key + " needs an array of objects");
      if (auto ok = counted(); !ok) return ok;
      auto compiled = filter(sub);
      if (!compiled) return std::unexpected(std::move(compiled.error()));
      node.children.push_back(std::move(*compiled));
      return {};
    };
    if (node.form == Node::Form::Not) {
      if (auto ok = add(value); !ok) return ok;
    } else {
      for (const Json& sub : value) {
        if (auto ok = add(sub); !ok) return ok;
      }
    }
    into.children.push_back(std::move(node));
    return {};
  }

  std::expected<void, std::string> field(const std::string& key, const Json& value, Node& into) {
    auto path = split_query_path(key);
    if (!path) return std::unexpected(std::move(path.error()));
    if (value.is_object() && !value.empty()) {
      std::size_t operators = 0;
      for (const auto& [name, operand] : value.items()) operators += name.starts_with('$') ? 1 : 0;
      if (operators == value.size()) {
        for (const auto& [name, operand] : *value.get_ptr<const Json::object_t*>()) {
          if (auto ok = operation(key, *path, name, operand, into); !ok) return ok;
        }
        return {};
      }
      if (operators > 0) return refuse("cannot mix operators and fields at " + key);
    }
    Test test;
    test.operand = value;
    return add(std::move(*path), std::move(test), into);
  }

  std::expected<void, std::string> operation(const std::string& key,
                                             const std::vector<std::string>& path,
                                             const std::string& name, const Json& operand,
                                             Node& into) {
    const auto needs = [&](std::string_view what) {
      return refuse(name + " needs " + std::string(what) + " at " + key);
    };
    Test test;
    if (name == "$eq" || name == "$ne") {
      test.op = Op::Eq;
      test.negate = name == "$ne";
      test.operand = operand;
    } else if (name == "$gt" || name == "$gte" || name == "$lt" || name == "$lte") {
      test.op = name == "$gt"    ? Op::Gt
                : name == "$gte" ? Op::Gte
                : name == "$lt"  ? Op::Lt
                                 : Op::Lte;
      test.number = json_number_of(operand);
      if (operand.is_string()) test.string = operand.get<std::string>();
    } else if (name == "$in" || name == "$nin") {
      if (!operand.is_array()) return needs("an array");
      for (std::size_t i = 0; i < operand.size(); ++i) {
        if (auto ok = counted(); !ok) return ok;
      }
      test.op = Op::In;
      test.negate = name == "$nin";
      test.operand = operand;
    } else if (name == "$exists") {
      if (!operand.is_boolean()) return needs("true or false");
      test.op = Op::Exists;
      test.negate = !operand.get<bool>();
    } else if (name == "$type") {
      const auto* type_name = operand.get_ptr<const Json::string_t*>();
      const auto* found =
          type_name == nullptr
              ? kTypeNames.end()
              : std::find_if(kTypeNames.begin(), kTypeNames.end(),
                             [&](const auto& entry) { return entry.first == *type_name; });
      if (found == kTypeNames.end()) {
        return needs("one of null, boolean, number, string, array, object");
      }
      test.op = Op::Type;
      test.type = found->second;
    } else if (name == "$prefix") {
      if (!operand.is_string()) return needs("a string");
      test.op = Op::Prefix;
      test.string = operand.get<std::string>();
    } else {
      return refuse("unknown query operator " + name + " at " + key);
    }
    return add(path, std::move(test), into);
  }

  std::expected<void, std::string> add(std::vector<std::string> path, Test test, Node& into) {
    if (auto ok = counted(); !ok) return ok;
    const auto known = std::find(out_.first_steps.begin(), out_.first_steps.end(), path.front());
    test.slot = static_cast<std::size_t>(known - out_.first_steps.begin());
    if (known == out_.first_steps.end()) out_.first_steps.push_back(path.front());
    test.path = std::move(path);
    Node node;
    node.form = Node::Form::Test;
    node.test = out_.tests.size();
    out_.tests.push_back(std::move(test));
    into.children.push_back(std::move(node));
    return {};
  }

  QueryFilter::Compiled& out_;
  std::size_t conditions_ = 0;
};

// The bounds on "id" that every match must meet: those of the top-level
// conjunction (and of conjunctions inside it), never under $or or $not.
void collect_id_range(QueryFilter::Compiled& compiled, const Node& node) {
  if (node.form == Node::Form::All) {
    for (const Node& child : node.children) collect_id_range(compiled, child);
    return;
  }
  if (node.form != Node::Form::Test) return;
  const Test& test = compiled.tests[node.test];
  if (test.negate || test.path.size() != 1 || test.path.front() != "id") return;
  const std::string* bound = test.string ? &*test.string : nullptr;
  if (test.op == Op::Eq && test.operand.is_string())
    bound = test.operand.get_ptr<const std::string*>();
  if (bound == nullptr) return;
  const bool lower =
      test.op == Op::Eq || test.op == Op::Gt || test.op == Op::Gte || test.op == Op::Prefix;
  const bool upper =
      test.op == Op::Eq || test.op == Op::Lt || test.op == Op::Lte || test.op == Op::Prefix;
  if (lower) {
    const bool strict = test.op == Op::Gt;
    auto& start = compiled.start;
    if (!start || *bound > start->id) {
      start = QueryFilter::IdStart{*bound, strict};
    } else if (*bound == start->id) {
      start->strict = start->strict || strict;
    }
  }
  if (upper) compiled.upper.emplace_back(*bound, test.op);
}

}  // namespace
}  // namespace filter_internal

using namespace filter_internal;

void filter_internal::name_members(QueryFilter::Compiled& compiled) {
  compiled.names.assign(compiled.first_steps.begin(), compiled.first_steps.end());
  compiled.names.emplace_back("id");
}

std::expected<QueryFilter, DocError> QueryFilter::compile(const Json& filter) {
  try {
    auto compiled = std::make_unique<Compiled>();
    Compiler compiler(*compiled);
    auto root = compiler.filter(filter);
    if (!root) return std::unexpected(DocError::message(root.error()));
    compiled->root = std::move(*root);
    name_members(*compiled);
    collect_id_range(*compiled, compiled->root);
    return QueryFilter(std::move(compiled));
  } catch (const std::bad_alloc&) {
    return std::unexpected(DocError::message("out of memory"));
  }
}

QueryFilter QueryFilter::everything() {
  auto compiled = std::make_unique<Compiled>();
  name_members(*compiled);
  return QueryFilter(std::move(compiled));
}

QueryFilter QueryFilter::member_equals(std::string_view name, const Json& value) {
  auto compiled = std::make_unique<Compiled>();
  Test test;
  test.path.emplace_back(name);
  test.operand = value;
  test.elements = false;
  compiled->tests.push_back(std::move(test));
  compiled->first_steps.emplace_back(name);
  name_members(*compiled);
  Node node;
  node.form = Node::Form::Test;
  compiled->root.children.push_back(std::move(node));
  return QueryFilter(std::move(compiled));
}

}  // namespace tovik
