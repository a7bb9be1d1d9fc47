// The query, count and more lines of the shell and batch mode: their
// grammar, their texts, and the cursor that lets "more" continue the last
// query. Threads: the tool's one thread only.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/failure.h"
#include "document/json.h"
#include "server/protocol.h"

namespace tovik::cli {

// The shell and batch mode ask for this many documents per query.
inline constexpr std::uint64_t kShellQueryLimit = 20;
inline constexpr std::string_view kNoQueryToContinue = "no query to continue; run query first";
inline constexpr std::string_view kMoreHint = "Type \"more\" for more.";

// The text of a filter, for query and count offline and in the shell: a
// JSON value whose objects repeat no key (parse_filter_text).
[[nodiscard]] std::expected<Json, Failure> parse_filter_json(std::string_view text);

// The rest of "query <filter JSON> [<fields JSON array>]": the filter is
// the first JSON value (an object or array ends where its brackets
// balance, anything else at the first blank), the optional fields follow.
[[nodiscard]] std::expected<server::Command, Failure> parse_query_line(std::string_view rest);
// The rest of "query <filter JSON> [<fields JSON array>] [sort <paths>]
// [skip <n>] [limit <n>]": the options after the fields in any order, each
// at most once; without limit, kShellQueryLimit.
// A sort's paths: comma-separated without blanks ("-total,name"), or a
// JSON array of strings (["-total","name"]) for paths holding a comma.
[[nodiscard]] std::expected<std::vector<std::string>, Failure> parse_sort_paths(
    std::string_view text);
// The rest of "update-many <filter JSON> <update JSON object>".
[[nodiscard]] std::expected<server::Command, Failure> parse_update_many_line(std::string_view rest);
// The rest of "delete-many <filter JSON>".
[[nodiscard]] std::expected<server::Command, Failure> parse_delete_many_line(std::string_view rest);
// The rest of "distinct <path> [<filter JSON>]".
[[nodiscard]] std::expected<server::Command, Failure> parse_distinct_line(std::string_view rest);
// The rest of "count <filter JSON>".
[[nodiscard]] std::expected<server::Command, Failure> parse_count_line(std::string_view rest);

// "\nType "more" for more." when a query's answer has a next cursor.
std::string more_hint(const Json& data);
// "<n> shinies", or "at least <n> shinies (examined <m> records)".
std::string count_text(const Json& data);
// "Updated <modified> of <matched> matching shinies".
std::string update_many_text(const Json& data);
// "Deleted <n> shinies".
std::string delete_many_text(const Json& data);
// The values, one compact JSON line each ("No values." for none), and a
// last line when the list was truncated.
std::string distinct_text(const Json& data);

// The last query's cursor, for "more". A continuation belongs to the den
// its query ran in: moving elsewhere ends it.
class QueryContinuation {
 public:
  // The query that goes on where the last answer stopped.
  [[nodiscard]] std::expected<server::Command, Failure> more() const;
  // Every command sent and its answer: a query's answer sets or clears the
  // continuation; a navigate answered ok, or a drop_empty that moved the
  // session, ends it; other commands leave it.
  void answered(const server::Command& command, const server::Response& response);
  // The session begins anew at the instance level (reconnect, a lost
  // connection): nothing continues.
  void restart();
  // Where the session stands: {"den":..,"warren":..}, null at the
  // instance level.
  const Json& place() const { return place_; }

 private:
  std::optional<server::Query> next_;
  // Where the session stands, as navigate and drop_empty answers say:
  // {"den":..,"warren":..}; null members at the instance level.
  Json place_ = Json{{"den", nullptr}, {"warren", nullptr}};
};

}  // namespace tovik::cli
