#include "cli/command_table.h"

#include <array>

namespace tovik::cli {
namespace {

constexpr std::string_view kBackupUsage =
    "usage: tovik backup <database> <new-backup> | restore <backup> <new-database>";

constexpr std::array kCommands{
    CommandRow{
        "init", "usage: tovik init [file]",
        "Creates a new, empty database file; an existing file is never replaced.\n"
        "Without a file: the default data file, with its administrator \"admin\".\n"
        "  --capacity SIZE           bytes, or with KiB, MiB or GiB: 1 MiB to 4 GiB in\n"
        "                            steps of 4 KiB (default 16 MiB); the file is twice it\n",
        "o"},
    CommandRow{"setup", "usage: tovik setup <file> <username>",
               "Writes the administrator's credentials of a database that has none.\n"
               "Without arguments: the default data file and the user \"admin\".\n"
               "The password is TOVIK_PASSWORD, else asked on the terminal.\n",
               "nn"},
    CommandRow{"serve", "usage: tovik serve [file] [option value]...",
               "Serves the database (the default data file without a file) until Ctrl+C.\n"
               "  --bind ADDRESS            loopback address:port (default 127.0.0.1:7337)\n"
               "  --max-clients N           connections at once, 1-64 (default 16)\n"
               "  --max-request-bytes N     largest request, 128-1048576 (default 1048576)\n"
               "  --max-document-bytes N    largest shiny, 2-262144 (default 262144)\n"
               "  --index-entries N         in-memory index size, 0-64 (default 64)\n"
               "  --backup-dir DIR          directory for online backups (default none)\n"
               "  --log FILE                access log file (default none)\n",
               "o"},
    CommandRow{"batch", "usage: tovik batch [address]",
               "Reads shell lines from standard input and prints one JSON line per answer.\n"
               "The address defaults to TOVIK_ADDR, else 127.0.0.1:7337.\n",
               "v"},
    CommandRow{"backup", kBackupUsage,
               "Copies a database, checked, into a new backup file (credentials are not copied).\n",
               "nn"},
    CommandRow{"restore", kBackupUsage,
               "Copies a backup, checked, into a new database file (credentials are not copied).\n",
               "nn"},
    CommandRow{"version", "usage: tovik version", "Prints the version.\n", ""},
    CommandRow{"help", "usage: tovik help", "Prints a summary of the commands.\n", ""},
    CommandRow{"status", "usage: tovik status [file]",
               "Prints the generation and whether credentials exist.\n"
               "Without a file: the default data file.\n",
               "n", 2},
    CommandRow{"stats", "usage: tovik stats [file]",
               "Prints the record count, live and allocated bytes and the generation.\n"
               "Without a file: the default data file.\n",
               "n", 2},
    CommandRow{"check", "usage: tovik check [file]",
               "Verifies every record and document of the file.\n"
               "Without a file: the default data file.\n",
               "n", 2},
    CommandRow{"collections", "usage: tovik collections <file>",
               "Lists the dens of the default warren.\n", "n", 2},
    CommandRow{"usage", "usage: tovik usage <file>",
               "Prints how much of the database's capacity is used, per warren and den.\n", "n", 2},
    CommandRow{"put", "usage: tovik put <file> <den> <id> <json>",
               "Stores a JSON object under the id, replacing what was there.\n", "nnvv", 5},
    CommandRow{"get", "usage: tovik get <file> <den> <id>",
               "Prints the shiny stored under the id, or null.\n", "nnv", 4},
    CommandRow{"delete", "usage: tovik delete <file> <den> <id>",
               "Removes the shiny stored under the id.\n", "nnv", 4},
    CommandRow{"scan", "usage: tovik scan <file> <den> [limit]",
               "Prints the den's shinies in id order (limit default 100).\n", "nnv", 3},
    CommandRow{"find", "usage: tovik find <file> <den> <field>=<value> [limit]",
               "Prints the shinies whose top-level field equals the value (limit default 100).\n",
               "nnvv", 4},
    CommandRow{"query", "usage: tovik query <file> <den> <filter> [limit]",
               "Prints the shinies that match a JSON filter (limit default 100).\n", "nnvv", 4},
    CommandRow{"count", "usage: tovik count <file> <den> <filter>",
               "Counts the shinies that match a JSON filter.\n", "nnv", 4},
    CommandRow{"import",
               "usage: tovik import <file> <den> <path>|- [--id-field NAME] [--mode put|insert] | "
               "tovik import <file> --all <path>|-",
               "Stores the JSON lines of a file (- for standard input) in one commit.\n"
               "  --id-field NAME           the member that holds the id (default id)\n"
               "  --mode put|insert         replace stored ids, or refuse them (default put)\n"
               "  --all                     lines of a whole-database export\n",
               "no", 2},
    CommandRow{"export", "usage: tovik export <file> [<den> [--id-field NAME]]",
               "Prints a den (or, without one, the whole database) as JSON lines.\n"
               "  --id-field NAME           the member that holds the id (default id)\n",
               "no", 2},
};

}  // namespace

const CommandRow* find_command(std::string_view word) {
  if (word == "--version") word = "version";
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

}  // namespace tovik::cli
