// The offline direct-file commands (status, stats, check, collections, put,
// get, delete, scan, find, query, count): open the file with its exclusive
// lock, run one operation in the default warren, print compact JSON, close.
// The argument parsers are exposed for unit tests.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/failure.h"
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

}  // namespace tovik::cli
