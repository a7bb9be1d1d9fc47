// The offline commands. run_offline opens the file (taking its exclusive
// lock) and checks the command's argument count only then; the command's
// handler runs one operation and prints compact JSON; the Store is dropped on
// every path, releasing the lock.
#include "cli/offline.h"

#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "cli/command_table.h"
#include "cli/commands.h"
#include "cli/provisioning.h"
#include "cli/query_lines.h"
#include "cli/shell.h"
#include "document/distinct.h"
#include "document/documents.h"
#include "document/keys.h"
#include "document/namespaces.h"
#include "document/sorted_query.h"
#include "document/usage.h"
#include "server/credentials.h"
#include "server/protocol.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kNoDatabase = "database does not exist; run tovik init [file] first";
constexpr std::string_view kMissingArgument = "missing command argument";
constexpr std::string_view kExpectedFieldValue = "expected field=value";
// Offline answers have no byte limit; a budget no database can reach.
constexpr std::size_t kOfflineByteBudget = std::size_t{1} << 40;

Failure doc_failure(const DocError& error) { return Failure::message(error.text()); }

Outcome print_line(const std::string& line) { return write_output(std::cout, line + "\n"); }

Outcome print_ok() { return print_line("{\"ok\":true}"); }

// Prints each document a walk hands over at once, so a long walk shows its
// results as they come, then the summary on stderr. `walk` runs the walk
// with the sink and returns the records it examined.
template <typename Walk>
Outcome print_walk(std::uint64_t limit, Walk&& walk) {
  // The first output failure is kept; the walk itself only reads.
  Outcome printed;
  std::string line;
  const DocumentSink sink = [&printed, &line](std::string_view document) {
    // The stored text already is the compact form printed.
    if (!printed) return;
    line.assign(document);
    line += '\n';
    printed = write_output(std::cout, line);
  };
  auto examined = walk(sink);
  if (!examined) return std::unexpected(doc_failure(examined.error()));
  if (!printed) return printed;
  return write_output(std::cerr, "examined " + std::to_string(*examined) +
                                     " records; results capped at " + std::to_string(limit) +
                                     ", examination budget " +
                                     std::to_string(kQueryExaminationLimit) + "\n");
}

// scan and find.
Outcome run_walk(Store& store, std::string_view warren, const std::string& den,
                 const std::optional<Filter>& filter, std::uint64_t limit) {
  return print_walk(limit, [&](const DocumentSink& sink) {
    return walk_documents(store, warren, den, filter, limit, sink);
  });
}

Outcome print_names(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += dump_compact(Json(name));
    text.push_back('\n');
  }
  return write_output(std::cout, text);
}

// query's arguments after the filter: [limit] [--sort PATHS] [--skip N].
struct QueryOptions {
  std::optional<std::string_view> limit;
  std::optional<std::vector<std::string>> sort;
  std::optional<std::uint64_t> skip;
};

std::expected<QueryOptions, Failure> parse_query_options(std::span<const std::string> args) {
  QueryOptions options;
  const auto fail = [] {
    return std::unexpected(Failure::message(std::string(usage_of("query"))));
  };
  for (std::size_t i = 4; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--sort" || arg == "--skip") {
      if (i + 1 == args.size()) return fail();
      const std::string& value = args[++i];
      if (arg == "--sort" && !options.sort) {
        auto paths = parse_sort_paths(value);
        if (!paths) return std::unexpected(paths.error());
        options.sort = std::move(*paths);
      } else if (arg == "--skip" && !options.skip) {
        auto skip = parse_unsigned(value, UINT64_MAX);
        if (!skip) return std::unexpected(skip.error());
        options.skip = *skip;
      } else {
        return fail();
      }
    } else if (arg.starts_with("--") || options.limit) {
      return fail();
    } else {
      options.limit = arg;
    }
  }
  return options;
}

