#include "cli/shell_transfer.h"

#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <variant>

#include "cli/interrupt.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kStopped = "interrupted";

std::size_t documents_in(const server::Response& response) {
  if (!response.data.is_object()) return 0;
  const auto it = response.data.find("documents");
  return it != response.data.end() && it->is_array() ? it->size() : 0;
}

}  // namespace

void run_interactive_transfer(ClientSession& session, SessionIo& io,
                              const std::expected<TransferLine, Failure>& line) {
  if (!line) {
    io.err << line.error().text() << '\n';
    return;
  }
  std::uint64_t acknowledged = 0;  // shinies stored, or read for an export
  const Sender send =
      [&](const server::Command& command) -> std::expected<server::Response, std::string> {
    if (interrupted()) return std::unexpected(std::string(kStopped));
    if (!session.connected()) return std::unexpected(std::string("disconnected"));
    std::optional<server::Response> response;
    {
      AbortScope abort(session.connection.get(), true);
      response = round_trip(session, command, io);
    }
    if (!response)
      return std::unexpected(std::string(interrupted() ? kStopped : "connection lost"));
    if (const auto* write = std::get_if<server::Write>(&command); write && response->ok) {
      acknowledged += write->ops.size();
    } else if (response->ok && std::holds_alternative<server::Page>(command)) {
      acknowledged += documents_in(*response);
    }
    return std::move(*response);
  };
  TransferOptions options;
  if (&io.out == &std::cout && ::isatty(STDOUT_FILENO) == 1) options.progress = &std::cout;
  if (line->import) {
    auto report = import_through_server(line->path, send, options);
    if (report) {
      io.out << import_text(*report) << '\n';
    } else if (interrupted()) {
      io.err << "Import interrupted: " << acknowledged
             << " shinies stored; the rest was not sent.\n";
    } else {
      io.err << report.error().text() << '\n';
    }
    return;
  }
  auto exported = export_through_server(line->path, send, options);
  if (exported) {
    io.out << export_text(*exported, line->path) << '\n';
  } else if (interrupted()) {
    io.err << "Export interrupted after " << acknowledged << " shinies; " << line->path
           << " was not kept.\n";
  } else {
    io.err << exported.error().text() << '\n';
  }
}

}  // namespace tovik::cli
