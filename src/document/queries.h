// Queries over the documents of one den, in id order: the server's find
// and scan (query_documents), paging with a cursor (page_documents), the
// offline tool's walk (walk_documents), and the walks of compiled filters
// (query_page, count_documents, walk_query).
//
// Every query starts at the den through the store's sparse index, stops at
// the first key outside the den, checks at most 10,000 records and never
// writes. A record of the den that does not decode is StoreError::Corrupt.
//
// Results are typed; their wire form belongs to the server's protocol. The
// documents they return are texts in the compact form with sorted keys, "id"
// included (the form get gives and clients receive): the stored texts
// themselves where they are in that form, so returning a document written
// by this layer builds no value and serialises nothing
// (stored_document_text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/filter.h"
#include "document/json.h"

namespace tovik {

inline constexpr std::size_t kQueryResultLimit = 100;
inline constexpr std::size_t kQueryExaminationLimit = 10'000;
inline constexpr std::uint64_t kMaxPageSize = 100;

// A document matches when its top-level member named `field` (byte for
// byte; dots are not paths) is json_equal to `value`.
struct Filter {
  std::string field;
  Json value;
};

// One find or scan: at most kQueryResultLimit matches, in id order.
struct QueryResult {
  std::vector<std::string> documents;  // stored texts
  std::uint64_t examined = 0;
  // A match was left out because it would not fit the byte budget; later
  // matches are left out too.
  bool byte_limited = false;
  // Matching documents may be missing: a limit ended the walk while the den
  // went on, or byte_limited.
  bool truncated = false;
};

// No filter: every document matches. The returned documents' texts add up
// to at most byte_budget bytes.
[[nodiscard]] std::expected<QueryResult, DocError> query_documents(
    Store& store, std::string_view warren, std::string_view den,
    const std::optional<Filter>& filter, std::size_t byte_budget);

// One page of a cursor walk.
struct PageResult {
  std::vector<std::string> documents;  // stored texts
  // The id to pass back as the cursor of the next page; nullopt when the
  // den ended within this page.
  std::optional<std::string> next_after;
  std::uint64_t examined = 0;
};

// limit must be 1-100; the page starts strictly after cursor when one is
// given, whether or not a document has that id. Its documents' texts add up
// to at most byte_budget bytes; a matching document larger than the whole
// budget fails the page with kDocumentOverPageBudget.
[[nodiscard]] std::expected<PageResult, DocError> page_documents(
    Store& store, std::string_view warren, std::string_view den, std::uint64_t limit,
    const std::optional<std::string>& cursor, const std::optional<Filter>& filter,
    std::size_t byte_budget);

// Receives each matching document's stored text as soon as the walk finds
// it; the text is only valid during the call.
using DocumentSink = std::function<void(std::string_view document)>;

// The offline scan and find in den of warren: hands at most `limit`
// matching documents to sink, examines at most 10,000 records, no byte
// limit. Returns the number of records examined. limit 0 examines nothing.
[[nodiscard]] std::expected<std::uint64_t, DocError> walk_documents(
    Store& store, std::string_view warren, std::string_view den,
    const std::optional<Filter>& filter, std::uint64_t limit, const DocumentSink& sink);

// The walks of a QueryFilter start at the later of the cursor and the
// filter's lower bound on "id" (a seek: records before it are never read),
// and stop at the first record whose id is past the filter's upper bound;
// that record counts as examined (unless the budget is already spent).

// One page of query: page_documents' rules (limit 1-100, strictly after
// cursor, 10,000 records examined, byte_budget over the returned texts,
// next_after) with a QueryFilter, and next_after null once the id range
// ended. With fields, each document is its projection.
[[nodiscard]] std::expected<PageResult, DocError> query_page(
    Store& store, std::string_view warren, std::string_view den, const QueryFilter& filter,
    const Projection* fields, std::uint64_t limit, const std::optional<std::string>& cursor,
    std::size_t byte_budget);

inline constexpr std::uint64_t kCountExaminationLimit = 100'000;

struct CountResult {
  std::uint64_t count = 0;
  std::uint64_t examined = 0;
  // False only when the examination budget ended the walk while the den
  // (or the id range) went on.
  bool complete = true;
};

// Counts the matches of filter, examining at most kCountExaminationLimit
// records; only the filter's test runs on each, nothing is built.
[[nodiscard]] std::expected<CountResult, DocError> count_documents(Store& store,
                                                                   std::string_view warren,
                                                                   std::string_view den,
                                                                   const QueryFilter& filter);

// The offline query: walk_documents' rules (limit, 10,000 records, no byte
// limit) with a QueryFilter. Returns the number of records examined.
[[nodiscard]] std::expected<std::uint64_t, DocError> walk_query(
    Store& store, std::string_view warren, std::string_view den, const QueryFilter& filter,
    std::uint64_t limit, const DocumentSink& sink);

}  // namespace tovik
