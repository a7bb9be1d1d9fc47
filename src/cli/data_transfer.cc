#include "cli/data_transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <ostream>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cli/offline.h"
#include "cli/text.h"
#include "core/file_format.h"
#include "core/posix_file.h"
#include "document/documents.h"
#include "document/jsonl.h"
#include "document/keys.h"
#include "server/client.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kImportUsage =
    "usage: tovik import <file> <den> <path>|- [--id-field NAME] [--mode put|insert] | "
    "tovik import <file> --all <path>|-";
constexpr std::string_view kExportUsage = "usage: tovik export <file> [<den> [--id-field NAME]]";
constexpr std::string_view kNotEmpty =
    "import --all needs a database without dens or shinies; this one has some";
constexpr std::size_t kReadChunk = std::size_t{64} << 10;
constexpr std::size_t kWriteChunk = std::size_t{256} << 10;

Failure at_line(std::uint64_t line, std::string_view message) {
  return Failure::message("line " + std::to_string(line) + ": " + std::string(message));
}

Failure path_failure(const std::string& path, int error) {
  return Failure::message(path + ": " + Failure::os(error).text());
}

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
    } else {
      parsed.positional.push_back(arg);
    }
  }
  return parsed;
}

// The physical lines of a descriptor, read in chunks, numbered from 1. A
// final line without a line feed counts.
class LineInput {
 public:
  explicit LineInput(int fd) : fd_(fd) {}

  std::expected<std::optional<std::string_view>, Failure> next() {
    for (;;) {
      const std::size_t end = buffer_.find('\n', start_);
      if (end != std::string::npos) return take(end, end + 1);
      if (eof_) {
        if (start_ == buffer_.size()) return std::optional<std::string_view>();
        return take(buffer_.size(), buffer_.size());
      }
      buffer_.erase(0, start_);
      start_ = 0;
      const std::size_t old = buffer_.size();
      buffer_.resize(old + kReadChunk);
      ssize_t got = 0;
      do {
        got = ::read(fd_, buffer_.data() + old, kReadChunk);
      } while (got < 0 && errno == EINTR);
      if (got < 0) return std::unexpected(Failure::os(errno));
      buffer_.resize(old + static_cast<std::size_t>(got));
      eof_ = got == 0;
    }
  }
  std::uint64_t number() const { return number_; }

 private:
  std::optional<std::string_view> take(std::size_t end, std::size_t next) {
    const std::string_view line(buffer_.data() + start_, end - start_);
    start_ = next;
    ++number_;
    return line;
  }

  int fd_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool eof_ = false;
  std::uint64_t number_ = 0;
};

