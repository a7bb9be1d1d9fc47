#include "cli/query_lines.h"

#include <utility>
#include <variant>

#include "cli/text.h"
#include "document/filter.h"
#include "document/json_scan.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kQueryUsage =
    "usage: query <filter JSON> [<fields JSON array>] [sort <paths>] [skip <n>] [limit <n>]";
constexpr std::string_view kCountUsage = "usage: count <filter JSON>";
constexpr std::string_view kSortUsage = "usage: sort <path>[,<path>]... or a JSON array of paths";
constexpr std::string_view kLimitRange = "limit must be at least 1";
constexpr std::string_view kUpdateManyUsage =
    "usage: update-many <filter JSON> <update JSON object>";
constexpr std::string_view kDeleteManyUsage = "usage: delete-many <filter JSON>";
constexpr std::string_view kDistinctUsage = "usage: distinct <path> [<filter JSON>]";

std::expected<Json, Failure> parse_json_argument(std::string_view text) {
  auto value = parse_json(text);
  if (!value) {
    const JsonParseError& e = value.error();
    return std::unexpected(Failure::json_parse(e.message, e.line, e.column));
  }
  return std::move(*value);
}

std::string with_thousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

// A count in an answer; 0 when it is missing or no unsigned integer.
std::uint64_t unsigned_member(const Json& data, const char* key) {
  if (!data.is_object()) return 0;
  const auto found = data.find(key);
  if (found == data.end() || !found->is_number_integer()) return 0;
  if (found->is_number_unsigned()) return found->get<std::uint64_t>();
  const std::int64_t value = found->get<std::int64_t>();
  return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

}  // namespace

std::expected<Json, Failure> parse_filter_json(std::string_view text) {
  auto value = parse_filter_text(text);
  if (!value) {
    const FilterTextError& e = value.error();
    if (!e.json) return std::unexpected(Failure::message(e.message));
    return std::unexpected(Failure::json_parse(e.json->message, e.json->line, e.json->column));
  }
  return std::move(*value);
}

std::expected<std::vector<std::string>, Failure> parse_sort_paths(std::string_view text) {
  std::vector<std::string> paths;
  if (text.starts_with('[')) {
    auto array = parse_json_argument(text);
    if (!array) return std::unexpected(array.error());
    for (const Json& path : *array) {
      if (!path.is_string()) return std::unexpected(Failure::message(std::string(kSortUsage)));
      paths.push_back(path.get<std::string>());
    }
    return paths;
  }
  if (contains_whitespace(text)) return std::unexpected(Failure::message(std::string(kSortUsage)));
  // Comma-separated: an empty path stays, for the sort's own refusal.
  for (;;) {
    const std::size_t comma = text.find(',');
    paths.emplace_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return paths;
    text.remove_prefix(comma + 1);
  }
}

namespace {

// The text of one option's value: a JSON array up to its closing bracket,
// anything else up to the next blank.
std::string_view option_value(std::string_view& rest) {
  const std::size_t end = rest.starts_with('[') ? first_value_end(rest) : [&rest] {
    const WordSplit split = split_first_whitespace(rest);
    return split.first.size();
  }();
  const std::string_view value = rest.substr(0, end);
  rest = trim(rest.substr(end));
  return value;
}

// "sort <paths>", "skip <n>" and "limit <n>", each at most once, any order.
std::expected<void, Failure> parse_query_options(std::string_view rest, server::Query& query) {
  while (!rest.empty()) {
    const WordSplit split = split_first_whitespace(rest);
    if (!split.found) return std::unexpected(Failure::message(std::string(kQueryUsage)));
    rest = split.rest;
    const std::string_view value = option_value(rest);
    if (split.first == "sort" && !query.sort) {
      auto paths = parse_sort_paths(value);
      if (!paths) return std::unexpected(paths.error());
      query.sort = std::move(*paths);
    } else if (split.first == "skip" && !query.skip) {
      auto skip = parse_unsigned(value, UINT64_MAX);
      if (!skip) return std::unexpected(skip.error());
      query.skip = *skip;
    } else if (split.first == "limit" && query.limit == 0) {
      auto limit = parse_unsigned(value, UINT64_MAX);
      if (!limit) return std::unexpected(limit.error());
      if (*limit == 0) return std::unexpected(Failure::message(std::string(kLimitRange)));
      query.limit = *limit;
    } else {
      return std::unexpected(Failure::message(std::string(kQueryUsage)));
    }
  }
  return {};
}

}  // namespace

std::expected<server::Command, Failure> parse_query_line(std::string_view rest) {
  rest = trim(rest);
  if (rest.empty()) return std::unexpected(Failure::message(std::string(kQueryUsage)));
  const std::size_t end = first_value_end(rest);
  auto filter = parse_filter_json(rest.substr(0, end));
  if (!filter) return std::unexpected(filter.error());
  server::Query query;
  query.filter = std::move(*filter);
  rest = trim(rest.substr(end));
  if (rest.starts_with('[')) {
    const std::string_view fields_text = rest.substr(0, first_value_end(rest));
    rest = trim(rest.substr(fields_text.size()));
    auto fields = parse_json_argument(fields_text);
    if (!fields) return std::unexpected(fields.error());
    if (!fields->is_array()) return std::unexpected(Failure::message(std::string(kQueryUsage)));
    std::vector<std::string> paths;
    for (const Json& path : *fields) {
      if (!path.is_string()) return std::unexpected(Failure::message(std::string(kQueryUsage)));
      paths.push_back(path.get<std::string>());
    }
    query.fields = std::move(paths);
  }
  auto options = parse_query_options(rest, query);
  if (!options) return std::unexpected(options.error());
  if (query.limit == 0) query.limit = kShellQueryLimit;
  return query;
}

