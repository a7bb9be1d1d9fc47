// Import and export through a server: the shell's and batch mode's lines.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <ostream>
#include <span>
#include <utility>
#include <vector>

#include "cli/data_transfer.h"
#include "cli/import_input.h"
#include "cli/offline.h"
#include "cli/shell.h"
#include "cli/text.h"
#include "document/documents.h"
#include "document/jsonl.h"
#include "server/client.h"

namespace tovik::cli {
namespace {

constexpr std::size_t kWriteChunk = std::size_t{256} << 10;

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

// One line of the file, checked, as the put operation it becomes.
struct PendingLine {
  std::uint64_t line = 0;
  DocumentWrite op;
  std::size_t bytes = 0;  // its share of the request body
};

// What a line may be, as the server said (its status answer) or as a server
// that does not say allows.
struct ServerLimits {
  std::uint64_t request_bytes = kImportRequestBytes;
  std::optional<std::uint64_t> document_bytes;
};

// The limits of the server behind send; the defaults when it does not report
// them (or the question fails: the first write then says why).
ServerLimits ask_limits(const Sender& send) {
  ServerLimits limits;
  auto answer = send(server::Server{});
  if (!answer || !answer->ok || !answer->data.is_object()) return limits;
  const auto number = [&](const char* name) -> std::optional<std::uint64_t> {
    const auto found = answer->data.find(name);
    if (found == answer->data.end() || !found->is_number_integer()) return std::nullopt;
    if (!found->is_number_unsigned() && found->get<std::int64_t>() < 0) return std::nullopt;
    return found->get<std::uint64_t>();
  };
  if (auto request = number("max_request_bytes")) limits.request_bytes = *request;
  limits.document_bytes = number("max_document_bytes");
  return limits;
}

// The envelope around the operations: {"command":{"op":"write","ops":[]},"version":1}.
constexpr std::size_t kWriteEnvelopeBytes = 50;
// A document of a write request sits this deep: envelope, command, ops, op.
constexpr std::size_t kWriteDocumentDepth = 4;

// Reads a line of the file as a put operation, and refuses what the server
// would: a line it cannot parse, a document over its limit or nested deeper
// than a request may carry it, an operation that fits no request.
class ImportLineReader {
 public:
  explicit ImportLineReader(const ServerLimits& limits) : limits_(limits) {}

  // nullopt for a blank line; a failure's text without its line.
  std::expected<std::optional<PendingLine>, std::string> read(std::string_view text,
                                                              std::uint64_t n) {
    auto entry = reader_.read(text, n);
    if (!entry) return std::unexpected(entry.error().text());
    if (!*entry) return std::nullopt;
    if (scan_brackets(text).deepest + kWriteDocumentDepth > kMaxJsonDepth) {
      return std::unexpected("nested deeper than " +
                             std::to_string(kMaxJsonDepth - kWriteDocumentDepth) +
                             " levels, the most a request carries");
    }
    PendingLine pending{
        n, {WriteKind::Put, std::move((*entry)->id), std::move((*entry)->document)}, 0};
    // The "id" member is in the document, so this is its stored text.
    const std::size_t document = dump_compact(pending.op.document).size();
    if (limits_.document_bytes && document > *limits_.document_bytes) {
      return std::unexpected("document larger than " + std::to_string(*limits_.document_bytes) +
                             " bytes");
    }
    // {"document":..,"id":..,"op":"put"} and the comma before the next one.
    pending.bytes = 12 + document + 6 + json_string_literal_length(pending.op.id) + 12 + 1;
    if (kWriteEnvelopeBytes + pending.bytes - 1 > limits_.request_bytes) {
      return std::unexpected("too large for one request of at most " +
                             std::to_string(limits_.request_bytes) + " bytes");
    }
    return pending;
  }

