#include "cli/query_lines.h"

#include <utility>
#include <variant>

#include "cli/text.h"
#include "document/filter.h"
#include "document/json_scan.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kQueryUsage = "usage: query <filter JSON> [<fields JSON array>]";
constexpr std::string_view kCountUsage = "usage: count <filter JSON>";

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

std::expected<server::Command, Failure> parse_query_line(std::string_view rest) {
  rest = trim(rest);
  if (rest.empty()) return std::unexpected(Failure::message(std::string(kQueryUsage)));
  const std::size_t end = first_value_end(rest);
  auto filter = parse_filter_json(rest.substr(0, end));
  if (!filter) return std::unexpected(filter.error());
  server::Query query;
  query.filter = std::move(*filter);
  query.limit = kShellQueryLimit;
  const std::string_view fields_text = trim(rest.substr(end));
  if (!fields_text.empty()) {
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
  return query;
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
  const auto number = [&data](const char* key) -> std::uint64_t {
    if (!data.is_object()) return 0;
    const auto found = data.find(key);
    if (found == data.end() || !found->is_number_integer()) return 0;
    if (found->is_number_unsigned()) return found->get<std::uint64_t>();
    const std::int64_t value = found->get<std::int64_t>();
    return value < 0 ? 0 : static_cast<std::uint64_t>(value);
  };
  const std::string shinies = std::to_string(number("count")) + " shinies";
  if (data.is_object() && data.value("complete", true) == false) {
    return "at least " + shinies + " (examined " + with_thousands(number("examined")) + " records)";
  }
  return shinies;
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
  if (response.ok && (navigate || std::holds_alternative<server::DropEmpty>(command))) {
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