// The import source: a path, or "-" for standard input.
std::expected<UniqueFd, Failure> open_source(const std::string& source) {
  if (source == "-") return UniqueFd();
  int fd = -1;
  do {
    fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(path_failure(source, errno));
  return UniqueFd(fd);
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
std::expected<std::unordered_map<std::string, std::uint64_t>, Failure> den_records(
    Store& store, std::string_view den) {
  std::unordered_map<std::string, std::uint64_t> records;
  auto prefix = collection_prefix(kDefaultWarren, den);
  if (!prefix) return records;  // staging the first line names the fault
  auto walked = walk_den(
      store, kDefaultWarren, den,
      [&](std::string_view id, std::string_view stored) -> std::expected<void, std::string> {
        records.emplace(id, record_size(prefix->size() + id.size(), stored.size()));
        return {};
      });
  if (!walked) return std::unexpected(Failure::message(walked.error()));
  return records;
}

Outcome import_den(Store& store, const std::string& den, int fd, const TransferArguments& a) {
  WriteBatch batch(store, store.config().max_value_len);
  DocumentLineReader reader(a.id_field);
  // An insert never replaces: a present id is refused.
  std::unordered_map<std::string, std::uint64_t> present;
  if (a.mode == WriteKind::Put) {
    auto records = den_records(store, den);
    if (!records) return std::unexpected(records.error());
    present = std::move(*records);
  }
  auto imported =
      import_lines(store, batch, fd, [&](std::string_view text, std::uint64_t n) -> LineStaging {
        auto entry = reader.read(text, n);
        if (!entry) return std::unexpected(at_line(n, entry.error()));
        if (!*entry) return std::nullopt;
        const auto replaced = present.find((*entry)->id);
        auto staged = stage_line(batch, kDefaultWarren, den,
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
        if (!entry) return std::unexpected(at_line(n, entry.error()));
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
  if (!walked) return std::unexpected(Failure::message(walked.error()));
  return output.flush();
}

// ---- Through a server ---------------------------------------------------------

// The progress line: "<done> / <total> shinies", or "<done> shinies" when
// the total is unknown.
class Progress {
 public:
  Progress(std::ostream* out, std::optional<std::uint64_t> total) : out_(out), total_(total) {}
  ~Progress() { clear(); }

  void update(std::uint64_t done) {
    if (out_ == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    drawn_ = true;
    *out_ << "\r" << done;
    if (total_) *out_ << " / " << *total_;
    *out_ << " shinies" << std::flush;
  }
  void clear() {
    if (out_ == nullptr || !drawn_) return;
    *out_ << "\r\x1b[K" << std::flush;
    drawn_ = false;
  }

 private:
  std::ostream* out_;
  std::optional<std::uint64_t> total_;
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

std::expected<std::string, Failure> read_whole_file(const std::string& path) {
  auto fd = open_source(path);
  if (!fd) return std::unexpected(fd.error());
  std::string text;
  for (;;) {
    const std::size_t old = text.size();
    text.resize(old + kReadChunk);
    ssize_t got = 0;
    do {
      got = ::read(fd->get(), text.data() + old, kReadChunk);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return std::unexpected(path_failure(path, errno));
    text.resize(old + static_cast<std::size_t>(got));
    if (got == 0) return text;
  }
}

// One line of the file, checked, as the put operation it becomes.
struct PendingLine {
  std::uint64_t line = 0;
  DocumentWrite op;
  std::size_t bytes = 0;  // its share of the request body
};

std::expected<std::vector<PendingLine>, Failure> read_import_file(const std::string& path) {
  auto text = read_whole_file(path);
  if (!text) return std::unexpected(text.error());
  DocumentLineReader reader;
  std::vector<PendingLine> lines;
  std::uint64_t number = 0;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++number;
    auto entry = reader.read(line, number);
    if (!entry) {
      return std::unexpected(Failure::message("line " + std::to_string(number) + ": " +
                                              entry.error() + "; nothing was sent"));
    }
    if (!*entry) continue;
    PendingLine pending{
        number, {WriteKind::Put, std::move((*entry)->id), std::move((*entry)->document)}, 0};
    // {"document":..,"id":..,"op":"put"} and the comma before the next one.
    pending.bytes = 12 + dump_compact(pending.op.document).size() + 6 +
                    json_string_literal_length(pending.op.id) + 12 + 1;
    lines.push_back(std::move(pending));
  }
  return lines;
}

std::string stored_before(std::uint64_t stored) {
  if (stored == 1) return "1 line before it is stored";
  return std::to_string(stored) + " lines before it are stored";
}

// The line an "operation <n>: <message>" failure names, and its message.
std::optional<std::pair<std::size_t, std::string>> failed_operation(std::string_view message) {
  constexpr std::string_view kPrefix = "operation ";
  if (!message.starts_with(kPrefix)) return std::nullopt;
  const std::size_t colon = message.find(": ");
  if (colon == std::string_view::npos) return std::nullopt;
  auto n = parse_unsigned(message.substr(kPrefix.size(), colon - kPrefix.size()), 1'000'000);
  if (!n || *n == 0) return std::nullopt;
  return std::pair{static_cast<std::size_t>(*n), std::string(message.substr(colon + 2))};
}

// A member of response data, null when there is none.
const Json& member_of(const Json& data, const char* name) {
  static const Json kNull;
  if (!data.is_object()) return kNull;
  const auto found = data.find(name);
  return found == data.end() ? kNull : *found;
}

// The envelope around the operations: {"command":{"op":"write","ops":[]},"version":1}.
constexpr std::size_t kWriteEnvelopeBytes = 50;

}  // namespace

Outcome run_offline_import(Store& store, std::span<const std::string> args) {
  auto parsed = parse_arguments(args, kImportUsage);
  if (!parsed) return std::unexpected(parsed.error());
  const TransferArguments& a = *parsed;
  const std::size_t wanted = a.all ? 1 : 2;
  if (a.positional.size() != wanted || (a.all && (a.id_field_given || a.mode_given))) {
    return std::unexpected(Failure::message(kImportUsage));
  }
  auto source = open_source(a.positional.back());
  if (!source) return std::unexpected(source.error());
  const int fd = *source ? source->get() : STDIN_FILENO;
  if (a.all) return import_database(store, fd);
  return import_den(store, a.positional[0], fd, a);
}

Outcome run_offline_export(Store& store, std::span<const std::string> args) {
  auto parsed = parse_arguments(args, kExportUsage);
  if (!parsed) return std::unexpected(parsed.error());
  const TransferArguments& a = *parsed;
  if (a.all || a.mode_given || a.positional.size() > 1 ||
      (a.positional.empty() && a.id_field_given)) {
    return std::unexpected(Failure::message(kExportUsage));
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
        store, kDefaultWarren, a.positional[0],
        [&](std::string_view id, std::string_view stored) -> std::expected<void, std::string> {
          auto line = document_export_line(stored, a.id_field, id);
          if (!line) return std::unexpected(line.error());
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

std::expected<ImportReport, Failure> import_through_server(const std::string& path,
                                                           const Sender& send,
                                                           const TransferOptions& options) {
  auto lines = read_import_file(path);
  if (!lines) return std::unexpected(lines.error());
  ImportReport report;
  Progress progress(options.progress, lines->size());
  std::size_t next = 0;
  while (next < lines->size()) {
    // As many lines as fit one request.
    server::Write write;
    std::size_t bytes = kWriteEnvelopeBytes;
    std::size_t end = next;
    while (end < lines->size() && write.ops.size() < kMaxBatchMutations &&
           (write.ops.empty() || bytes + (*lines)[end].bytes <= options.request_bytes)) {
      bytes += (*lines)[end].bytes;
      write.ops.push_back((*lines)[end].op);
      ++end;
    }
    const std::uint64_t first_line = (*lines)[next].line;
    if (bytes > options.request_bytes) {
      return std::unexpected(at_line(first_line, "too large for one request of at most " +
                                                     std::to_string(options.request_bytes) +
                                                     " bytes; " + stored_before(report.imported)));
    }
    auto response = send(write);
    if (!response) {
      progress.clear();
      const std::uint64_t last_line = (*lines)[end - 1].line;
      return std::unexpected(at_line(
          first_line, response.error() + "; " + stored_before(report.imported) + "; lines " +
                          std::to_string(first_line) + "-" + std::to_string(last_line) +
                          " went in one write, which is stored whole or not at all"));
    }
    if (!response->ok) {
      progress.clear();
      const std::string message = response->error ? response->error->message : "request failed";
      std::uint64_t line = first_line;
      std::string reason = message;
      if (auto op = failed_operation(message); op && op->first <= write.ops.size()) {
        line = (*lines)[next + op->first - 1].line;
        reason = op->second;
      }
      return std::unexpected(at_line(line, reason + "; " + stored_before(report.imported)));
    }
    report.imported += write.ops.size();
    ++report.writes;
    next = end;
    progress.update(report.imported);
  }
  return report;
}

std::expected<std::uint64_t, Failure> export_through_server(const std::string& path,
                                                            const Sender& send,
                                                            const TransferOptions& options) {
  if (path_exists(path)) {
    return std::unexpected(Failure::message(path + " already exists; export never overwrites"));
  }
  std::optional<UniqueFd> file;
  // Anything that stops the export takes the unfinished file away again.
  auto abandon = [&](Failure failure) -> std::expected<std::uint64_t, Failure> {
    if (file) ::unlink(path.c_str());
    return std::unexpected(std::move(failure));
  };
  Progress progress(options.progress, std::nullopt);
  std::uint64_t exported = 0;
  std::string text;
  std::optional<std::string> after;
  auto flush = [&]() -> Outcome {
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t wrote = ::write(file->get(), rest.data(), rest.size());
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0) return std::unexpected(path_failure(path, errno));
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    text.clear();
    return {};
  };
  for (;;) {
    auto response = send(server::Page{kMaxPageSize, after, std::nullopt});
    if (!response) return abandon(Failure::message(response.error()));
    if (!response->ok) {
      return abandon(
          Failure::message(response->error ? response->error->message : "request failed"));
    }
    if (!file) {
      int fd = -1;
      do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      } while (fd < 0 && errno == EINTR);
      if (fd < 0) return std::unexpected(path_failure(path, errno));
      file.emplace(fd);
    }
    const Json& documents = member_of(response->data, "documents");
    if (!documents.is_array()) return abandon(Failure::message("invalid page from server"));
    for (const Json& document : documents) {
      auto line = document_export_line(dump_compact(document));
      if (!line) return abandon(Failure::message(line.error()));
      text += *line;
      text += '\n';
      ++exported;
    }
    if (text.size() >= kWriteChunk) {
      if (auto flushed = flush(); !flushed) return abandon(flushed.error());
    }
    progress.update(exported);
    const Json& next_after = member_of(response->data, "next_after");
    if (!next_after.is_string()) break;
    after = next_after.get<std::string>();
  }
  if (auto flushed = flush(); !flushed) return abandon(flushed.error());
  if (::fsync(file->get()) != 0) return abandon(path_failure(path, errno));
  return exported;
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

namespace {

// A progress line only where a person watches standard output.
std::ostream* progress_stream(const std::ostream& out) {
  return &out == &std::cout && ::isatty(STDOUT_FILENO) == 1 ? &std::cout : nullptr;
}

}  // namespace

void run_shell_transfer(ClientSession& session, SessionIo& io,
                        const std::expected<TransferLine, Failure>& line) {
  if (!line) {
    io.err << line.error().text() << '\n';
    return;
  }
  if (!session.connected()) {
    io.err << "Disconnected. Type reconnect or exit.\n";
    return;
  }
  const Sender send =
      [&](const server::Command& command) -> std::expected<server::Response, std::string> {
    if (!session.connected()) return std::unexpected(std::string("disconnected"));
    auto response = round_trip(session, command, io);
    if (!response) return std::unexpected(std::string("connection lost"));
    return std::move(*response);
  };
  TransferOptions options;
  options.progress = progress_stream(io.out);
  if (line->import) {
    auto report = import_through_server(line->path, send, options);
    if (!report) {
      io.err << report.error().text() << '\n';
    } else {
      io.out << import_text(*report) << '\n';
    }
    return;
  }
  auto exported = export_through_server(line->path, send, options);
  if (!exported) {
    io.err << exported.error().text() << '\n';
  } else {
    io.out << export_text(*exported, line->path) << '\n';
  }
}

Outcome run_batch_transfer(int socket, const server::TransportTimings& timings, std::ostream& out,
                           const std::expected<TransferLine, Failure>& line) {
  if (!line) return std::unexpected(line.error());
  const Sender send =
      [&](const server::Command& command) -> std::expected<server::Response, std::string> {
    auto response = server::send_command(socket, command, timings);
    if (!response) return std::unexpected(response.error().text);
    return std::move(*response);
  };
  TransferOptions options;
  options.progress = progress_stream(out);
  std::string text;
  if (line->import) {
    auto report = import_through_server(line->path, send, options);
    if (!report) return std::unexpected(report.error());
    text = import_json(*report);
  } else {
    auto exported = export_through_server(line->path, send, options);
    if (!exported) return std::unexpected(exported.error());
    text = export_json(*exported, line->path);
  }
  return write_output(out, text + "\n");
}

}  // namespace tovik::cli
