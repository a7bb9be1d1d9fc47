// The filters of query and count, and the projection of their results.
//
// A filter is a JSON object, compiled once (QueryFilter::compile) into a
// tree of tests and then evaluated against many documents. Evaluation works
// on the stored text: the top-level members the filter names are found in
// one pass over the document's members, nested members and array elements
// by stepping over the text, and a value is only decoded where its text
// cannot settle a comparison (an escaped string, a container compared
// whole). No document tree is built, and the text is not validated on the
// way (the walks check the documents they hand out). matches() reads a
// tree by the same rules; the two must agree.
//
// Rules in brief: {"a.b": v} is equality (json_equal); {"a": {"$gt": 1}} an
// operator object; "$and", "$or" and "$not" combine filters. Where a path
// step meets an array, the rest of the path is tried on each element (one
// level per step); a comparison on a value that is an array also tries each
// element and the array as a whole. "$ne", "$nin" and "$exists": false are
// the negations of "$eq", "$in" and "$exists": true. Ordering compares
// numbers by value (integers exactly, also against floating-point numbers)
// and strings bytewise; other pairings never match.
//
// Compiling never throws; any Json yields a filter or a message that names
// the problem and, for a field, its path. Compiled filters are immutable and
// may be shared between threads.
//
// The plain forms of find and scan are filters too (member_equals,
// everything): one evaluator serves every query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/store_error.h"
#include "document/doc_error.h"
#include "document/json.h"

namespace tovik {

// Every field test, every operator, every value listed in $in or $nin, and
// every $and, $or or $not with each filter it holds counts as one condition.
inline constexpr std::size_t kMaxFilterConditions = 256;
inline constexpr std::string_view kFilterTooComplex =
    "filter too complex: more than 256 conditions";
inline constexpr std::string_view kFilterNotObject = "filter must be an object";

class QueryFilter {
 public:
  // The error is a message shown to users.
  [[nodiscard]] static std::expected<QueryFilter, DocError> compile(const Json& filter);
  // Matches every document.
  static QueryFilter everything();
  // Matches a document whose top-level member `name` (byte for byte: a dot
  // is part of the name) is json_equal to value, compared whole: an array
  // matches an equal array only, never through one of its elements.
  static QueryFilter member_equals(std::string_view name, const Json& value);

  QueryFilter(QueryFilter&&) noexcept;
  QueryFilter& operator=(QueryFilter&&) noexcept;
  ~QueryFilter();

  // Tests the stored value of the document `id`: Corrupt when it is not an
  // object whose "id" is id, or breaks off. Other damage is not looked for.
  [[nodiscard]] std::expected<bool, StoreError> matches_stored(std::string_view value,
                                                               std::string_view id) const;
  // matches_stored for a walk that checks every record it examines: Corrupt
  // unless value is in full a stored document with this id (as get reads
  // it), and the top-level members are read as parsing keeps them (the last
  // of a repeated name). One pass does both; canonical is set as
  // outline_json sets it.
  [[nodiscard]] std::expected<bool, StoreError> matches_checked(std::string_view value,
                                                                std::string_view id,
                                                                bool* canonical) const;
  // Tests a document held as a tree.
  bool matches(const Json& document) const;

  // Where the filter's top-level conditions on "id" let a walk in id order
  // begin: at `id` itself, or strictly after it.
  struct IdStart {
    std::string id;
    bool strict = false;
  };
  const std::optional<IdStart>& id_start() const;
  // True when no id at or after `id` (in byte order) can satisfy the
  // top-level conditions on "id": a walk in id order may stop.
  bool past_id_range(std::string_view id) const;

  struct Compiled;  // defined and used in filter.cc only

 private:
  explicit QueryFilter(std::unique_ptr<Compiled> compiled);
  std::unique_ptr<Compiled> compiled_;
};

// Filters as text (filter_text.cc). A parsed value keeps the last of a
// repeated key, which would silently change what a filter asks, so the text
// of a filter refuses a key repeated in any of its objects, at any depth.

// "repeated key <key> in filter at <path>": path is the object's place in
// the filter, its member names and array indexes joined by dots, or "top
// level" for the filter object itself.
std::string repeated_filter_key_message(std::span<const std::string> path, std::string_view key);

struct FilterTextError {
  std::optional<JsonParseError> json;  // set when the text is no JSON value
  std::string message;                 // otherwise: the repeated key's refusal
};

// parse_json for the text of a filter (any JSON value: whether it is an
// object is compile's rule), refusing the first repeated key met.
[[nodiscard]] std::expected<Json, FilterTextError> parse_filter_text(std::string_view text);

// The "fields" of a query: which members of each result to keep. The result
// holds "id" and each listed path that exists, nested as in the document; a
// path through an array keeps, of each element that is an object, what the
// rest of the path selects.
class Projection {
 public:
  [[nodiscard]] static std::expected<Projection, DocError> compile(
      std::span<const std::string> paths);

  // The compact text of the projected stored document; Corrupt when the
  // value does not parse as an object.
  [[nodiscard]] std::expected<std::string, StoreError> apply_stored(std::string_view stored) const;
  Json apply(const Json& document) const;

 private:
  // A trie of path steps in one vector: node 0 is the document.
  struct Node {
    bool whole = false;  // a listed path ends here
    std::vector<std::pair<std::string, std::size_t>> children;
  };
  std::optional<Json> project(const Json& value, std::size_t node) const;
  std::vector<Node> nodes_;
};

}  // namespace tovik
