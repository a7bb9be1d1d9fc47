// The command table: the summary, the entry point's own actions, the rows,
// then the lookups and the dispatch over them.
#include "cli/command_table.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "cli/data_transfer.h"
#include "cli/offline.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kBanner = "Tovik 0.1.0 (storage v1, protocol v1)";

constexpr std::string_view kHelpLines[] = {
    "tovik backup <database> <new-backup>",
    "tovik restore <backup> <new-database>",
    "tovik version",
    "tovik [tovik://username@127.0.0.1:7337]",
    "tovik init [file]",
    "tovik setup [<file> <username>]",
    "tovik batch [address]",
    "tovik serve [file] [--bind 127.0.0.1:7337] [--max-clients 16]",
    "Offline status/stats/check [file]; direct-file commands: "
    "put/get/delete/scan/find/collections/stats/check",
    "Defaults: TOVIK_ADDR, TOVIK_USER. Remote access requires an SSH tunnel.",
    "Instance = service; warren = logical database; den = collection; shiny = document.",
    "Shell: show warrens; use <warren>; use <den>; show dens; show shinies; use ..; use /name.",
    "No-path init creates admin credentials; explicit-path init requires setup. "
    "Existing collections live in the default warren.",
};

constexpr std::string_view kUnknownCommand = "unknown command";

// ---- The entry point's own actions -------------------------------------------

Outcome print_help(const CommandRow&, std::vector<std::string>&) {
  std::string text;
  for (std::string_view line : kHelpLines) {
    text.append(line);
    text.push_back('\n');
  }
  // The last line is only shown when the default file resolves; a failure
  // here is not the help command's failure.
  if (auto file = resolve_default_data_file()) {
    text += "Default data file: " + *file + " (override directory with TOVIK_DATA_DIR)\n";
  }
  return write_output(std::cout, text);
}

Outcome print_version(const CommandRow&, std::vector<std::string>&) {
  return write_output(std::cout, std::string(kBanner) + "\n");
}

std::span<const std::string> after_word(const std::vector<std::string>& args) {
  return std::span<const std::string>(args).subspan(1);
}

Outcome init_action(const CommandRow&, std::vector<std::string>& args) {
  return run_init(after_word(args));
}

Outcome serve_action(const CommandRow&, std::vector<std::string>& args) {
  return run_serve(after_word(args));
}

Outcome batch_action(const CommandRow&, std::vector<std::string>& args) {
  if (args.size() > 2) return std::unexpected(Failure::message(std::string(kUnknownCommand)));
  return run_batch(args.size() == 2 ? std::optional<std::string>(args[1]) : std::nullopt);
}

Outcome setup_action(const CommandRow& row, std::vector<std::string>& args) {
  if (args.size() == 1) return run_setup(std::nullopt, std::nullopt);
  if (args.size() == 3) return run_setup(args[1], args[2]);
  return std::unexpected(Failure::message(row.usage));
}

Outcome backup_action(const CommandRow& row, std::vector<std::string>& args) {
  if (args.size() != 3) return std::unexpected(Failure::message(row.usage));
  return run_backup(args[1], args[2]);
}

Outcome restore_action(const CommandRow& row, std::vector<std::string>& args) {
  if (args.size() != 3) return std::unexpected(Failure::message(row.usage));
  return run_restore(args[1], args[2]);
}

// Takes `--warren NAME` out of args (before a "--" only). A row without the
// option leaves it for check_places to refuse.
std::expected<OfflineScope, Failure> take_warren_option(const CommandRow& row,
                                                        std::vector<std::string>& args) {
  OfflineScope scope;
  if (!row.warren_option) return scope;
  for (std::size_t i = 1; i < args.size() && args[i] != "--";) {
    if (args[i] != "--warren") {
      ++i;
      continue;
    }
    if (scope.named || i + 1 == args.size() || args[i + 1].empty()) {
      return std::unexpected(Failure::message(std::string(row.usage)));
    }
    scope.warren = args[i + 1];
    scope.named = true;
    const auto at = args.begin() + static_cast<std::ptrdiff_t>(i);
    args.erase(at, at + 2);
  }
  return scope;
}

// Every offline command: the row's handler on the open file.
Outcome offline_action(const CommandRow& row, std::vector<std::string>& args) {
  auto scope = take_warren_option(row, args);
  if (!scope) return std::unexpected(scope.error());
  auto checked = check_places(row, args);
  if (!checked) return checked;
  if (args.size() == 1) {
    if (!row.default_file) return run_shell(args[0]);
    auto file = resolve_default_data_file();
    if (!file) return std::unexpected(file.error());
    args.push_back(*file);
  }
  return run_offline(row, args, *scope);
}

