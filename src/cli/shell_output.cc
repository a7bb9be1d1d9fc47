#include "cli/shell_output.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "cli/shell.h"
#include "cli/text.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kModeUsage = "usage: mode pretty|compact|table";
constexpr std::string_view kTimerUsage = "usage: timer on|off";
constexpr std::string_view kIdColumn = "id";

std::string_view mode_name(OutputMode mode) {
  switch (mode) {
    case OutputMode::kCompact:
      return "compact";
    case OutputMode::kTable:
      return "table";
    case OutputMode::kPretty:
      break;
  }
  return "pretty";
}

// Characters, not bytes: continuation bytes of UTF-8 are not counted.
std::size_t characters(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u;
  }));
}

std::string cut(std::string text) {
  if (characters(text) <= kTableCellChars) return text;
  std::size_t kept = 0;
  std::size_t at = 0;
  for (; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0u) != 0x80u && ++kept == kTableCellChars) break;
  }
  text.resize(at);
  return text + "…";
}

std::string cell(const Json& document, const std::string& column) {
  if (!document.is_object())
    return column == kIdColumn ? cut(terminal_safe_json(dump_compact(document))) : "";
  const auto it = document.find(column);
  if (it == document.end()) return "";
  if (column == kIdColumn && it->is_string()) {
    return cut(display_safe(it->get_ref<const std::string&>()));
  }
  return cut(terminal_safe_json(dump_compact(*it)));
}

void append_row(std::string& text, const std::vector<std::string>& cells,
                const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t c = 0; c < cells.size(); ++c) {
    if (c > 0) line += "  ";
    line += cells[c];
    if (c + 1 < cells.size()) line.append(widths[c] - characters(cells[c]), ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (!text.empty()) text.push_back('\n');
  text += line;
}

std::string table_text(const Json& documents) {
  std::set<std::string> members;
  for (const Json& document : documents) {
    if (!document.is_object()) continue;
    for (auto it = document.begin(); it != document.end(); ++it) {
      if (it.key() != kIdColumn) members.insert(it.key());
    }
  }
  std::vector<std::string> columns{std::string(kIdColumn)};
  columns.insert(columns.end(), members.begin(), members.end());
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back();
  for (const std::string& column : columns) rows.back().push_back(cut(display_safe(column)));
  for (const Json& document : documents) {
    rows.emplace_back();
    for (const std::string& column : columns) rows.back().push_back(cell(document, column));
  }
  std::vector<std::size_t> widths(columns.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], characters(row[c]));
  }
  std::vector<std::string> rule;
  for (std::size_t width : widths) rule.emplace_back(width, '-');
  std::string text;
  append_row(text, rows.front(), widths);
  append_row(text, rule, widths);
  for (std::size_t r = 1; r < rows.size(); ++r) append_row(text, rows[r], widths);
  return text;
}

}  // namespace

std::expected<std::string, Failure> apply_setting(ShellSettings& settings, std::string_view line) {
  const WordSplit split = split_first_whitespace(trim(line));
  if (split.first == "show") return settings_text(settings);
  if (split.first == "mode") {
    if (split.rest == "pretty") {
      settings.mode = OutputMode::kPretty;
    } else if (split.rest == "compact") {
      settings.mode = OutputMode::kCompact;
    } else if (split.rest == "table") {
      settings.mode = OutputMode::kTable;
    } else {
      return std::unexpected(Failure::message(kModeUsage));
    }
    return "Output mode: " + std::string(mode_name(settings.mode));
  }
  if (split.rest != "on" && split.rest != "off")
    return std::unexpected(Failure::message(kTimerUsage));
  settings.timer = split.rest == "on";
  return "Timer: " + std::string(split.rest);
}

std::string settings_text(const ShellSettings& settings) {
  return "mode: " + std::string(mode_name(settings.mode)) +
         "\ntimer: " + (settings.timer ? "on" : "off");
}

std::string documents_text(const Json& documents, OutputMode mode) {
  if (mode == OutputMode::kTable) return table_text(documents);
  std::string text;
  for (const Json& document : documents) {
    if (!text.empty()) text.push_back('\n');
    text += terminal_safe_json(mode == OutputMode::kCompact ? dump_compact(document)
                                                            : dump_pretty(document));
  }
  return text;
}

std::string timer_text(std::chrono::steady_clock::duration elapsed) {
  const double ms = std::chrono::duration<double, std::milli>(elapsed).count();
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Time: %.3f ms", ms);
  return buffer;
}

}  // namespace tovik::cli