// A sorted query offline: pages of up to kMaxPageSize, each printed as it
// is read, until limit documents are printed or the matches end.
Outcome print_sorted(Store& store, std::string_view warren, std::string_view den,
                     const QueryFilter& filter, const QueryOptions& options, std::uint64_t limit) {
  const std::vector<std::string> by_id{"id"};
  auto order = SortOrder::compile(options.sort ? *options.sort : by_id);
  if (!order) return std::unexpected(Failure::message(order.error()));
  const std::uint64_t skip = options.skip.value_or(0);
  std::optional<std::string> cursor;
  std::uint64_t printed = 0;
  std::uint64_t examined = 0;
  while (printed < limit) {
    const std::uint64_t want = std::min<std::uint64_t>(limit - printed, kMaxPageSize);
    auto page = sorted_query_page(store, warren, den, filter, *order, nullptr, skip, want, cursor,
                                  kOfflineByteBudget);
    if (!page) return std::unexpected(doc_failure(page.error()));
    examined += page->examined;
    std::string text;
    for (const std::string& document : page->documents) text += document + "\n";
    if (auto written = write_output(std::cout, text); !written) return written;
    printed += page->documents.size();
    if (!page->next_after) break;
    cursor = std::move(page->next_after);
  }
  return write_output(std::cerr, "examined " + std::to_string(examined) +
                                     " records; results capped at " + std::to_string(limit) + "\n");
}

std::optional<std::string_view> argument_at(std::span<const std::string> args, std::size_t i) {
  if (i < args.size()) return std::string_view(args[i]);
  return std::nullopt;
}

std::expected<QueryFilter, Failure> parse_filter_argument(std::string_view text) {
  auto value = parse_filter_json(text);
  if (!value) return std::unexpected(value.error());
  auto filter = QueryFilter::compile(*value);
  if (!filter) return std::unexpected(Failure::message(filter.error().text()));
  return std::move(*filter);
}

}  // namespace

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool path_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::expected<Json, Failure> parse_document_argument(std::string_view text) {
  auto value = parse_json(text);
  if (!value) {
    const JsonParseError& e = value.error();
    return std::unexpected(Failure::json_parse(e.message, e.line, e.column));
  }
  return std::move(*value);
}

std::expected<Filter, Failure> parse_field_value(std::string_view text) {
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) {
    return std::unexpected(Failure::message(std::string(kExpectedFieldValue)));
  }
  const std::string_view value_text = text.substr(eq + 1);
  auto value = parse_json(value_text);
  return Filter{std::string(text.substr(0, eq)), value ? std::move(*value) : Json(value_text)};
}

std::expected<std::uint64_t, Failure> parse_limit(const std::optional<std::string_view>& text) {
  if (!text) return kDefaultOfflineLimit;
  return parse_unsigned(*text, UINT64_MAX);
}

Outcome run_offline(const CommandRow& row, std::span<const std::string> args,
                    const OfflineScope& scope) {
  const std::string& path = args[1];
  if (!is_regular_file(path)) return std::unexpected(Failure::message(std::string(kNoDatabase)));
  auto fd = open_existing_database(path);
  if (!fd) return std::unexpected(Failure::store(fd.error()));
  auto store = Store::open(std::move(*fd), kOfflineStoreConfig);
  if (!store) return std::unexpected(Failure::store(store.error()));
  if (args.size() < row.required) {
    return std::unexpected(Failure::message(std::string(kMissingArgument)));
  }
  return row.offline(*store, args, scope);
}

// ---- The handlers ------------------------------------------------------------

Outcome offline_status(Store& store, std::span<const std::string> args, const OfflineScope&) {
  Json status = Json::object();
  status["credentials_present"] = path_exists(server::registry_path(args[1]));
  status["generation"] = store.generation();
  status["state"] = "openable_offline";
  status["storage_version"] = 1;
  return print_line(dump_compact(status));
}

Outcome offline_stats(Store& store, std::span<const std::string>, const OfflineScope&) {
  const StoreStats stats = store.stats();
  Json out = Json::object();
  out["allocated_bytes"] = 2 * store.config().slot_size;
  out["generation"] = stats.generation;
  out["live_bytes"] = stats.live_bytes;
  out["records"] = stats.records;
  return print_line(dump_compact(out));
}

Outcome offline_check(Store& store, std::span<const std::string>, const OfflineScope&) {
  auto checked = check_documents(store);
  if (!checked) return std::unexpected(Failure::store(checked.error()));
  return print_ok();
}

Outcome offline_collections(Store& store, std::span<const std::string>, const OfflineScope&) {
  auto names = list_all_collections(store);
  if (!names) return std::unexpected(doc_failure(names.error()));
  return print_names(*names);
}

// Every warren, created or holding shinies: the usage report reads every
// record and so misses none.
Outcome offline_warrens(Store& store, std::span<const std::string>, const OfflineScope&) {
  auto report = measure_usage(store);
  if (!report) return std::unexpected(doc_failure(report.error()));
  std::vector<std::string> names;
  for (const auto& entry : report->warrens) names.push_back(entry.first);
  return print_names(names);
}

