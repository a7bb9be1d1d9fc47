// serve: option parsing and start-up validation of the server command. The
// action itself (run_serve) is declared in commands.h; the parsing is
// exposed so tests can reach every message without starting a server.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "cli/failure.h"
#include "server/server.h"
#include "server/transport.h"

namespace tovik::cli {

struct ServeSettings {
  server::SocketAddress bind = server::SocketAddress::v4(127, 0, 0, 1, 7337);
  std::uint64_t max_clients = server::kDefaultMaxClients;
  std::uint64_t index_entries = kIndexByCapacity;  // unless --index-entries is given
  std::uint64_t max_request_bytes = server::kDefaultMaxRequestBytes;
  std::uint64_t max_document_bytes = server::kDefaultMaxDocumentBytes;
  std::string backup_dir;  // --backup-dir; empty: online backup off
  std::string log_path;    // --log; empty: no access log
};

// Name/value pairs from left to right over the defaults; a later occurrence
// wins. Failures: "missing option value", "unknown serve option", the
// integer-parse messages, "invalid socket address syntax".
[[nodiscard]] std::expected<ServeSettings, Failure> parse_serve_options(
    std::span<const std::string> options);

// The limits, the loopback rule, the client count and the backup directory
// (which must be an existing directory), in that order; the failure is
// already wrapped in the "cannot start server: " sentence.
[[nodiscard]] std::expected<void, Failure> validate_serve_settings(const ServeSettings& settings);

// "cannot start server: <text>; provision credentials with tovik setup <file> <username>".
Failure cannot_start(const std::string& text);

}  // namespace tovik::cli
