// Import and export offline, on a database file.
#include "cli/data_transfer.h"

#include <unistd.h>

#include <iostream>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cli/command_table.h"
#include "cli/import_input.h"
#include "cli/offline.h"
#include "cli/text.h"
#include "core/file_format.h"
#include "document/documents.h"
#include "document/jsonl.h"
#include "document/keys.h"

namespace tovik::cli {
namespace {

const std::string_view kImportUsage = usage_of("import");
const std::string_view kExportUsage = usage_of("export");
constexpr std::string_view kNotEmpty =
    "import --all needs a database without dens or shinies; this one has some";
constexpr std::size_t kWriteChunk = std::size_t{256} << 10;

// The command line of an offline import or export after the file.
struct TransferArguments {
  std::vector<std::string> positional;
  std::string id_field{kDefaultIdField};
  bool id_field_given = false;
  WriteKind mode = WriteKind::Put;
  bool mode_given = false;
  bool all = false;
};

std::expected<TransferArguments, Failure> parse_arguments(std::span<const std::string> args,
                                                          std::string_view usage) {
  TransferArguments parsed;
  const auto fail = [usage] { return std::unexpected(Failure::message(usage)); };
  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--all") {
      parsed.all = true;
    } else if (arg == "--id-field" || arg == "--mode") {
      if (i + 1 == args.size()) return fail();
      const std::string& value = args[++i];
      if (arg == "--id-field") {
        if (value.empty()) return fail();
        parsed.id_field = value;
        parsed.id_field_given = true;
      } else if (value == "put" || value == "insert") {
        parsed.mode = value == "put" ? WriteKind::Put : WriteKind::Insert;
        parsed.mode_given = true;
      } else {
        return fail();
      }
    } else if (arg.starts_with("--")) {
      return fail();
    } else if (arg.starts_with('-') && arg != "-") {
      // A den or a path that looks like an option was meant as one.
      return std::unexpected(unknown_option(arg, usage));
    } else {
      parsed.positional.push_back(arg);
    }
  }
  return parsed;
}

// The failure of a line that could not be staged. The store reports a
// document over the limit as invalid input; the line says which limit.
Failure staging_failure(std::uint64_t line, const DocError& error, const Json& document,
                        std::uint64_t limit) {
  if (error.is_store() && error.store() == StoreError::Invalid &&
      dump_compact(document).size() > limit) {
    return at_line(line, "document larger than " + std::to_string(limit) + " bytes");
  }
  return at_line(line, error.text());
}

// A line staged: the length of its record's key, and the bytes of the record
// it replaces (0 when its id is new to the database).
struct StagedLine {
  std::uint64_t key_bytes = 0;
  std::uint64_t replaced_bytes = 0;
};

// Reads every line through read_line (which stages it), then commits once.
// The database's bytes after the commit are followed line by line, so the
// line that would overflow it is named, and nothing past it is read or held.
template <typename ReadLine>
std::expected<std::uint64_t, Failure> import_lines(Store& store, WriteBatch& batch, int fd,
                                                   ReadLine&& read_line) {
  LineInput input(fd);
  std::uint64_t imported = 0;
  const std::uint64_t capacity = store.config().slot_size - kHeaderSize;
  std::uint64_t total = store.live_bytes();
  for (;;) {
    auto line = input.next();
    if (!line) return std::unexpected(line.error());
    if (!*line) break;
    const std::uint64_t before = batch.staged_bytes();
    auto staged = read_line(**line, input.number());
    if (!staged) return std::unexpected(staged.error());
    if (!*staged) continue;
    ++imported;
    total += record_size((*staged)->key_bytes, batch.staged_bytes() - before);
    total -= (*staged)->replaced_bytes;
    if (total > capacity)
      return std::unexpected(at_line(input.number(), store_error_text(StoreError::Full)));
  }
  auto committed = batch.commit_bulk();
  if (!committed) return std::unexpected(Failure::store(committed.error()));
  return imported;
}

using LineStaging = std::expected<std::optional<StagedLine>, Failure>;

