// The actions the command table's rows dispatch to. Each returns success or the
// Failure that main reports. Arguments are the process arguments as text.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "cli/failure.h"

namespace tovik::cli {

struct CommandRow;
struct OfflineScope;

// data_dir.cc: the default data file, "<data dir>/instance.tovik".
[[nodiscard]] std::expected<std::string, Failure> resolve_default_data_file();

// offline.cc: an offline command's row (cli/command_table.h) and its
// arguments: args[0] is the command word, args[1] the file, then the rest.
// Opens the file, checks the row's argument count and runs its handler.
[[nodiscard]] Outcome run_offline(const CommandRow& row, std::span<const std::string> args,
                                  const OfflineScope& scope);

// provisioning.cc: init without a file (default path, with credentials) or
// with one, and --capacity SIZE in either form (args are everything after
// the word "init"); setup without arguments or with <file> <username>.
[[nodiscard]] Outcome run_init(std::span<const std::string> args);
[[nodiscard]] Outcome run_setup(const std::optional<std::string>& file,
                                const std::optional<std::string>& username);

// serve.cc: args are everything after the word "serve".
[[nodiscard]] Outcome run_serve(std::span<const std::string> args);

// shell.cc and batch.cc: the address argument when one was given.
[[nodiscard]] Outcome run_shell(const std::optional<std::string>& address);
[[nodiscard]] Outcome run_batch(const std::optional<std::string>& address);

// maintenance.cc
[[nodiscard]] Outcome run_backup(const std::string& database, const std::string& new_backup);
[[nodiscard]] Outcome run_restore(const std::string& backup, const std::string& new_database);

}  // namespace tovik::cli
