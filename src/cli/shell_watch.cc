#include "cli/shell_watch.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <vector>

#include "cli/interrupt.h"
#include "cli/query_lines.h"
#include "cli/shell.h"
#include "cli/text.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kInvalidChanges = "Invalid change list from server.";

std::string text_of(const Json& value) {
  return value.is_string() ? display_safe(value.get_ref<const std::string&>()) : "?";
}

std::unexpected<Failure> changes_usage() {
  return std::unexpected(Failure::message(std::string(kChangesUsage)));
}

std::optional<std::uint64_t> whole(std::string_view text) {
  auto value = parse_unsigned(text, std::numeric_limits<std::uint64_t>::max());
  return value ? std::optional(*value) : std::nullopt;
}

// Prints the changes of one answer and moves the request past them; false
// when the answer is not one the watch can go on from.
bool print_and_advance(const Json& data, server::Changes& request, std::ostream& out,
                       OutputMode mode, bool in_den) {
  const Json& changes = answer_member(data, "changes");
  const Json& next = answer_member(data, "next");
  const Json& skip = answer_member(data, "skip");
  if (!changes.is_array() || !next.is_number_unsigned() ||
      !(skip.is_null() || skip.is_number_unsigned())) {
    return false;
  }
  for (const Json& change : changes) out << change_text(change, mode, in_den) << '\n';
  out.flush();
  request.after = next;
  request.skip = skip;
  return true;
}

}  // namespace

std::expected<Json, Failure> parse_watch_line(std::string_view rest) {
  rest = trim(rest);
  if (rest.empty()) return Json(nullptr);
  return parse_filter_json(rest);
}

std::expected<server::Command, Failure> parse_changes_line(std::string_view rest) {
  std::vector<std::string_view> words;
  for (WordSplit split = split_first_whitespace(trim(rest)); !split.first.empty();
       split = split_first_whitespace(split.rest)) {
    words.push_back(split.first);
  }
  if (words.empty()) return changes_usage();
  server::Changes command;
  const auto after = whole(words[0]);
  if (!after) return changes_usage();
  command.after = *after;
  std::size_t at = 1;
  if (at < words.size() && words[at] != "skip") {
    const auto limit = whole(words[at++]);
    if (!limit) return changes_usage();
    command.limit = *limit;
  }
  if (at + 2 == words.size() && words[at] == "skip") {
    const auto skip = whole(words[at + 1]);
    if (!skip) return changes_usage();
    command.skip = *skip;
    at += 2;
  }
  if (at != words.size()) return changes_usage();
  return command;
}

std::string change_text(const Json& change, OutputMode mode, bool in_den) {
  std::string text = text_of(answer_member(change, "kind")) + " ";
  if (!in_den) text += text_of(answer_member(change, "warren")) + "/";
  text += text_of(answer_member(change, "den")) + " " + text_of(answer_member(change, "id"));
  const Json& document = answer_member(change, "document");
  if (answer_member(change, "kind") == Json("put") && !document.is_null()) {
    text += "\n" + documents_text(Json::array({document}), mode);
  }
  return text;
}

std::string changes_text(const server::Changes& command, const Json& data, OutputMode mode,
                         bool in_den) {
  const Json& changes = answer_member(data, "changes");
  if (!changes.is_array()) return std::string(kInvalidChanges);
  std::string text;
  for (const Json& change : changes) text += change_text(change, mode, in_den) + "\n";
  if (changes.empty()) text = "No changes.\n";
  // Typed as it stands, the next command goes on where this one stopped.
  text += "Next: changes " + terminal_safe_json(dump_compact(answer_member(data, "next")));
  if (!command.limit.is_null()) text += " " + terminal_safe_json(dump_compact(command.limit));
  const Json& skip = answer_member(data, "skip");
  if (!skip.is_null()) text += " skip " + terminal_safe_json(dump_compact(skip));
  return text;
}

void run_watch(ClientSession& session, SessionIo& io, const Json& filter, OutputMode mode) {
  const bool in_den = session.den.has_value();
  if (io.interactive) io.err << "Watching for changes; Ctrl+C stops.\n";
  server::Changes request;
  request.wait_ms = static_cast<std::uint64_t>(kWatchWait.count());
  request.filter = filter;
  for (;;) {
    if (interrupted()) {
      io.err << "Stopped watching.\n";
      return;
    }
    std::optional<server::Response> response;
    {
      // The first Ctrl+C lets the answer come (within kWatchWait), so the
      // connection is kept; a second one gives it up.
      AbortScope abort(session.connection.get(), true);
      response = round_trip(session, request, io);
    }
    // A lost connection has been told of.
    if (!response) return;
    if (!response->ok) {
      io.err << response_text(request, *response, mode) << '\n';
      return;
    }
    if (!print_and_advance(response->data, request, io.out, mode, in_den)) {
      io.err << kInvalidChanges << '\n';
      return;
    }
    // Output nobody reads any more (a closed pipe) ends the watch.
    if (!io.out) return;
  }
}

}  // namespace tovik::cli