std::expected<server::Command, Failure> parse_update_many_line(std::string_view rest) {
  rest = trim(rest);
  const std::size_t end = first_value_end(rest);
  const std::string_view update_text = trim(rest.substr(end));
  if (rest.empty() || update_text.empty()) {
    return std::unexpected(Failure::message(std::string(kUpdateManyUsage)));
  }
  auto filter = parse_filter_json(rest.substr(0, end));
  if (!filter) return std::unexpected(filter.error());
  auto update = parse_json_argument(update_text);
  if (!update) return std::unexpected(update.error());
  if (!update->is_object()) return std::unexpected(Failure::message(std::string(kUpdateManyUsage)));
  server::UpdateMany command;
  command.filter = std::move(*filter);
  command.update = std::move(*update);
  return server::Command(std::move(command));
}

std::expected<server::Command, Failure> parse_delete_many_line(std::string_view rest) {
  rest = trim(rest);
  if (rest.empty()) return std::unexpected(Failure::message(std::string(kDeleteManyUsage)));
  auto filter = parse_filter_json(rest);
  if (!filter) return std::unexpected(filter.error());
  server::DeleteMany command;
  command.filter = std::move(*filter);
  return server::Command(std::move(command));
}

std::expected<server::Command, Failure> parse_distinct_line(std::string_view rest) {
  const WordSplit split = split_first_whitespace(trim(rest));
  if (split.first.empty()) return std::unexpected(Failure::message(std::string(kDistinctUsage)));
  server::Distinct command;
  command.path = std::string(split.first);
  if (!split.rest.empty()) {
    auto filter = parse_filter_json(split.rest);
    if (!filter) return std::unexpected(filter.error());
    command.filter = std::move(*filter);
  }
  return server::Command(std::move(command));
}

std::expected<server::Command, Failure> parse_count_line(std::string_view rest) {
  rest = trim(rest);
  if (rest.empty()) return std::unexpected(Failure::message(std::string(kCountUsage)));
  auto filter = parse_filter_json(rest);
  if (!filter) return std::unexpected(filter.error());
  // Built member by member: g++ 12 under the sanitizers takes the aggregate
  // form's defaulted optional for uninitialised.
  server::Count count;
  count.filter = std::move(*filter);
  return server::Command(std::move(count));
}

std::string more_hint(const Json& data) {
  if (!data.is_object()) return {};
  const auto next = data.find("next_after");
  if (next == data.end() || !next->is_string()) return {};
  return "\n" + std::string(kMoreHint);
}

std::string count_text(const Json& data) {
  const std::string shinies = std::to_string(unsigned_member(data, "count")) + " shinies";
  if (data.is_object() && data.value("complete", true) == false) {
    return "at least " + shinies + " (examined " +
           with_thousands(unsigned_member(data, "examined")) + " records)";
  }
  return shinies;
}

std::string update_many_text(const Json& data) {
  return "Updated " + std::to_string(unsigned_member(data, "modified")) + " of " +
         std::to_string(unsigned_member(data, "matched")) + " matching shinies";
}

std::string delete_many_text(const Json& data) {
  return "Deleted " + std::to_string(unsigned_member(data, "deleted")) + " shinies";
}

std::string distinct_text(const Json& data) {
  const Json* values = nullptr;
  if (data.is_object()) {
    const auto found = data.find("values");
    if (found != data.end() && found->is_array()) values = &*found;
  }
  if (values == nullptr) return "Invalid value list from server.";
  std::string text;
  for (const Json& value : *values) {
    if (!text.empty()) text.push_back('\n');
    text += dump_compact(value);
  }
  if (text.empty()) text = "No values.";
  if (data.value("truncated", false) == true) {
    text += "\nValues truncated: the first ";
    text += std::to_string(values->size());
    text += " are shown.";
  }
  return text;
}

std::expected<server::Command, Failure> QueryContinuation::more() const {
  if (!next_) return std::unexpected(Failure::message(std::string(kNoQueryToContinue)));
  return *next_;
}

void QueryContinuation::restart() {
  next_.reset();
  place_ = Json{{"den", nullptr}, {"warren", nullptr}};
}

void QueryContinuation::answered(const server::Command& command, const server::Response& response) {
  const bool navigate = std::holds_alternative<server::Navigate>(command);
  const bool drop = std::holds_alternative<server::DropEmpty>(command) ||
                    std::holds_alternative<server::Drop>(command);
  if (response.ok && (navigate || drop)) {
    Json place{{"den", nullptr}, {"warren", nullptr}};
    for (const char* key : {"den", "warren"}) {
      if (!response.data.is_object()) break;
      const auto found = response.data.find(key);
      if (found != response.data.end() && found->is_string()) place[key] = *found;
    }
    if (navigate || place != place_) next_.reset();
    place_ = std::move(place);
    return;
  }
  const auto* query = std::get_if<server::Query>(&command);
  if (query == nullptr) return;
  next_.reset();
  if (!response.ok || !response.data.is_object()) return;
  const auto next = response.data.find("next_after");
  if (next == response.data.end() || !next->is_string()) return;
  next_ = *query;
  next_->after = next->get<std::string>();
}

}  // namespace tovik::cli
