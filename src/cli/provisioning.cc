// init and setup: bring a database from absent, to initialised without
// credentials, to ready. Both hold the database lock while they work, so
// neither can race a server or another tool on the same file.
#include "cli/provisioning.h"

#include <errno.h>

#include <iostream>
#include <string>

#include "cli/command_table.h"
#include "cli/commands.h"
#include "cli/offline.h"
#include "cli/terminal.h"
#include "core/utf8.h"
#include "server/credentials.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kDefaultAdministrator = "admin";

Failure credential_failure(const server::CredentialError& error) {
  if (error.kind == server::CredentialErrorKind::Os) return Failure::os(error.os_error);
  return Failure::message(error.text);
}

// Steps shared by both forms of init: refuse when credentials exist, create
// the file exclusively, and let the store write the empty database.
Outcome initialise_file(const std::string& path, std::uint64_t capacity) {
  if (path_exists(server::registry_path(path))) {
    return std::unexpected(Failure::message("credentials already exist; refusing initialization"));
  }
  auto fd = open_database_file(path, /*create_new=*/true);
  if (!fd) return std::unexpected(Failure::store(fd.error()));
  StoreConfig config = kOfflineStoreConfig;
  config.slot_size = capacity;
  auto store = Store::open(std::move(*fd), config);
  if (!store) return std::unexpected(Failure::store(store.error()));
  return {};
}

Outcome setup_file(const std::string& path, const std::string& username) {
  if (!is_regular_file(path)) {
    return std::unexpected(Failure::message("database missing; run tovik init <file> first"));
  }
  auto fd = open_existing_database(path);
  if (!fd) return std::unexpected(Failure::store(fd.error()));
  // Held open (and so locked) until the registry is written.
  auto store = Store::open(std::move(*fd), kOfflineStoreConfig);
  if (!store) return std::unexpected(Failure::store(store.error()));

  auto password = read_password(kNewPasswordPrompt);
  if (!password) return std::unexpected(password.error());
  if (!password_variable_present()) {
    auto confirmation = read_terminal_password(kConfirmPasswordPrompt);
    if (!confirmation) return std::unexpected(confirmation.error());
    if (*confirmation != *password) {
      return std::unexpected(Failure::message("passwords do not match"));
    }
  }
  auto credentials = server::create_credentials(username, *password);
  if (!credentials) return std::unexpected(credential_failure(credentials.error()));
  auto written = server::write_registry(*credentials, server::registry_path(path));
  if (!written) return std::unexpected(credential_failure(written.error()));
  {
    Store closing = std::move(*store);  // released before the success line
  }
  return write_output(std::cout,
                      "Local administrator configured. Start with: tovik serve " + path + "\n");
}

}  // namespace

Outcome create_directories(const std::string& dir, FileSystem& fs) {
  if (dir.empty()) return {};
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    const std::string prefix = dir.substr(0, pos);
    if (prefix.empty()) continue;
    if (auto directory = fs.is_directory(prefix); directory && *directory) continue;
    if (auto made = fs.make_directory(prefix); !made && made.error() != EEXIST) {
      return std::unexpected(Failure::os(made.error()));
    }
  }
  // EEXIST above may have been a file standing where a directory belongs.
  auto directory = fs.is_directory(dir);
  if (!directory) return std::unexpected(Failure::os(directory.error()));
  if (!*directory) return std::unexpected(Failure::os(ENOTDIR));
  return {};
}

std::expected<std::uint64_t, Failure> parse_capacity(std::string_view text) {
  const auto refused = [] {
    return std::unexpected(Failure::message(std::string(kCapacityRefused)));
  };
  std::uint64_t unit = 1;
  for (const auto& [suffix, bytes] :
       {std::pair{"KiB", 1u << 10}, {"MiB", 1u << 20}, {"GiB", 1u << 30}}) {
    if (text.ends_with(suffix)) {
      unit = bytes;
      text.remove_suffix(3);
      break;
    }
  }
  if (text.empty() || text.size() > 10) return refused();
  std::uint64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return refused();
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  const std::uint64_t capacity = number * unit;  // ten digits times 2^30 fit in 64 bits
  if (capacity < kMinCapacity || capacity > kMaxCapacity || capacity % kCapacityStep != 0) {
    return refused();
  }
  return capacity;
}

Outcome run_init(std::span<const std::string> args) {
  std::optional<std::string> file;
  std::uint64_t capacity = kOfflineStoreConfig.slot_size;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--capacity") {
      if (i + 1 >= args.size()) return std::unexpected(Failure::message("missing option value"));
      auto parsed = parse_capacity(args[++i]);
      if (!parsed) return std::unexpected(parsed.error());
      capacity = *parsed;
    } else if (!file && args[i].starts_with('-')) {
      return std::unexpected(unknown_option(args[i], usage_of("init")));
    } else if (!file) {
      file = args[i];
    } else {
      return std::unexpected(Failure::message(usage_of("init")));
    }
  }
  if (file) {
    auto initialised = initialise_file(*file, capacity);
    if (!initialised) return initialised;
    return write_output(std::cout, "{\"ok\":true}\n");
  }

  auto path = resolve_default_data_file();
  if (!path) return std::unexpected(path.error());
  if (path_exists(*path) || path_exists(server::registry_path(*path))) {
    return std::unexpected(
        Failure::message("instance already exists; run tovik serve (or tovik setup <file> "
                         "<username> to finish credentials)"));
  }
  auto made = create_directories(parent_directory(*path));
  if (!made) return made;
  auto initialised = initialise_file(*path, capacity);
  if (!initialised) return initialised;
  // The administrator is set up even when this line cannot be shown: a
  // database without its credentials would block the next init.
  const Outcome announced = write_output(std::cout, "Initialized instance: " + *path + "\n");
  if (!is_valid_utf8(*path)) return std::unexpected(Failure::message("non-UTF8 path"));
  auto setup = setup_file(*path, std::string(kDefaultAdministrator));
  if (!setup) return setup;
  return announced;
}

Outcome run_setup(const std::optional<std::string>& file,
                  const std::optional<std::string>& username) {
  if (file && username) return setup_file(*file, *username);
  auto path = resolve_default_data_file();
  if (!path) return std::unexpected(path.error());
  if (!is_valid_utf8(*path)) return std::unexpected(Failure::message("non-UTF8 path"));
  return setup_file(*path, std::string(kDefaultAdministrator));
}

}  // namespace tovik::cli
