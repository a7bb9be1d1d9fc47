// The data of each command's success response, as the server writes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/store.h"
#include "document/distinct.h"
#include "document/documents.h"
#include "document/filtered_writes.h"
#include "document/json.h"
#include "document/namespaces.h"
#include "document/queries.h"
#include "document/usage.h"
#include "server/change_feed.h"
#include "server/commands.h"
#include "server/response.h"

namespace tovik::server {

// The byte budget of the documents in one find, scan or page response.
inline constexpr std::size_t kResponseDocumentBytes = 524'288;

// The data of each command's typed result. Documents are spliced in as
// their stored text, which already is their compact form.
//   find, scan:  {"byte_limited","documents","examination_limit","examined",
//                 "possibly_truncated","result_limit"}
//   page:        {"documents","examined","next_after": id or null}
//   warrens, dens, shinies:
//                {"examination_limit","kind","limit","names","truncated"}
//   collections: {"collections","truncated"}
//   navigate:    {"den": name or null, "warren": name or null}
//   use:         {"collection"}
//   stats:       {"generation","live_bytes","records"}
//   check:       {"valid": true}
//   quit:        {"bye": true}
//   write:       {"generation","written"}
//   query:       page's form (query_page returns a PageResult); with a
//                sort, next_after is the order's opaque cursor
//   count:       {"complete","count","examined"}
//   update_many: {"generation","matched","modified"}
//   delete_many: {"deleted","generation"}
//   distinct:    {"truncated","values"}
// create, drop_empty, drop, the writes and get send the document layer's own
// small results as they come.
DataText query_data(const QueryResult& result);
DataText page_data(const PageResult& page);
Json listing_data(ListingKind kind, const NameList& listing);
Json collections_data(const NameList& listing);
Json position_data(const SessionState& session);
Json collection_data(std::string_view collection);
Json stats_data(const StoreStats& stats);
Json valid_data();
Json bye_data();
Json written_data(std::uint64_t generation, std::uint64_t written);

// The operator's commands:
//   backup:  {"backup": name, "bytes", "generation"}
//   usage:   {"capacity_bytes","live_bytes","records","truncated",
//             "warrens":[{"bytes","dens":[{"bytes","documents","name"}],"name"}]}
//   server:  {"bytes_in","bytes_out","clients":{"connected","max"},
//             "commands":{"by_op":{op: n},"failed","total"},
//             "commits":{"count","max_ms","p50_ms","p99_ms"},"log_errors",
//             "feed":{"bytes","changes","oldest","waiting"},
//             "max_document_bytes","max_request_bytes","started_at","uptime_s"}
Json backup_data(std::string_view name, std::uint64_t bytes, std::uint64_t generation);

// How many dens, and how many warrens, the usage report lists at most: far
// below what one response may carry even with long names.
inline constexpr std::size_t kUsageRows = 1'000;
// At most max_rows dens are listed, the largest by bytes (ties in name
// order), under their warrens; warrens with none of them listed follow while
// there is room for max_rows warrens. "truncated" tells whether any den or
// warren was left out. The totals and each warren's bytes always cover
// everything. Rows keep name order.
Json usage_data(const UsageReport& report, std::size_t max_rows = kUsageRows);

// What the server's status counters show at one moment.
struct ServerFigures {
  std::string started_at;  // RFC 3339, UTC, whole seconds
  std::uint64_t uptime_s = 0;
  std::uint64_t clients_connected = 0;
  std::uint64_t clients_max = 0;
  std::uint64_t commands_total = 0;
  std::uint64_t commands_failed = 0;
  std::array<std::uint64_t, kCommandCount> commands_by_op{};  // by variant index
  std::uint64_t commits = 0;
  double commit_p50_ms = 0;  // over the last commits kept (at most 1,024)
  double commit_p99_ms = 0;
  double commit_max_ms = 0;
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  std::uint64_t log_errors = 0;
  // The server's limits, so a client can size its requests.
  std::uint64_t max_request_bytes = 0;
  std::uint64_t max_document_bytes = 0;
  FeedFigures feed;
};
// Ops that never ran are left out of "by_op".
Json server_data(const ServerFigures& figures);

// changes: {"changes":[{"den","document" (puts only),"generation","id",
// "kind","warren"}],"next"} and "skip" when next stops inside a commit.
DataText changes_data(const ChangesPage& page);

Json count_data(const CountResult& result);
Json update_many_data(const UpdateManyResult& result);
Json delete_many_data(const DeleteManyResult& result);
Json distinct_data(const DistinctResult& result);

}  // namespace tovik::server