 private:
  ServerLimits limits_;
  DocumentLineReader reader_;
};

// A regular file is read twice: once to check every line, so that a file
// with a bad line sends nothing, then to send it. Other sources are read
// once. Returns the number of documents (nullopt when not counted).
std::expected<std::optional<std::uint64_t>, Failure> check_all_lines(int fd, LineInput& input,
                                                                     const ServerLimits& limits) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  ImportLineReader reader(limits);
  std::uint64_t documents = 0;
  for (;;) {
    auto line = input.next();
    if (!line) return std::unexpected(line.error());
    if (!*line) break;
    auto pending = reader.read(**line, input.number());
    if (!pending)
      return std::unexpected(at_line(input.number(), pending.error() + "; nothing was sent"));
    if (*pending) ++documents;
  }
  if (auto rewound = input.rewind(); !rewound) return std::unexpected(rewound.error());
  return documents;
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

// Sends one write of lines [first, last]; a refusal names the line it was for.
std::expected<void, Failure> send_write(const Sender& send, const server::Write& write,
                                        std::span<const std::uint64_t> lines,
                                        const ImportReport& report) {
  auto response = send(write);
  if (!response) {
    return std::unexpected(at_line(
        lines.front(), response.error() + "; " + stored_before(report.imported) + "; lines " +
                           std::to_string(lines.front()) + "-" + std::to_string(lines.back()) +
                           " went in one write, which is stored whole or not at all"));
  }
  if (response->ok) return {};
  const std::string message = response->error ? response->error->message : "request failed";
  std::uint64_t line = lines.front();
  std::string reason = message;
  if (auto op = failed_operation(message); op && op->first <= lines.size()) {
    line = lines[op->first - 1];
    reason = op->second;
  }
  return std::unexpected(at_line(line, reason + "; " + stored_before(report.imported)));
}

}  // namespace

std::expected<ImportReport, Failure> import_through_server(const std::string& path,
                                                           const Sender& send,
                                                           const TransferOptions& options) {
  auto source = open_source(path);
  if (!source) return std::unexpected(source.error());
  const int fd = *source ? source->get() : STDIN_FILENO;
  ServerLimits limits = ask_limits(send);
  if (options.request_bytes) limits.request_bytes = *options.request_bytes;
  LineInput input(fd);
  auto total = check_all_lines(fd, input, limits);
  if (!total) return std::unexpected(total.error());
  ImportReport report;
  Progress progress(options.progress, *total);
  ImportLineReader reader(limits);
  server::Write write;
  std::vector<std::uint64_t> lines;
  std::size_t bytes = kWriteEnvelopeBytes;
  // As many lines as fit one request go in each write.
  auto flush = [&]() -> std::expected<void, Failure> {
    if (write.ops.empty()) return {};
    if (auto sent = send_write(send, write, lines, report); !sent) {
      progress.clear();
      return sent;
    }
    report.imported += write.ops.size();
    ++report.writes;
    write.ops.clear();
    lines.clear();
    bytes = kWriteEnvelopeBytes;
    progress.update(report.imported);
    return {};
  };
  for (;;) {
    auto line = input.next();
    if (!line) return std::unexpected(line.error());
    if (!*line) break;
    auto pending = reader.read(**line, input.number());
    if (!pending) {
      progress.clear();
      const std::string sent =
          report.writes == 0 ? "nothing was sent" : stored_before(report.imported);
      return std::unexpected(at_line(input.number(), pending.error() + "; " + sent));
    }
    if (!*pending) continue;
    if (write.ops.size() == kMaxBatchMutations ||
        bytes + (*pending)->bytes - 1 > limits.request_bytes) {
      if (auto sent = flush(); !sent) return std::unexpected(sent.error());
    }
    bytes += (*pending)->bytes;
    lines.push_back((*pending)->line);
    write.ops.push_back(std::move((*pending)->op));
  }
  if (auto sent = flush(); !sent) return std::unexpected(sent.error());
  return report;
}

std::expected<std::uint64_t, Failure> export_through_server(const std::string& path,
                                                            const Sender& send,
                                                            const TransferOptions& options) {
  FileSystem& fs = options.file_system != nullptr ? *options.file_system : real_file_system();
  // A path that cannot even be looked up is left for the creation to report.
  if (auto there = fs.exists(path); there && *there) {
    return std::unexpected(Failure::message(path + " already exists; export never overwrites"));
  }
  std::optional<UniqueFd> file;
  // Anything that stops the export takes the unfinished file away again.
  auto abandon = [&](Failure failure) -> std::expected<std::uint64_t, Failure> {
    if (file) {
      file.reset();
      (void)fs.remove(path);
    }
    return std::unexpected(std::move(failure));
  };
  Progress progress(options.progress, std::nullopt);
  std::uint64_t exported = 0;
  std::string text;
  std::optional<std::string> after;
  auto flush = [&]() -> Outcome {
    auto rest = std::as_bytes(std::span(text));
    while (!rest.empty()) {
      auto wrote = fs.write(file->get(), rest);
      if (!wrote) return std::unexpected(path_failure(path, wrote.error()));
      // A file that takes no byte without an error is out of room in all but name.
      if (*wrote == 0) return std::unexpected(path_failure(path, EIO));
      rest = rest.subspan(*wrote);
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
      auto created = fs.create_user_file(path);
      if (!created) return std::unexpected(path_failure(path, created.error()));
      file.emplace(std::move(*created));
    }
    const Json& documents = member_of(response->data, "documents");
    if (!documents.is_array()) return abandon(Failure::message("invalid page from server"));
    for (const Json& document : documents) {
      auto line = document_export_line(dump_compact(document));
      if (!line) return abandon(Failure::message(line.error().text()));
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
  if (auto synced = fs.sync(file->get()); !synced) {
    return abandon(path_failure(path, synced.error()));
  }
  return exported;
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