// The same object the server's usage command answers.
Outcome offline_usage(Store& store, std::span<const std::string>, const OfflineScope&) {
  auto report = measure_usage(store);
  if (!report) return std::unexpected(doc_failure(report.error()));
  return print_line(dump_compact(server::usage_data(*report)));
}

Outcome require_den(Store& store, const OfflineScope& scope, std::string_view den) {
  if (!scope.named) return {};
  auto marker = marker_key(scope.warren, den);
  auto prefix = collection_prefix(scope.warren, den);
  if (marker && prefix) {
    auto marked = store.get(*marker);
    if (!marked) return std::unexpected(Failure::store(marked.error()));
    if (*marked) return {};
    auto holds = any_key_with_prefix(store, *prefix);
    if (!holds) return std::unexpected(Failure::store(holds.error()));
    if (*holds) return {};
  }
  return std::unexpected(
      Failure::message("no such den " + display_safe(scope.warren) + "/" + display_safe(den)));
}

Outcome offline_put(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto document = parse_document_argument(args[4]);
  if (!document) return std::unexpected(document.error());
  auto stored = put_document(store, scope.warren, args[2], args[3], *document);
  if (!stored) return std::unexpected(doc_failure(stored.error()));
  return print_ok();
}

Outcome offline_get(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto document = get_document(store, scope.warren, args[2], args[3]);
  if (!document) return std::unexpected(doc_failure(document.error()));
  return print_line(*document ? dump_compact(**document) : std::string("null"));
}

Outcome offline_delete(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto deleted = delete_document(store, scope.warren, args[2], args[3]);
  if (!deleted) return std::unexpected(doc_failure(deleted.error()));
  return print_ok();
}

Outcome offline_scan(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto limit = parse_limit(argument_at(args, 3));
  if (!limit) return std::unexpected(limit.error());
  return run_walk(store, scope.warren, args[2], std::nullopt, *limit);
}

Outcome offline_find(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto filter = parse_field_value(args[3]);
  if (!filter) return std::unexpected(filter.error());
  auto limit = parse_limit(argument_at(args, 4));
  if (!limit) return std::unexpected(limit.error());
  return run_walk(store, scope.warren, args[2], *filter, *limit);
}

// query: printed as find prints; with --sort, the sorted pages' order.
Outcome offline_query(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  auto options = parse_query_options(args);
  if (!options) return std::unexpected(options.error());
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto filter = parse_filter_argument(args[3]);
  if (!filter) return std::unexpected(filter.error());
  auto limit = parse_limit(options->limit);
  if (!limit) return std::unexpected(limit.error());
  if (options->sort || options->skip) {
    return print_sorted(store, scope.warren, args[2], *filter, *options, *limit);
  }
  return print_walk(*limit, [&](const DocumentSink& sink) {
    return walk_query(store, scope.warren, args[2], *filter, *limit, sink);
  });
}

Outcome offline_count(Store& store, std::span<const std::string> args, const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto filter = parse_filter_argument(args[3]);
  if (!filter) return std::unexpected(filter.error());
  auto counted = count_documents(store, scope.warren, args[2], *filter);
  if (!counted) return std::unexpected(doc_failure(counted.error()));
  return print_line(dump_compact(server::count_data(*counted)));
}

// One compact JSON line per value, then "truncated ..." on standard error
// when more values exist than are shown.
Outcome offline_distinct(Store& store, std::span<const std::string> args,
                         const OfflineScope& scope) {
  if (auto den = require_den(store, scope, args[2]); !den) return den;
  auto filter = parse_filter_argument(args.size() > 4 ? std::string_view(args[4]) : "{}");
  if (!filter) return std::unexpected(filter.error());
  auto values = distinct_values(store, scope.warren, args[2], *filter, args[3], kOfflineByteBudget);
  if (!values) return std::unexpected(doc_failure(values.error()));
  std::string text;
  for (const Json& value : values->values) text += dump_compact(value) + "\n";
  if (auto printed = write_output(std::cout, text); !printed) return printed;
  if (!values->truncated) return {};
  return write_output(std::cerr, "values truncated: the first " +
                                     std::to_string(values->values.size()) + " are shown\n");
}

}  // namespace tovik::cli
