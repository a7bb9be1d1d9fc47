#include "document/distinct.h"

#include <iterator>
#include <set>
#include <span>
#include <utility>

#include "document/filter_scan.h"
#include "document/sort_order.h"
#include "document/stored_members.h"

namespace tovik {
namespace {

struct Distinct {
  SortValue order;
  Json value;
};

// The sort order, with an integer before a floating-point number of the
// same value: both are kept, as equality tells them apart.
struct DistinctLess {
  bool operator()(const Distinct& a, const Distinct& b) const {
    const int order = compare_sort_values(a.order, b.order);
    if (order != 0) return order < 0;
    return !a.order.is_float() && b.order.is_float();
  }
};

// The smallest kDistinctLimit values offered, and one more to tell that
// some were left out.
class SmallestValues {
 public:
  void offer(const Json& value) {
    Distinct entry{SortValue::of(&value), Json()};
    if (values_.size() > kDistinctLimit && !DistinctLess()(entry, *values_.rbegin())) return;
    entry.value = value;
    values_.insert(std::move(entry));
    if (values_.size() > kDistinctLimit + 1) values_.erase(std::prev(values_.end()));
  }

  DistinctResult take(std::size_t byte_budget) {
    DistinctResult result;
    std::size_t bytes_used = 0;
    for (const Distinct& entry : values_) {
      const std::size_t size = dump_compact(entry.value).size();
      if (result.values.size() == kDistinctLimit || size > byte_budget - bytes_used) {
        result.truncated = true;
        break;
      }
      bytes_used += size;
      result.values.push_back(entry.value);
    }
    return result;
  }

 private:
  std::set<Distinct, DistinctLess> values_;
};

// Offers what the path below value reaches, as filters step: through
// objects, and through each object element of an array met on the way; a
// value reached that is an array offers its elements.
void offer_at(const Json& value, std::span<const std::string> rest, SmallestValues& values) {
  if (rest.empty()) {
    if (!value.is_array()) {
      values.offer(value);
      return;
    }
    for (const Json& element : value) values.offer(element);
    return;
  }
  const auto member_of = [&](const Json& object) -> const Json* {
    const auto& members = *object.get_ptr<const Json::object_t*>();
    const auto found = members.find(rest.front());
    return found == members.end() ? nullptr : &found->second;
  };
  if (value.is_object()) {
    if (const Json* member = member_of(value)) offer_at(*member, rest.subspan(1), values);
    return;
  }
  if (!value.is_array()) return;
  for (const Json& element : value) {
    if (!element.is_object()) continue;  // one level per step
    if (const Json* member = member_of(element)) offer_at(*member, rest.subspan(1), values);
  }
}

}  // namespace

std::expected<DistinctResult, DocError> distinct_values(Store& store, std::string_view warren,
                                                        std::string_view den,
                                                        const QueryFilter& filter,
                                                        std::string_view path,
                                                        std::size_t byte_budget) {
  auto steps = split_sort_path(path);
  if (!steps) return std::unexpected(DocError::message(steps.error()));
  const std::span<const std::string> first = std::span(*steps).first(1);
  const std::span<const std::string> rest = std::span(*steps).subspan(1);
  SmallestValues values;
  auto examined =
      scan_matches(store, warren, den, filter,
                   [&](std::string_view, std::string_view stored) -> std::expected<void, DocError> {
                     // Only the member the path starts with is found and decoded, without
                     // validating the rest (the filter has checked the id).
                     std::string_view raw;
                     if (!find_stored_members(stored, first, std::span(&raw, 1))) {
                       return std::unexpected(StoreError::Corrupt);
                     }
                     if (raw.data() == nullptr) return {};
                     auto member = parse_json(raw);
                     if (!member) return std::unexpected(StoreError::Corrupt);
                     offer_at(*member, rest, values);
                     return {};
                   });
  if (!examined) return std::unexpected(examined.error());
  DistinctResult result = values.take(byte_budget);
  result.examined = *examined;
  return result;
}

}  // namespace tovik
