// Distinct: the different values at one dotted path among the documents of
// a den that match a filter.
//
// The path is read as filters read it: where a step meets an array, the
// rest of the path is tried on each element that is an object (one level
// per step), and a value that is an array contributes each of its elements
// (not the array itself; an empty array contributes nothing). A missing
// path contributes nothing; null is a value.
//
// Values are distinct as filters compare them for equality (json_equal):
// the integer 1 and the number 1.0 are two values. They come in the order
// of sort_order.h, 1 before 1.0 where they tie. At most kDistinctLimit
// values are returned, the smallest in that order; truncated tells that
// more exist, or that the next value would not fit the byte budget.
//
// Like a sorted query, distinct walks the whole den (or the filter's id
// range) with no examination limit, and holds at most kDistinctLimit + 1
// values at a time. Requires: the caller holds the Store exclusively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/filter.h"
#include "document/json.h"

namespace tovik {

inline constexpr std::size_t kDistinctLimit = 1'000;

struct DistinctResult {
  std::vector<Json> values;  // ascending in the sort order
  bool truncated = false;
  std::uint64_t examined = 0;  // records read
};

// The distinct values at path (refused as filters refuse a path: "empty
// path", "empty step in path <path>") among the matches of filter. The
// values' compact texts add up to at most byte_budget bytes.
[[nodiscard]] std::expected<DistinctResult, DocError> distinct_values(
    Store& store, std::string_view warren, std::string_view den, const QueryFilter& filter,
    std::string_view path, std::size_t byte_budget);

}  // namespace tovik
