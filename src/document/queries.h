// Queries over the documents of one den, in id order: the server's find
// and scan (query_documents), paging with a cursor (page_documents), and the
// offline tool's walk (walk_documents).
//
// Every query starts at the den through the store's sparse index, stops at
// the first key outside the den, decodes at most 10,000 records and never
// writes. A record of the den that does not decode is StoreError::Corrupt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

inline constexpr std::size_t kQueryResultLimit = 100;
inline constexpr std::size_t kQueryExaminationLimit = 10'000;
inline constexpr std::size_t kQueryByteLimit = 524'288;
inline constexpr std::uint64_t kMaxPageSize = 100;

// A document matches when its top-level member named `field` (byte for
// byte; dots are not paths) is json_equal to `value`.
struct Filter {
  std::string field;
  Json value;
};

bool matches_filter(const Json& document, const std::optional<Filter>& filter);

// {"documents", "examined", "result_limit": 100, "examination_limit": 10000,
//  "byte_limited", "possibly_truncated"}. No filter: every document matches.
[[nodiscard]] std::expected<Json, DocError> query_documents(Store& store, std::string_view warren,
                                                            std::string_view den,
                                                            const std::optional<Filter>& filter);

// {"documents", "next_after": id or null, "examined"}. limit must be 1-100;
// the page starts strictly after cursor when one is given, whether or not a
// document has that id. Passing next_after back continues the walk.
[[nodiscard]] std::expected<Json, DocError> page_documents(Store& store, std::string_view warren,
                                                           std::string_view den,
                                                           std::uint64_t limit,
                                                           const std::optional<std::string>& cursor,
                                                           const std::optional<Filter>& filter);

// Receives each matching document as soon as the walk finds it.
using DocumentSink = std::function<void(const Json& document)>;

// The offline scan and find in den of warren: hands at most `limit`
// matching documents to sink, examines at most 10,000 records, no byte
// limit. Returns the number of records examined. limit 0 examines nothing.
[[nodiscard]] std::expected<std::uint64_t, DocError> walk_documents(
    Store& store, std::string_view warren, std::string_view den,
    const std::optional<Filter>& filter, std::uint64_t limit, const DocumentSink& sink);

}  // namespace tovik