// Stages the write of line n; a refusal names the line. The key is checked
// here: the store would refuse a long one only at the commit, for no line.
LineStaging stage_line(WriteBatch& batch, std::string_view warren, std::string_view den,
                       const DocumentWrite& write, std::uint64_t n, const StoreConfig& config) {
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return std::unexpected(at_line(n, store_error_text(prefix.error())));
  const std::uint64_t key_bytes = prefix->size() + write.id.size();
  if (key_bytes > config.max_key_len) {
    return std::unexpected(at_line(
        n, "id too long: a key holds at most " + std::to_string(config.max_key_len) + " bytes"));
  }
  auto staged = batch.stage(warren, den, write);
  if (!staged) {
    return std::unexpected(
        staging_failure(n, staged.error(), write.document, config.max_value_len));
  }
  return StagedLine{key_bytes, 0};
}

// The records of one den by id, with their bytes: what a put of the same id
// frees again.
using DenRecords = std::unordered_map<std::string, std::uint64_t>;
Outcome collect_den_records(Store& store, std::string_view warren, std::string_view den,
                            DenRecords& records) {
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return {};  // staging the first line names the fault
  auto walked = walk_den(
      store, warren, den,
      [&](std::string_view id, std::string_view stored) -> std::expected<void, std::string> {
        records.emplace(id, record_size(prefix->size() + id.size(), stored.size()));
        return {};
      });
  if (!walked) return std::unexpected(Failure::message(walked.error().text()));
  return {};
}

Outcome import_den(Store& store, std::string_view warren, const std::string& den, int fd,
                   const TransferArguments& a) {
  WriteBatch batch(store, store.config().max_value_len);
  DocumentLineReader reader(a.id_field);
  // An insert never replaces: a present id is refused.
  DenRecords present;
  if (a.mode == WriteKind::Put) {
    if (auto collected = collect_den_records(store, warren, den, present); !collected)
      return collected;
  }
  auto imported =
      import_lines(store, batch, fd, [&](std::string_view text, std::uint64_t n) -> LineStaging {
        auto entry = reader.read(text, n);
        if (!entry) return std::unexpected(at_line(n, entry.error().text()));
        if (!*entry) return std::nullopt;
        const auto replaced = present.find((*entry)->id);
        auto staged = stage_line(batch, warren, den,
                                 {a.mode, std::move((*entry)->id), std::move((*entry)->document)},
                                 n, store.config());
        if (staged && *staged && replaced != present.end()) {
          (*staged)->replaced_bytes = replaced->second;
          present.erase(replaced);
        }
        return staged;
      });
  if (!imported) return std::unexpected(imported.error());
  return write_output(std::cout,
                      "Imported " + std::to_string(*imported) + " shinies into " + den + "\n");
}

Outcome import_database(Store& store, int fd) {
  auto empty = holds_no_den(store);
  if (!empty) return std::unexpected(Failure::message(empty.error().text()));
  if (!*empty) return std::unexpected(Failure::message(kNotEmpty));
  WriteBatch batch(store, store.config().max_value_len);
  DatabaseLineReader reader;
  // No document is present, so none is replaced.
  auto imported =
      import_lines(store, batch, fd, [&](std::string_view text, std::uint64_t n) -> LineStaging {
        auto entry = reader.read(text, n);
        if (!entry) return std::unexpected(at_line(n, entry.error().text()));
        if (!*entry) return std::nullopt;
        DatabaseLine& e = **entry;
        return stage_line(batch, e.warren, e.den,
                          {WriteKind::Put, std::move(e.id), std::move(e.document)}, n,
                          store.config());
      });
  if (!imported) return std::unexpected(imported.error());
  return write_output(std::cout, "Imported " + std::to_string(*imported) + " shinies\n");
}

// Lines gathered and written to standard output in large pieces.
class ChunkedOutput {
 public:
  Outcome add(std::string_view line) {
    text_ += line;
    text_ += '\n';
    if (text_.size() < kWriteChunk) return {};
    return flush();
  }
  Outcome flush() {
    auto written = write_output(std::cout, text_);
    text_.clear();
    return written;
  }

