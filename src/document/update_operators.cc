#include "document/update_operators.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "document/dotted_path.h"

namespace tovik {
namespace {

using Path = std::vector<std::string>;

std::unexpected<DocError> refusal(std::string text) {
  return std::unexpected(DocError::message(text));
}

// Messages read "<operator> <what> at <path>"; each is written out whole
// so that its text can be found in one place.
std::string cat(std::string_view a, std::string_view b, std::string_view c = {}) {
  return std::string(a) + std::string(b) + std::string(c);
}

std::string join(const Path& path, std::size_t steps) {
  std::string text;
  for (std::size_t i = 0; i < steps; ++i) {
    if (i > 0) text += '.';
    text += path[i];
  }
  return text;
}

// A dotted path, as in filters; "id" and what lies under it is never
// changed.
std::expected<Path, DocError> read_path(std::string_view op, std::string_view text) {
  auto steps = split_dotted_path(text);
  if (!steps) {
    if (steps.error() == PathFault::Empty) return refusal(cat(op, " needs a non-empty path"));
    return refusal(cat(op, " has an empty step at ", text));
  }
  if (steps->front() == "id") return refusal(std::string(kCannotUpdateId));
  return std::move(*steps);
}

// Levels a value adds below the place it is stored: 0 for a scalar.
std::size_t depth(const Json& value) {
  std::size_t deepest = 0;
  if (value.is_object()) {
    for (const auto& [name, member] : *value.get_ptr<const Json::object_t*>()) {
      deepest = std::max(deepest, depth(member));
    }
  } else if (value.is_array()) {
    for (const Json& element : *value.get_ptr<const Json::array_t*>()) {
      deepest = std::max(deepest, depth(element));
    }
  } else {
    return 0;
  }
  return deepest + 1;
}

// A value of `levels` stored at a path of `steps` steps nests the document
// steps + levels deep (the document itself is the first level).
std::expected<void, DocError> check_depth(std::string_view op, std::string_view text,
                                          std::size_t steps, std::size_t levels) {
  if (steps + levels <= kMaxJsonDepth) return {};
  static_assert(kMaxJsonDepth == 127, "the message below names the limit");
  return refusal(cat(op, " nests deeper than 127 levels at ", text));
}

// The object that holds the path's last step. With `create`, objects missing
// on the way are made and a step that meets a non-object is refused;
// without, either is a missing path (nullptr).
std::expected<Json::object_t*, DocError> holder_of(Json& document, const Path& path,
                                                   std::string_view op, bool create) {
  auto* object = document.get_ptr<Json::object_t*>();
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    auto found = object->find(path[i]);
    if (found == object->end()) {
      if (!create) return nullptr;
      found = object->emplace(path[i], Json::object()).first;
    } else if (!found->second.is_object()) {
      if (!create) return nullptr;
      return refusal(cat(op, " needs an object at ", join(path, i + 1)));
    }
    object = found->second.get_ptr<Json::object_t*>();
  }
  return object;
}

// Integers add exactly and stay integers (of the kind the reader gives
// their value), so the sum must fit 64 bits; a floating-point term makes
// the sum floating-point, which must stay finite.
__extension__ typedef __int128 Wide;

Wide wide(const Json& number) {
  if (number.is_number_unsigned()) return static_cast<Wide>(number.get<std::uint64_t>());
  return static_cast<Wide>(number.get<std::int64_t>());
}

std::optional<Json> add_numbers(const Json& a, const Json& b) {
  if (a.is_number_float() || b.is_number_float()) {
    const double sum = a.get<double>() + b.get<double>();
    if (!std::isfinite(sum)) return std::nullopt;
    return Json(sum);
  }
  const Wide sum = wide(a) + wide(b);
  if (sum < 0) {
    if (sum < std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    return Json(static_cast<std::int64_t>(sum));
  }
  if (sum > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  return Json(static_cast<std::uint64_t>(sum));
}

}  // namespace

std::expected<DocumentUpdate, DocError> DocumentUpdate::compile(const Json& fields) {
  if (!fields.is_object()) return std::unexpected(StoreError::Invalid);
  const auto& members = *fields.get_ptr<const Json::object_t*>();
  const auto operators = std::count_if(members.begin(), members.end(), [](const auto& member) {
    return member.first.starts_with('$');
  });
  DocumentUpdate update;
  if (operators == 0) {
    if (members.empty() || members.contains("id")) return std::unexpected(StoreError::Invalid);
    update.merge_ = &fields;
    return update;
  }
  if (static_cast<std::size_t>(operators) != members.size()) {
    return refusal(std::string(kMixedUpdate));
  }
  for (const auto& [name, operand] : members) {
    if (auto added = update.add(name, operand); !added) return std::unexpected(added.error());
  }
  if (auto checked = update.check_conflicts(); !checked) return std::unexpected(checked.error());
  return update;
}

std::expected<void, DocError> DocumentUpdate::add(std::string_view name, const Json& operand) {
  static constexpr std::array<std::pair<std::string_view, Op>, 7> kOperators{{
      {"$addToSet", Op::AddToSet},
      {"$inc", Op::Inc},
      {"$pull", Op::Pull},
      {"$push", Op::Push},
      {"$rename", Op::Rename},
      {"$set", Op::Set},
      {"$unset", Op::Unset},
  }};
  const auto known = std::find_if(kOperators.begin(), kOperators.end(),
                                  [name](const auto& entry) { return entry.first == name; });
  if (known == kOperators.end()) return refusal("unknown update operator " + std::string(name));
  if (!operand.is_object()) return refusal(std::string(name) + " needs an object of paths");
  for (const auto& [text, value] : *operand.get_ptr<const Json::object_t*>()) {
    auto path = read_path(name, text);
    if (!path) return std::unexpected(path.error());
    Change change{known->second, known->first, std::move(*path), text, &value, {}};
    if (change.op == Op::Inc && !value.is_number()) {
      return refusal(cat("$inc needs a number operand at ", text));
    }
    if (change.op == Op::Rename) {
      if (!value.is_string()) return refusal(cat("$rename needs a path string at ", text));
      auto target = read_path(name, *value.get_ptr<const Json::string_t*>());
      if (!target) return std::unexpected(target.error());
      change.target = std::move(*target);
    }
    changes_.push_back(std::move(change));
  }
  return {};
}

// Sorted step by step, a path sorts directly before the paths it is a
// prefix of, so comparing neighbours finds every pair that overlaps.
std::expected<void, DocError> DocumentUpdate::check_conflicts() const {
  std::vector<std::pair<const Path*, std::string_view>> paths;
  for (const Change& change : changes_) {
    paths.emplace_back(&change.path, change.text);
    if (change.op == Op::Rename) {
      paths.emplace_back(&change.target, *change.operand->get_ptr<const Json::string_t*>());
    }
  }
  std::sort(paths.begin(), paths.end(),
            [](const auto& a, const auto& b) { return *a.first < *b.first; });
  for (std::size_t i = 1; i < paths.size(); ++i) {
    const Path& shorter = *paths[i - 1].first;
    const Path& longer = *paths[i].first;
    if (shorter.size() <= longer.size() &&
        std::equal(shorter.begin(), shorter.end(), longer.begin())) {
      return refusal(cat("conflicting update at ", paths[i].second));
    }
  }
  return {};
}

std::expected<void, DocError> DocumentUpdate::apply(Json& document) const {
  if (merge_ != nullptr) {
    for (const auto& [name, value] : merge_->items()) document[name] = value;
    return {};
  }
  for (const Change& change : changes_) {
    if (auto applied = apply_change(change, document); !applied) return applied;
  }
  return {};
}

std::expected<void, DocError> DocumentUpdate::apply_change(const Change& change, Json& document) {
  const Json& operand = *change.operand;
  const bool writes = change.op != Op::Unset && change.op != Op::Pull && change.op != Op::Rename;
  if (writes) {
    const bool array = change.op == Op::Push || change.op == Op::AddToSet;
    const std::size_t levels = change.op == Op::Inc ? 0 : depth(operand) + (array ? 1 : 0);
    if (auto deep = check_depth(change.name, change.text, change.path.size(), levels); !deep) {
      return deep;
    }
  }
  auto holder = holder_of(document, change.path, change.name, writes);
  if (!holder) return std::unexpected(holder.error());
  if (*holder == nullptr) return {};
  Json::object_t& object = **holder;
  const std::string& last = change.path.back();
  const auto found = object.find(last);
  const bool missing = found == object.end();
  switch (change.op) {
    case Op::Set:
      object.insert_or_assign(last, operand);
      return {};
    case Op::Unset:
      if (!missing) object.erase(found);
      return {};
    case Op::Inc: {
      if (missing) {
        object.emplace(last, operand);
        return {};
      }
      if (!found->second.is_number()) return refusal(cat("$inc needs a number at ", change.text));
      auto sum = add_numbers(found->second, operand);
      if (!sum) return refusal(cat("$inc: number out of range at ", change.text));
      found->second = std::move(*sum);
      return {};
    }
    case Op::Rename: {
      if (missing) return {};
      Json value = std::move(found->second);
      object.erase(found);
      return rename(change, document, std::move(value));
    }
    case Op::Push:
    case Op::AddToSet:
    case Op::Pull:
      break;
  }
  if (missing) {
    if (change.op != Op::Pull) object.emplace(last, Json::array()).first->second.push_back(operand);
    return {};
  }
  if (!found->second.is_array()) {
    return refusal(cat(change.name, " needs an array at ", change.text));
  }
  auto& elements = *found->second.get_ptr<Json::array_t*>();
  const auto equal = [&operand](const Json& element) { return json_equal(element, operand); };
  if (change.op == Op::Pull) {
    std::erase_if(elements, equal);
  } else if (change.op == Op::Push || std::none_of(elements.begin(), elements.end(), equal)) {
    elements.push_back(operand);
  }
  return {};
}

std::expected<void, DocError> DocumentUpdate::rename(const Change& change, Json& document,
                                                     Json value) {
  const std::string_view target = *change.operand->get_ptr<const Json::string_t*>();
  if (auto deep = check_depth(change.name, target, change.target.size(), depth(value)); !deep) {
    return deep;
  }
  auto holder = holder_of(document, change.target, change.name, true);
  if (!holder) return std::unexpected(holder.error());
  (*holder)->insert_or_assign(change.target.back(), std::move(value));
  return {};
}

}  // namespace tovik