// ---- The rows ----------------------------------------------------------------

constexpr std::string_view kBackupUsage =
    "usage: tovik backup <database> <new-backup> | restore <backup> <new-database>";

constexpr std::array kCommands{
    CommandRow{
        "init", "usage: tovik init [file]",
        "Creates a new, empty database file; an existing file is never replaced.\n"
        "Without a file: the default data file, with its administrator \"admin\".\n"
        "  --capacity SIZE           bytes, or with KiB, MiB or GiB: 1 MiB to 4 GiB in\n"
        "                            steps of 4 KiB (default 16 MiB); the file is twice it\n",
        "o", 0, init_action},
    CommandRow{"setup", "usage: tovik setup <file> <username>",
               "Writes the administrator's credentials of a database that has none.\n"
               "Without arguments: the default data file and the user \"admin\".\n"
               "The password is TOVIK_PASSWORD, else asked on the terminal.\n",
               "nn", 0, setup_action},
    CommandRow{"serve", "usage: tovik serve [file] [option value]...",
               "Serves the database (the default data file without a file) until Ctrl+C.\n"
               "  --bind ADDRESS            loopback address:port (default 127.0.0.1:7337)\n"
               "  --max-clients N           connections at once, 1-64 (default 16)\n"
               "  --max-request-bytes N     largest request, 128-1048576 (default 1048576)\n"
               "  --max-document-bytes N    largest shiny, 2-262144 (default 262144)\n"
               "  --index-entries N         in-memory index size, 0-64 (default 64)\n"
               "  --backup-dir DIR          directory for online backups (default none)\n"
               "  --log FILE                access log file (default none)\n",
               "o", 0, serve_action},
    CommandRow{"batch", "usage: tovik batch [address]",
               "Reads shell lines from standard input and prints one JSON line per answer.\n"
               "The address defaults to TOVIK_ADDR, else 127.0.0.1:7337.\n",
               "v", 0, batch_action},
    CommandRow{"backup", kBackupUsage,
               "Copies a database, checked, into a new backup file (credentials are not copied).\n",
               "nn", 0, backup_action},
    CommandRow{"restore", kBackupUsage,
               "Copies a backup, checked, into a new database file (credentials are not copied).\n",
               "nn", 0, restore_action},
    CommandRow{"version", "usage: tovik version", "Prints the version.\n", "", 0, print_version},
    CommandRow{"help", "usage: tovik help", "Prints a summary of the commands.\n", "", 0,
               print_help},
    CommandRow{"status", "usage: tovik status [file]",
               "Prints the generation and whether credentials exist.\n"
               "Without a file: the default data file.\n",
               "n", 2, offline_action, offline_status, true},
    CommandRow{"stats", "usage: tovik stats [file]",
               "Prints the record count, live and allocated bytes and the generation.\n"
               "Without a file: the default data file.\n",
               "n", 2, offline_action, offline_stats, true},
    CommandRow{"check", "usage: tovik check [file]",
               "Verifies every record and document of the file.\n"
               "Without a file: the default data file.\n",
               "n", 2, offline_action, offline_check, true},
    CommandRow{"collections", "usage: tovik collections <file>",
               "Lists the dens of the default warren.\n", "n", 2, offline_action,
               offline_collections},
    CommandRow{"warrens", "usage: tovik warrens <file>",
               "Lists the warrens, one JSON string a line.\n", "n", 2, offline_action,
               offline_warrens},
    CommandRow{"usage", "usage: tovik usage <file>",
               "Prints how much of the database's capacity is used, per warren and den.\n", "n", 2,
               offline_action, offline_usage},
    CommandRow{"put", "usage: tovik put <file> <den> <id> <json>",
               "Stores a JSON object under the id, replacing what was there.\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnvv", 5, offline_action, offline_put, false, true},
    CommandRow{"get", "usage: tovik get <file> <den> <id>",
               "Prints the shiny stored under the id, or null.\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnv", 4, offline_action, offline_get, false, true},
    CommandRow{"delete", "usage: tovik delete <file> <den> <id>",
               "Removes the shiny stored under the id.\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnv", 4, offline_action, offline_delete, false, true},
    CommandRow{"scan", "usage: tovik scan <file> <den> [limit]",
               "Prints the den's shinies in id order (limit default 100).\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnv", 3, offline_action, offline_scan, false, true},
    CommandRow{"find", "usage: tovik find <file> <den> <field>=<value> [limit]",
               "Prints the shinies whose top-level field equals the value (limit default 100).\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnvv", 4, offline_action, offline_find, false, true},
    CommandRow{"query",
               "usage: tovik query <file> <den> <filter> [limit] [--sort PATHS] [--skip N]",
               "Prints the shinies that match a JSON filter (limit default 100).\n"
               "  --sort PATHS              comma-separated paths, - first for descending\n"
               "  --skip N                  leave out the first N sorted matches\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnvv", 4, offline_action, offline_query, false, true},
    CommandRow{"count", "usage: tovik count <file> <den> <filter>",
               "Counts the shinies that match a JSON filter.\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnv", 4, offline_action, offline_count, false, true},
    CommandRow{"distinct", "usage: tovik distinct <file> <den> <path> [filter]",
               "Prints the different values at a path among the matching shinies, one a line.\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "nnvv", 4, offline_action, offline_distinct, false, true},
    CommandRow{"import",
               "usage: tovik import <file> <den> <path>|- [--id-field NAME] [--mode put|insert] | "
               "tovik import <file> --all <path>|-",
               "Stores the JSON lines of a file (- for standard input) in one commit.\n"
               "  --id-field NAME           the member that holds the id (default id)\n"
               "  --mode put|insert         replace stored ids, or refuse them (default put)\n"
               "  --all                     lines of a whole-database export\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "no", 2, offline_action, run_offline_import, false, true},
    CommandRow{"export", "usage: tovik export <file> [<den> [--id-field NAME]]",
               "Prints a den (or, without one, the whole database) as JSON lines.\n"
               "  --id-field NAME           the member that holds the id (default id)\n"
               "  --warren NAME             the warren of the den (default: default)\n",
               "no", 2, offline_action, run_offline_export, false, true},
};

// Every row runs; the offline rows, and only they, have a handler on the
// file and an argument count. (Under AddressSanitizer g++ cannot compare
// function addresses while compiling; the plain build checks it.)
#ifndef __SANITIZE_ADDRESS__
static_assert(std::all_of(kCommands.begin(), kCommands.end(), [](const CommandRow& row) {
  const bool offline = row.offline != nullptr;
  return row.run != nullptr && (row.run == offline_action) == offline &&
         (row.required > 0) == offline;
}));
#endif

}  // namespace

const CommandRow* find_command(std::string_view word) {
  if (word == "--version") word = "version";
  if (is_help_flag(word)) word = "help";
  for (const CommandRow& row : kCommands) {
    if (row.word == word) return &row;
  }
  return nullptr;
}

std::string_view usage_of(std::string_view word) {
  const CommandRow* row = find_command(word);
  return row == nullptr ? std::string_view() : row->usage;
}

bool is_help_flag(std::string_view arg) { return arg == "-h" || arg == "--help"; }

Failure unknown_option(std::string_view arg, std::string_view usage) {
  return Failure::message("unknown option " + std::string(arg) + "\n" + std::string(usage));
}

std::string command_help(const CommandRow& row) {
  std::string text(row.usage);
  text += '\n';
  text += row.details;
  return text;
}

Outcome check_places(const CommandRow& row, std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size() && i <= row.places.size(); ++i) {
    const char place = row.places[i - 1];
    if (place == 'o') return {};
    if (place != 'n' || !args[i].starts_with('-')) continue;
    if (args[i] == "--") {
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
      return {};
    }
    return std::unexpected(unknown_option(args[i], row.usage));
  }
  return {};
}

Outcome run_command_line(std::vector<std::string> args) {
  if (args.empty()) return run_shell(std::nullopt);
  const CommandRow* row = find_command(args[0]);
  if (row == nullptr) {
    if (args.size() == 1) return run_shell(args[0]);
    return std::unexpected(Failure::message(std::string(kUnknownCommand)));
  }
  // The summary answers every form of help, "tovik help --help" too.
  if (row->run != print_help && args.size() >= 2 && is_help_flag(args[1])) {
    return write_output(std::cout, command_help(*row));
  }
  // Offline rows check their places once `--warren` is taken out.
  if (row->offline == nullptr) {
    auto checked = check_places(*row, args);
    if (!checked) return checked;
  }
  return row->run(*row, args);
}

}  // namespace tovik::cli
