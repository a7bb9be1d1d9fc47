// The shell's command table: the parsers of its rows, then the rows, then
// what the loops and the line editor read from them.
#include "cli/shell_commands.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "cli/query_lines.h"
#include "cli/shell_watch.h"
#include "cli/text.h"
#include "document/json.h"

namespace tovik::cli {
namespace {

using server::Command;

std::unexpected<Failure> unknown() {
  return std::unexpected(Failure::message(kUnknownCommandText));
}

std::expected<Json, Failure> parse_json_text(std::string_view text) {
  auto value = parse_json(text);
  if (!value) {
    return std::unexpected(
        Failure::json_parse(value.error().message, value.error().line, value.error().column));
  }
  return std::move(*value);
}

// ---- The rows' parsers -------------------------------------------------------

// scan, stats, check, usage, exit, quit.
template <typename Plain>
std::expected<Command, Failure> parse_no_arguments(std::string_view, std::string_view rest) {
  if (!rest.empty()) return std::unexpected(Failure::message("unexpected command arguments"));
  return Plain{};
}

// create / drop-empty / drop: "<kind> <name>", the name may hold inner spaces.
template <typename NamespaceCommand>
std::expected<Command, Failure> parse_kind_rule(std::string_view, std::string_view rest) {
  const WordSplit split = split_first_whitespace(rest);
  if (!split.found) return std::unexpected(Failure::message("expected warren or den, then a name"));
  NamespaceCommand command;
  if (split.first == "warren") {
    command.kind = server::NamespaceKind::Warren;
  } else if (split.first == "den") {
    command.kind = server::NamespaceKind::Den;
  } else {
    return std::unexpected(Failure::message("expected warren or den"));
  }
  command.name = std::string(split.rest);
  return command;
}

// insert / put / update: "<id> <json>".
template <typename DocumentCommand>
std::expected<Command, Failure> parse_document_rule(std::string_view word, std::string_view rest) {
  const WordSplit split = split_first_whitespace(rest);
  if (!split.found) {
    return std::unexpected(Failure::message("usage: " + std::string(word) + " <id> <JSON object>"));
  }
  auto value = parse_json_text(split.rest);
  if (!value) return std::unexpected(value.error());
  DocumentCommand command;
  command.id = std::string(split.first);
  if constexpr (std::is_same_v<DocumentCommand, server::Update>) {
    command.fields = std::move(*value);
  } else {
    command.document = std::move(*value);
  }
  return command;
}

// get / delete: one id without white space.
template <typename IdCommand>
std::expected<Command, Failure> parse_id(std::string_view, std::string_view rest) {
  if (rest.empty() || contains_whitespace(rest)) return unknown();
  return IdCommand{std::string(rest)};
}

std::expected<Command, Failure> parse_use(std::string_view, std::string_view rest) {
  if (rest.empty()) return unknown();
  return server::Navigate{std::string(rest)};
}

std::expected<Command, Failure> parse_show(std::string_view, std::string_view rest) {
  if (rest == "warrens") return server::Warrens{};
  if (rest == "dens" || rest == "collections") return server::Dens{};
  if (rest == "shinies") return server::Shinies{};
  if (rest == "server") return server::Server{};
  return unknown();
}

std::expected<Command, Failure> parse_find(std::string_view, std::string_view rest) {
  const auto eq = rest.find('=');
  if (eq == std::string_view::npos)
    return std::unexpected(Failure::message("usage: find <field>=<value>"));
  if (eq == 0) return std::unexpected(Failure::message("field must not be empty"));
  const std::string_view value_text = rest.substr(eq + 1);
  server::Find command;
  command.field = std::string(rest.substr(0, eq));
  // A bare word is meant as a string: find name=bob.
  if (auto value = parse_json(value_text)) {
    command.value = std::move(*value);
  } else {
    command.value = Json(std::string(value_text));
  }
  return command;
}

std::expected<Command, Failure> parse_page(std::string_view, std::string_view rest) {
  const WordSplit split = split_first_whitespace(rest);
  auto limit = parse_unsigned(split.first, std::numeric_limits<std::uint64_t>::max());
  if (!limit) return std::unexpected(limit.error());
  if (*limit < 1 || *limit > 100) {
    return std::unexpected(Failure::message("usage: page <1-100> [JSON string cursor]"));
  }
  server::Page command;
  command.limit = *limit;
  if (!split.rest.empty()) {
    auto cursor = parse_json_text(split.rest);
    if (!cursor) return std::unexpected(cursor.error());
    if (!cursor->is_string()) {
      return std::unexpected(Failure::json_parse("invalid type: expected a JSON string", 1, 1));
    }
    command.after = cursor->get<std::string>();
  }
  return command;
}

std::expected<Command, Failure> parse_backup(std::string_view, std::string_view rest) {
  if (rest.empty()) return std::unexpected(Failure::message("usage: backup <name>"));
  return server::Backup{std::string(rest)};
}

std::expected<Command, Failure> parse_query(std::string_view, std::string_view rest) {
  return parse_query_line(rest);
}

std::expected<Command, Failure> parse_count(std::string_view, std::string_view rest) {
  return parse_count_line(rest);
}

std::expected<Command, Failure> parse_update_many(std::string_view, std::string_view rest) {
  return parse_update_many_line(rest);
}

std::expected<Command, Failure> parse_delete_many(std::string_view, std::string_view rest) {
  return parse_delete_many_line(rest);
}

std::expected<Command, Failure> parse_distinct(std::string_view, std::string_view rest) {
  return parse_distinct_line(rest);
}

std::expected<Command, Failure> parse_changes(std::string_view, std::string_view rest) {
  return parse_changes_line(rest);
}

// ---- The table ---------------------------------------------------------------

using enum ShellAction;
using enum JsonStart;
using enum Argument;

// These never change: scripts and people read them. New commands append
// their own line through their row.
constexpr std::string_view kFixedHelpLines[] = {
    "create warren <name> | create den <name> | drop-empty den <name> | drop-empty warren <name>",
    "Instance = service; warren = database; den = collection; shiny = document.",
    "create warren <name> | create den <name> | drop-empty warren <name> | drop-empty den <name>",
    "show warrens | use <warren>/<den> | use .. | use /<warren> | use / | show dens | show shinies",
    "insert <id> <json> | put <id> <json> | update <id> <fields> | get <id> | delete <id>",
    "find <field>=<value> | scan | page <limit> [JSON string cursor] | stats | check | reconnect | "
    "exit / quit",
};

constexpr ShellCommandRow kRows[] = {
    {"create", kSend, parse_kind_rule<server::Create>, "warren|den"},
    {"drop-empty", kSend, parse_kind_rule<server::DropEmpty>, "warren|den", kNone, {}, kName},
    {"use", kSend, parse_use, "", kNone, {}, kName},
    {"show", kSend, parse_show, "warrens|dens|collections|shinies|server|settings"},
    {"insert", kSend, parse_document_rule<server::Insert>, "", kAfterId},
    {"put", kSend, parse_document_rule<server::Put>, "", kAfterId},
    {"update", kSend, parse_document_rule<server::Update>, "", kAfterId},
    {"get", kSend, parse_id<server::Get>},
    {"delete", kSend, parse_id<server::Delete>},
    {"find", kSend, parse_find, "", kAfterEquals},
    {"scan", kSend, parse_no_arguments<server::Scan>},
    {"page", kSend, parse_page},
    {"stats", kSend, parse_no_arguments<server::Stats>},
    {"check", kSend, parse_no_arguments<server::Check>},
    {"help", kHelp},
    {"reconnect", kReconnect},
    {"exit", kSend, parse_no_arguments<server::Quit>},
    {"quit", kSend, parse_no_arguments<server::Quit>},
    {"backup", kSend, parse_backup, "", kNone, "backup <name> | usage | show server"},
    {"usage", kSend, parse_no_arguments<server::Usage>},
    {"import", kTransfer, nullptr, "", kNone, "import <local path> | export <local path>",
     kLocalPath},
    {"export", kTransfer, nullptr, "", kNone, {}, kLocalPath},
    {"query", kSend, parse_query, "", kRest,
     "query <filter JSON> [<fields JSON array>] | more | count <filter JSON>"},
    {"more", kMore},
    {"count", kSend, parse_count, "", kRest},
    {"mode", kSetting, nullptr, "pretty|compact|table", kNone,
     "mode pretty | mode compact | mode table | timer on | timer off | show settings"},
    {"timer", kSetting, nullptr, "on|off"},
    {"update-many", kSend, parse_update_many, "", kRest,
     "update-many <filter JSON> <update JSON> | delete-many <filter JSON> | "
     "distinct <path> [<filter JSON>]"},
    {"delete-many", kSend, parse_delete_many, "", kRest},
    {"distinct", kSend, parse_distinct, "", kAfterId},
    {"drop", kSend, parse_kind_rule<server::Drop>, "warren|den", kNone,
     "query <filter JSON> [<fields>] [sort <paths>] [skip <n>] [limit <n>] | "
     "drop den <name> | drop warren <name>"},
    {"watch", kWatch, nullptr, "", kRest,
     "watch [<filter JSON>] | changes <after> [<limit>] [skip <n>]"},
    {"changes", kSend, parse_changes},
};

// A row is sent when it has a parser; the loop's own words have none.
// (Under AddressSanitizer g++ cannot compare function addresses while
// compiling; the plain build checks it.)
#ifndef __SANITIZE_ADDRESS__
static_assert(std::all_of(std::begin(kRows), std::end(kRows), [](const ShellCommandRow& row) {
  return (row.action == kSend) == (row.parse != nullptr);
}));
#endif

constexpr auto kHelpLineArray = [] {
  constexpr std::size_t kCount =
      std::size(kFixedHelpLines) + static_cast<std::size_t>(std::count_if(
                                       std::begin(kRows), std::end(kRows),
                                       [](const ShellCommandRow& r) { return !r.help.empty(); }));
  std::array<std::string_view, kCount> lines{};
  std::size_t at = 0;
  for (std::string_view line : kFixedHelpLines) lines[at++] = line;
  for (const ShellCommandRow& row : kRows) {
    if (!row.help.empty()) lines[at++] = row.help;
  }
  return lines;
}();

}  // namespace

constinit const std::span<const std::string_view> kShellHelpLines = kHelpLineArray;

std::span<const ShellCommandRow> shell_commands() { return kRows; }

const ShellCommandRow* find_shell_command(std::string_view word) {
  for (const ShellCommandRow& row : kRows) {
    if (row.word == word) return &row;
  }
  return nullptr;
}

std::vector<std::string_view> sub_words_of(const ShellCommandRow& row) {
  std::vector<std::string_view> words;
  std::string_view rest = row.sub_words;
  while (!rest.empty()) {
    const std::size_t bar = rest.find('|');
    words.push_back(rest.substr(0, bar));
    rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
  }
  return words;
}

ShellAction shell_action(std::string_view line) {
  const WordSplit split = split_first_whitespace(trim(line));
  const ShellCommandRow* row = find_shell_command(split.first);
  if (row == nullptr) return kSend;
  if (row->word == "show" && split.rest == "settings") return kSetting;
  // Only import, export, the settings and watch take arguments among the
  // loop's words.
  if (row->action != kTransfer && row->action != kSetting && row->action != kWatch &&
      !split.rest.empty()) {
    return kSend;
  }
  return row->action;
}

std::expected<Command, Failure> parse_shell_line(std::string_view line) {
  const WordSplit split = split_first_whitespace(trim(line));
  const ShellCommandRow* row = find_shell_command(split.first);
  if (row == nullptr || row->parse == nullptr) return unknown();
  return row->parse(row->word, split.rest);
}

bool ends_inside_json(std::string_view line) {
  const WordSplit split = split_first_whitespace(trim(line));
  const ShellCommandRow* row = find_shell_command(split.first);
  if (row == nullptr) return false;
  std::string_view json = split.rest;
  switch (row->json) {
    case kNone:
      return false;
    case kRest:
      break;
    case kAfterId:
      json = split_first_whitespace(json).rest;
      break;
    case kAfterEquals: {
      const auto eq = json.find('=');
      if (eq == std::string_view::npos) return false;
      json.remove_prefix(eq + 1);
      break;
    }
  }
  const BracketScan scan = scan_brackets(json);
  // A string cannot continue on the next line, and a line that closed more
  // than it opened cannot be mended by more input.
  return scan.depth > 0 && !scan.in_string && !scan.over_closed;
}

}  // namespace tovik::cli
