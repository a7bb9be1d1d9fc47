// serve: parse the options, validate them and everything the server needs
// before any socket exists, then run the accept loop until Ctrl+C (SIGINT)
// or SIGTERM, the signal service managers stop a process with.
//
// The store is opened with the file format's value limit, not with
// --max-document-bytes: that option limits what the server writes, and a
// smaller value must not make documents already stored unreadable or the
// file refused at start-up. The configured maximum goes to the server loop,
// which applies it to writes.
#include "cli/serve.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "cli/command_table.h"
#include "cli/commands.h"
#include "cli/offline.h"
#include "cli/provisioning.h"
#include "core/database_copy.h"
#include "core/file_system.h"
#include "core/store.h"
#include "server/credentials.h"
#include "server/server.h"

namespace tovik::cli {
namespace {

constexpr std::uint64_t kMinRequestBytes = 128;
constexpr std::uint64_t kMaxRequestBytes = server::kMaxFrameBytes;
constexpr std::uint64_t kMinDocumentBytes = 2;
constexpr std::uint64_t kMaxDocumentBytes = server::kDefaultMaxDocumentBytes;
constexpr std::uint64_t kMaxIndexEntries = 64;
constexpr std::uint64_t kMaxIndexEntriesParsed = 255;  // the option is an 8-bit number
constexpr std::uint64_t kMinClients = 1;
constexpr std::uint64_t kMaxClients = 64;

Failure transport_failure(const server::TransportError& error) {
  return Failure::message(error.text);
}

// With static storage: the stop handler (SIGINT, SIGTERM) may refer to it for
// the rest of the process's life.
std::atomic<bool> g_stop{false};

// SIGTERM gets the very handler SIGINT has (the one that sets g_stop), so a
// service manager's stop closes the connections and joins the threads as
// Ctrl+C does instead of ending the process midway.
[[nodiscard]] std::expected<void, server::TransportError> stop_on_sigterm_too() {
  struct sigaction on_interrupt {};
  if (::sigaction(SIGINT, nullptr, &on_interrupt) != 0 ||
      ::sigaction(SIGTERM, &on_interrupt, nullptr) != 0) {
    return std::unexpected(server::TransportError::from_errno(errno));
  }
  return {};
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Files that hold what others must not read: the credentials and the log.
// Only a warning: the server starts all the same.
void warn_if_exposed(const std::string& path) {
  if (!server::registry_exposed(path)) return;
  std::cerr << "warning: " << path << " is accessible by other users; run chmod 600 " << path
            << '\n'
            << std::flush;
}

}  // namespace

Failure cannot_start(const std::string& text) {
  return Failure::message("cannot start server: " + text +
                          "; provision credentials with tovik setup <file> <username>");
}

std::expected<ServeSettings, Failure> parse_serve_options(std::span<const std::string> options) {
  ServeSettings settings;
  for (std::size_t i = 0; i < options.size(); i += 2) {
    const std::string& name = options[i];
    if (i + 1 >= options.size()) {
      return std::unexpected(Failure::message("missing option value"));
    }
    const std::string& value = options[i + 1];
    if (name == "--bind") {
      auto address = server::parse_socket_address(value);
      if (!address) return std::unexpected(transport_failure(address.error()));
      settings.bind = *address;
      continue;
    }
    if (name == "--backup-dir" || name == "--log") {
      // A path that looks like an option is the next option, its value missing.
      if (value.starts_with('-')) return std::unexpected(unknown_option(value, usage_of("serve")));
      (name == "--log" ? settings.log_path : settings.backup_dir) = value;
      continue;
    }
    std::uint64_t* target = nullptr;
    std::uint64_t max = UINT64_MAX;
    if (name == "--max-clients") {
      target = &settings.max_clients;
    } else if (name == "--index-entries") {
      target = &settings.index_entries;
      max = kMaxIndexEntriesParsed;
    } else if (name == "--max-request-bytes") {
      target = &settings.max_request_bytes;
    } else if (name == "--max-document-bytes") {
      target = &settings.max_document_bytes;
    } else {
      return std::unexpected(Failure::message("unknown serve option"));
    }
    auto number = parse_unsigned(value, max);
    if (!number) return std::unexpected(number.error());
    *target = *number;
  }
  return settings;
}

std::expected<void, Failure> validate_serve_settings(const ServeSettings& settings) {
  if (settings.max_request_bytes < kMinRequestBytes ||
      settings.max_request_bytes > kMaxRequestBytes ||
      settings.max_document_bytes < kMinDocumentBytes ||
      settings.max_document_bytes > kMaxDocumentBytes ||
      (settings.index_entries > kMaxIndexEntries && settings.index_entries != kIndexByCapacity)) {
    return std::unexpected(cannot_start("invalid request, document or index limit"));
  }
  if (!server::is_loopback(settings.bind)) {
    return std::unexpected(
        cannot_start("authenticated TCP is loopback-only; use an SSH tunnel for remote access"));
  }
  if (settings.max_clients < kMinClients || settings.max_clients > kMaxClients) {
    return std::unexpected(cannot_start("max clients must be 1-64"));
  }
  if (!settings.backup_dir.empty() && !is_directory(settings.backup_dir)) {
    return std::unexpected(cannot_start("backup directory missing: " + settings.backup_dir));
  }
  return {};
}

Outcome run_serve(std::span<const std::string> args) {
  std::string path;
  std::span<const std::string> options;
  if (!args.empty() && args[0].starts_with('-') && !args[0].starts_with("--")) {
    return std::unexpected(unknown_option(args[0], usage_of("serve")));
  }
  if (args.empty() || args[0].starts_with("--")) {
    auto file = resolve_default_data_file();
    if (!file) return std::unexpected(file.error());
    path = *file;
    options = args;
  } else {
    path = args[0];
    options = args.subspan(1);
  }

  auto settings = parse_serve_options(options);
  if (!settings) return std::unexpected(settings.error());
  auto valid = validate_serve_settings(*settings);
  if (!valid) return valid;

  if (!is_regular_file(path))
    return std::unexpected(cannot_start("database missing: run tovik init first"));
  const std::string registry = server::registry_path(path);
  auto credentials = server::load_registry(registry);
  if (!credentials) {
    const auto& error = credentials.error();
    return std::unexpected(cannot_start(error.kind == server::CredentialErrorKind::Os
                                            ? Failure::os(error.os_error).text()
                                            : error.text));
  }
  warn_if_exposed(registry);
  // The log is opened before the database, so a log that cannot be used
  // refuses the start without ever taking the database's lock.
  std::unique_ptr<server::AccessLog> access_log;
  if (!settings->log_path.empty()) {
    auto opened = server::AccessLog::open(settings->log_path);
    if (!opened) return std::unexpected(cannot_start(opened.error()));
    access_log = std::move(*opened);
    warn_if_exposed(settings->log_path);
  }
  auto fd = open_existing_database(path);
  if (!fd) return std::unexpected(cannot_start(std::string(store_error_text(fd.error()))));
  auto store = Store::open(std::move(*fd), kOfflineStoreConfig, settings->index_entries);
  if (!store) return std::unexpected(cannot_start(std::string(store_error_text(store.error()))));
  // Copies that a killed backup left behind in the backup directory.
  if (!settings->backup_dir.empty()) remove_stale_staging(settings->backup_dir, real_file_system());
  if (access_log || !settings->backup_dir.empty()) {
    // A file size limit must make a log line or a backup fail, not end the
    // server with every client on it.
    ::signal(SIGXFSZ, SIG_IGN);
  }
  auto listener = server::bind_listener(settings->bind);
  if (!listener) return std::unexpected(cannot_start(listener.error().text));

  auto installed = server::install_stop_on_sigint(g_stop);
  if (installed) installed = stop_on_sigterm_too();
  if (!installed) return std::unexpected(transport_failure(installed.error()));
  auto bound = server::local_address(listener->get());
  if (!bound) return std::unexpected(transport_failure(bound.error()));
  auto printed =
      write_output(std::cout, "Tovik listening on " + server::format_socket_address(*bound) +
                                  " (loopback only). Ctrl+C stops the server.\n");
  if (!printed) return printed;

  server::ServerConfig config;
  config.max_clients = static_cast<std::size_t>(settings->max_clients);
  config.max_request_bytes = settings->max_request_bytes;
  config.max_document_bytes = settings->max_document_bytes;
  config.backup_dir = settings->backup_dir;
  config.access_log = access_log.get();
  auto served = server::run_server(std::move(*listener), *store, *credentials, g_stop, config);
  if (!served) return std::unexpected(transport_failure(served.error()));
  return write_output(std::cout, "Tovik stopped.\n");
}

}  // namespace tovik::cli