 private:
  std::string text_;
};

// The walk's sink fails with text; an output failure is kept aside so the
// command reports it as such.
template <typename Walk>
Outcome export_with(Walk&& walk) {
  ChunkedOutput output;
  Outcome printed;
  auto walked = walk(output, printed);
  if (!printed) return printed;
  if (!walked) return std::unexpected(Failure::message(walked.error().text()));
  return output.flush();
}

}  // namespace

Outcome run_offline_import(Store& store, std::span<const std::string> args,
                           const OfflineScope& scope) {
  auto parsed = parse_arguments(args, kImportUsage);
  if (!parsed) return std::unexpected(parsed.error());
  const TransferArguments& a = *parsed;
  const std::size_t wanted = a.all ? 1 : 2;
  if (a.positional.size() != wanted ||
      (a.all && (a.id_field_given || a.mode_given || scope.named))) {
    return std::unexpected(Failure::message(kImportUsage));
  }
  if (!a.all) {
    if (auto den = require_den(store, scope, a.positional[0]); !den) return den;
  }
  auto source = open_source(a.positional.back());
  if (!source) return std::unexpected(source.error());
  const int fd = *source ? source->get() : STDIN_FILENO;
  if (a.all) return import_database(store, fd);
  return import_den(store, scope.warren, a.positional[0], fd, a);
}

Outcome run_offline_export(Store& store, std::span<const std::string> args,
                           const OfflineScope& scope) {
  auto parsed = parse_arguments(args, kExportUsage);
  if (!parsed) return std::unexpected(parsed.error());
  const TransferArguments& a = *parsed;
  if (a.all || a.mode_given || a.positional.size() > 1 ||
      (a.positional.empty() && (a.id_field_given || scope.named))) {
    return std::unexpected(Failure::message(kExportUsage));
  }
  if (!a.positional.empty()) {
    if (auto den = require_den(store, scope, a.positional[0]); !den) return den;
  }
  if (a.positional.empty()) {
    return export_with([&](ChunkedOutput& output, Outcome& printed) {
      return walk_database(store,
                           [&](std::string_view warren, std::string_view den,
                               std::string_view stored) -> std::expected<void, std::string> {
                             printed = output.add(database_export_line(warren, den, stored));
                             if (!printed) return std::unexpected(std::string());
                             return {};
                           });
    });
  }
  return export_with([&](ChunkedOutput& output, Outcome& printed) {
    return walk_den(
        store, scope.warren, a.positional[0],
        [&](std::string_view id, std::string_view stored) -> std::expected<void, std::string> {
          auto line = document_export_line(stored, a.id_field, id);
          if (!line) return std::unexpected(line.error().text());
          printed = output.add(*line);
          if (!printed) return std::unexpected(std::string());
          return {};
        });
  });
}

std::optional<std::expected<TransferLine, Failure>> parse_transfer_line(std::string_view line) {
  const WordSplit split = split_first_whitespace(trim(line));
  if (split.first != "import" && split.first != "export") return std::nullopt;
  if (split.rest.empty()) {
    return std::unexpected(
        Failure::message("usage: " + std::string(split.first) + " <local path>"));
  }
  return TransferLine{split.first == "import", std::string(split.rest)};
}

std::string import_text(const ImportReport& report) {
  return "Imported " + std::to_string(report.imported) + " shinies in " +
         std::to_string(report.writes) + " writes";
}

std::string export_text(std::uint64_t exported, const std::string& path) {
  return "Exported " + std::to_string(exported) + " shinies to " + path;
}

std::string import_json(const ImportReport& report) {
  return dump_compact(Json{{"imported", report.imported}, {"writes", report.writes}});
}

std::string export_json(std::uint64_t exported, const std::string& path) {
  return dump_compact(Json{{"exported", exported}, {"path", path}});
}

}  // namespace tovik::cli
