// Sorted queries: one page of the documents of a den that match a filter,
// in a SortOrder (sort_order.h), after skipping some, resumed by an opaque
// cursor.
//
// Unlike the pages of queries.h, a sorted page cannot stop early: the
// first document in sort order may be the last one in id order, so the
// walk reads the whole den (or the filter's id range) and is not bound by
// the 10,000-record examination limit. It keeps no more than the best
// skip + limit positions (sort values and ids) at any time, and reads the
// texts of the page's own documents only once the walk is done.
//
// A page resumes strictly after its cursor's position in the order, so a
// document that exists unchanged from the first page to the last is
// returned exactly once, while others are put, changed or deleted between
// pages. A document whose sort values change between pages may be seen
// twice or not at all, as its position moved.
//
// Requires: the caller holds the Store exclusively for the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/filter.h"
#include "document/queries.h"
#include "document/sort_order.h"

namespace tovik {

inline constexpr std::uint64_t kMaxSkip = 1'000'000;
inline constexpr std::string_view kSkipOutOfRange = "skip must be between 0 and 1000000";
inline constexpr std::string_view kSortedLimitOutOfRange = "limit must be between 1 and 100";

// One page in the order `sort` of the documents matching filter: the first
// page leaves out the first `skip` of them (0 to kMaxSkip); a page with a
// cursor (a previous page's next_after) starts strictly after it and
// ignores skip, as the cursor carries the position. limit is 1 to
// kMaxPageSize. Documents and the byte budget are as query_page's: with
// fields each document is its projection, the texts add up to at most
// byte_budget, and a document larger than the whole budget fails the page
// with kDocumentOverPageBudget.
//
// next_after is the cursor after the page's last document, or nullopt when
// no matching document follows it. examined counts the records read (the
// whole den or id range, on every page).
//
// Refusals are messages: kSkipOutOfRange, kSortedLimitOutOfRange,
// kInvalidSortCursor.
[[nodiscard]] std::expected<PageResult, DocError> sorted_query_page(
    Store& store, std::string_view warren, std::string_view den, const QueryFilter& filter,
    const SortOrder& sort, const Projection* fields, std::uint64_t skip, std::uint64_t limit,
    const std::optional<std::string>& cursor, std::size_t byte_budget);

}  // namespace tovik
