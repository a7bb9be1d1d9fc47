#include "cli/operator_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/shell.h"
#include "server/protocol.h"

namespace tovik::cli {
namespace {

std::uint64_t number(const Json& value) {
  return value.is_number_unsigned() ? value.get<std::uint64_t>() : 0;
}

std::string text_of(const Json& value) {
  return value.is_string() ? display_safe(value.get_ref<const std::string&>()) : "?";
}

std::string shown(const Json& value) { return terminal_safe_json(dump_compact(value)); }

std::string share(std::uint64_t bytes, std::uint64_t capacity) {
  char text[32];
  const double percent =
      capacity == 0 ? 0.0 : 100.0 * static_cast<double>(bytes) / static_cast<double>(capacity);
  std::snprintf(text, sizeof text, "%.1f%%", percent);
  return text;
}

std::string pad_right(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string pad_left(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// "\nFeed: ..." for the change feed's figures; nothing from a server that
// has no feed.
std::string feed_line(const Json& feed) {
  if (!feed.is_object()) return {};
  return "\nFeed: " + shown(answer_member(feed, "changes")) + " changes held, " +
         shown(answer_member(feed, "bytes")) + " bytes, oldest generation " +
         shown(answer_member(feed, "oldest")) + ", " + shown(answer_member(feed, "waiting")) +
         " clients waiting";
}

struct Row {
  std::string name;
  std::string documents;
  std::string bytes;
  std::string share;
};

}  // namespace

std::string backup_text(std::string_view name, const Json& data) {
  return "Backup written: " + display_safe(name) + " (generation " +
         shown(answer_member(data, "generation")) + ")";
}

std::string fill_bar(std::uint64_t live, std::uint64_t capacity) {
  const double fraction =
      capacity == 0
          ? 0.0
          : std::clamp(static_cast<double>(live) / static_cast<double>(capacity), 0.0, 1.0);
  const auto filled = static_cast<std::size_t>(std::lround(fraction * kFillBarWidth));
  const auto percent = static_cast<unsigned>(fraction * 100.0);
  // The slot's capacity in whole MiB, as the size is usually spoken of; the
  // slot's commit header makes it a little less than that.
  const std::uint64_t mib = (capacity + (1u << 20) - 1) >> 20;
  return "[" + std::string(filled, '#') + std::string(kFillBarWidth - filled, '.') + "] " +
         std::to_string(percent) + "% of " + std::to_string(mib) + " MiB";
}

std::string usage_text(const Json& data) {
  const std::uint64_t capacity = number(answer_member(data, "capacity_bytes"));
  std::vector<Row> rows{{"warren/den", "documents", "bytes", "share"}};
  const Json& warrens = answer_member(data, "warrens");
  if (warrens.is_array()) {
    for (const Json& warren : warrens) {
      const std::string warren_name = text_of(answer_member(warren, "name"));
      const std::uint64_t warren_bytes = number(answer_member(warren, "bytes"));
      std::uint64_t documents = 0;
      std::vector<Row> dens;
      const Json& den_list = answer_member(warren, "dens");
      if (den_list.is_array()) {
        for (const Json& den : den_list) {
          const std::uint64_t den_documents = number(answer_member(den, "documents"));
          const std::uint64_t den_bytes = number(answer_member(den, "bytes"));
          documents += den_documents;
          dens.push_back({"  " + warren_name + "/" + text_of(answer_member(den, "name")),
                          std::to_string(den_documents), std::to_string(den_bytes),
                          share(den_bytes, capacity)});
        }
      }
      rows.push_back({warren_name, std::to_string(documents), std::to_string(warren_bytes),
                      share(warren_bytes, capacity)});
      rows.insert(rows.end(), dens.begin(), dens.end());
    }
  }
  std::size_t name_width = 0;
  std::size_t documents_width = 0;
  std::size_t bytes_width = 0;
  std::size_t share_width = 0;
  for (const Row& row : rows) {
    name_width = std::max(name_width, row.name.size());
    documents_width = std::max(documents_width, row.documents.size());
    bytes_width = std::max(bytes_width, row.bytes.size());
    share_width = std::max(share_width, row.share.size());
  }
  std::string text;
  for (const Row& row : rows) {
    std::string line = pad_right(row.name, name_width) + "  " +
                       pad_left(row.documents, documents_width) + "  " +
                       pad_left(row.bytes, bytes_width) + "  " + pad_left(row.share, share_width);
    text += line + "\n";
  }
  if (rows.size() == 1) text += "No records yet.\n";
  const Json& truncated = answer_member(data, "truncated");
  if (truncated.is_boolean() && truncated.get<bool>()) {
    text += "Truncated: only the " + std::to_string(server::kUsageRows) +
            " largest dens are listed; warren bytes and the total cover every den.\n";
  }
  return text + fill_bar(number(answer_member(data, "live_bytes")), capacity);
}

std::string server_text(const Json& data) {
  const Json& clients = answer_member(data, "clients");
  const Json& commands = answer_member(data, "commands");
  const Json& commits = answer_member(data, "commits");
  std::string by_op;
  const Json& ops = answer_member(commands, "by_op");
  if (ops.is_object()) {
    for (auto it = ops.begin(); it != ops.end(); ++it) {
      by_op += (by_op.empty() ? "; " : ", ") + display_safe(it.key()) + " " + shown(it.value());
    }
  }
  return "Started: " + text_of(answer_member(data, "started_at")) + " (up " +
         shown(answer_member(data, "uptime_s")) + " s)\n" +
         "Clients: " + shown(answer_member(clients, "connected")) + " connected, at most " +
         shown(answer_member(clients, "max")) + "\n" +
         "Commands: " + shown(answer_member(commands, "total")) + " (" +
         shown(answer_member(commands, "failed")) + " failed)" + by_op + "\n" +
         "Commits: " + shown(answer_member(commits, "count")) + "; p50 " +
         shown(answer_member(commits, "p50_ms")) + " ms, p99 " +
         shown(answer_member(commits, "p99_ms")) + " ms, max " +
         shown(answer_member(commits, "max_ms")) + " ms\n" +
         "Traffic: " + shown(answer_member(data, "bytes_in")) + " bytes in, " +
         shown(answer_member(data, "bytes_out")) + " bytes out\n" +
         "Log errors: " + shown(answer_member(data, "log_errors")) +
         feed_line(answer_member(data, "feed"));
}

}  // namespace tovik::cli
