// The offline direct-file commands (status, stats, check, collections,
// warrens, usage, put, get, delete, scan, find, query, count, distinct):
// run_offline opens the file with its exclusive lock, the command's handler
// runs one operation in the default warren (or the one --warren names) and
// prints compact JSON, and the file is closed. The
// argument parsers are exposed for unit tests.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/command_table.h"
#include "cli/failure.h"
#include "core/store.h"
#include "document/json.h"
#include "document/queries.h"

namespace tovik::cli {

inline constexpr std::uint64_t kDefaultOfflineLimit = 100;

// True when path names an existing regular file (symbolic links followed).
bool is_regular_file(const std::string& path);
// True when something (even a dangling symbolic link) exists at path.
bool path_exists(const std::string& path);

// The <json> argument of put: exactly one JSON value, whitespace around it
// allowed; a parse failure carries the parser's message and position.
[[nodiscard]] std::expected<Json, Failure> parse_document_argument(std::string_view text);

// <field>=<value>: split at the first "="; the value is JSON when it parses
// as JSON, otherwise the text itself as a JSON string.
[[nodiscard]] std::expected<Filter, Failure> parse_field_value(std::string_view text);

// [limit]: unsigned decimal, optional leading "+"; 100 when absent.
[[nodiscard]] std::expected<std::uint64_t, Failure> parse_limit(
    const std::optional<std::string_view>& text);

// The handlers of the command table's offline rows: args[0] is the word,
// args[1] the file (open as store), and there are at least as many
// arguments as the row requires.
[[nodiscard]] Outcome offline_status(Store& store, std::span<const std::string> args,
                                     const OfflineScope& scope);
[[nodiscard]] Outcome offline_stats(Store& store, std::span<const std::string> args,
                                    const OfflineScope& scope);
[[nodiscard]] Outcome offline_check(Store& store, std::span<const std::string> args,
                                    const OfflineScope& scope);
[[nodiscard]] Outcome offline_collections(Store& store, std::span<const std::string> args,
                                          const OfflineScope& scope);
[[nodiscard]] Outcome offline_usage(Store& store, std::span<const std::string> args,
                                    const OfflineScope& scope);
[[nodiscard]] Outcome offline_put(Store& store, std::span<const std::string> args,
                                  const OfflineScope& scope);
[[nodiscard]] Outcome offline_get(Store& store, std::span<const std::string> args,
                                  const OfflineScope& scope);
[[nodiscard]] Outcome offline_delete(Store& store, std::span<const std::string> args,
                                     const OfflineScope& scope);
[[nodiscard]] Outcome offline_scan(Store& store, std::span<const std::string> args,
                                   const OfflineScope& scope);
[[nodiscard]] Outcome offline_find(Store& store, std::span<const std::string> args,
                                   const OfflineScope& scope);
[[nodiscard]] Outcome offline_query(Store& store, std::span<const std::string> args,
                                    const OfflineScope& scope);
[[nodiscard]] Outcome offline_count(Store& store, std::span<const std::string> args,
                                    const OfflineScope& scope);
[[nodiscard]] Outcome offline_distinct(Store& store, std::span<const std::string> args,
                                       const OfflineScope& scope);
[[nodiscard]] Outcome offline_warrens(Store& store, std::span<const std::string> args,
                                      const OfflineScope& scope);

// Where a named warren (--warren) lacks the den, "no such den
// <warren>/<den>"; the default warren's dens need not exist.
[[nodiscard]] Outcome require_den(Store& store, const OfflineScope& scope, std::string_view den);

}  // namespace tovik::cli
