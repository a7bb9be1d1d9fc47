// Import and export of JSON lines: the offline commands on a database file,
// and the shell's and batch mode's commands through a server.
//
//   tovik export <file> [<den> [--id-field NAME] [--warren NAME]]
//   tovik import <file> <den> <path>|- [--id-field NAME] [--mode put|insert] [--warren NAME]
//   tovik import <file> --all <path>|-
//   shell, batch:  export <local path> | import <local path>
//
// Both read their input as a stream. Offline, an import stages each line as
// it reads it and commits once through the store's bulk commit, or fails
// naming the line (a line that would overflow the database included, found
// as soon as it is read) and leaves the file as it was. Through a server, an
// import learns the server's limits from its status, checks every line of a
// regular file before sending any, then sends `write` requests of put
// operations within those limits, each atomic; an export walks `page` with
// its cursor into a new file (an existing path is never overwritten). The
// offline commands are in data_transfer.cc, those through a server in
// server_transfer.cc.
//
// Threads: the tool's one thread only.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/command_table.h"
#include "cli/failure.h"
#include "cli/network.h"
#include "core/file_system.h"
#include "core/store.h"
#include "server/protocol.h"

namespace tovik::cli {

// The largest request body a default server accepts; import requests stay
// within it when the server does not report its own limit.
inline constexpr std::uint64_t kImportRequestBytes = 1'048'576;

// Offline: args[0] is "import" or "export", args[1] the file.
// A den import or export works in scope's warren; --all, and an export of
// the whole database, take no --warren.
[[nodiscard]] Outcome run_offline_import(Store& store, std::span<const std::string> args,
                                         const OfflineScope& scope);
[[nodiscard]] Outcome run_offline_export(Store& store, std::span<const std::string> args,
                                         const OfflineScope& scope);

// A shell or batch line "import <path>" or "export <path>".
struct TransferLine {
  bool import = false;
  std::string path;
};
// nullopt when the line is no import or export; a usage failure when it is
// one without a path.
[[nodiscard]] std::optional<std::expected<TransferLine, Failure>> parse_transfer_line(
    std::string_view line);

// One round trip of the session, or the text of the transport failure (the
// connection is then gone).
using Sender = std::function<std::expected<server::Response, std::string>(const server::Command&)>;

struct TransferOptions {
  // The request limit to pack within; nullopt: the one the server reports.
  std::optional<std::uint64_t> request_bytes;
  // Where the progress line goes (documents done / total, redrawn at most
  // ten times a second, cleared at the end); null for none.
  std::ostream* progress = nullptr;
  // Where the export file is created, written and synced; null for the real
  // file system.
  FileSystem* file_system = nullptr;
};

struct ImportReport {
  std::uint64_t imported = 0;
  std::uint64_t writes = 0;
};

// Sends the file's lines to the session's current den.
[[nodiscard]] std::expected<ImportReport, Failure> import_through_server(
    const std::string& path, const Sender& send, const TransferOptions& options = {});
// Writes the session's current den into a new file; returns the count.
[[nodiscard]] std::expected<std::uint64_t, Failure> export_through_server(
    const std::string& path, const Sender& send, const TransferOptions& options = {});

// The shell's import or export line: the outcome goes to io (the progress
// line too, when standard output is a terminal). A disconnected session
// says so.
void run_shell_transfer(ClientSession& session, SessionIo& io,
                        const std::expected<TransferLine, Failure>& line);
// Batch mode's: one JSON line on out, or the failure that ends the run.
[[nodiscard]] Outcome run_batch_transfer(int socket, const server::TransportTimings& timings,
                                         std::ostream& out,
                                         const std::expected<TransferLine, Failure>& line);

// The texts printed on success.
std::string import_text(const ImportReport& report);
std::string export_text(std::uint64_t exported, const std::string& path);
std::string import_json(const ImportReport& report);
std::string export_json(std::uint64_t exported, const std::string& path);

}  // namespace tovik::cli
