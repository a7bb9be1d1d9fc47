// The complete walk of a compiled filter over one den: every record of the
// den within the filter's id range, in id order, with no examination limit.
// The operations that must see every match (sorted queries, distinct,
// filtered writes) are built on it; bounded pages are queries.h's.
//
// The walk seeks to the filter's lower id bound through the store's sparse
// index and stops at the first id past its upper bound or the first key
// outside the den. A record of the den whose key does not decode, or whose
// value is not an object with that "id" (as far as the filter's test reads
// it: QueryFilter::matches_stored), is StoreError::Corrupt.
// Requires: the caller holds the Store exclusively for the whole walk and
// commits nothing during it.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string_view>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/filter.h"

namespace tovik {

// Receives each matching document: its id and its stored value (the record
// as stored, not rewritten; valid only during the call). An error stops
// the walk and is returned by scan_matches.
using MatchVisitor =
    std::function<std::expected<void, DocError>(std::string_view id, std::string_view stored)>;

// Calls visit on each match in id order; returns the number of records
// examined (every record of the id range, matching or not).
[[nodiscard]] std::expected<std::uint64_t, DocError> scan_matches(Store& store,
                                                                  std::string_view warren,
                                                                  std::string_view den,
                                                                  const QueryFilter& filter,
                                                                  const MatchVisitor& visit);

}  // namespace tovik
