// Entry point: picks one action from the command table, runs it, and turns
// its outcome into exit status 0 or 1. Each command's arguments are first
// checked against its row of cli/command_table.h, and "<word> --help" prints
// that row.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_table.h"
#include "cli/commands.h"
#include "core/utf8.h"

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

Outcome print_help() {
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

Outcome print_version() { return write_output(std::cout, std::string(kBanner) + "\n"); }

bool is_offline_word(std::string_view word) {
  const CommandRow* row = find_command(word);
  return row != nullptr && row->required > 0;
}

Failure usage_failure(std::string_view word) { return Failure::message(usage_of(word)); }

Outcome dispatch(std::vector<std::string> args) {
  if (args.empty()) return run_shell(std::nullopt);
  if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") return print_help();
  if (const CommandRow* row = find_command(args[0])) {
    if (args.size() >= 2 && is_help_flag(args[1])) {
      return write_output(std::cout, command_help(*row));
    }
    auto checked = check_places(*row, args);
    if (!checked) return checked;
  }
  const std::string& word = args[0];
  const std::size_t count = args.size();

  if (word == "init") return run_init(std::span<const std::string>(args).subspan(1));
  if (word == "version" || word == "--version") return print_version();
  if (word == "serve") {
    return run_serve(std::span<const std::string>(args).subspan(1));
  }
  if (word == "batch" && count <= 2) {
    return run_batch(count == 2 ? std::optional<std::string>(args[1]) : std::nullopt);
  }
  if (word == "setup") {
    if (count == 1) return run_setup(std::nullopt, std::nullopt);
    if (count == 3) return run_setup(args[1], args[2]);
    return std::unexpected(usage_failure(word));
  }
  if (word == "backup" || word == "restore") {
    if (count != 3) return std::unexpected(usage_failure(word));
    return word == "backup" ? run_backup(args[1], args[2]) : run_restore(args[1], args[2]);
  }
  if (count == 1 && (word == "status" || word == "stats" || word == "check")) {
    auto file = resolve_default_data_file();
    if (!file) return std::unexpected(file.error());
    args.push_back(*file);
  } else if (count == 1) {
    return run_shell(word);
  }
  if (!is_offline_word(args[0])) return std::unexpected(Failure::message("unknown command"));
  return run_offline(args);
}

// A descriptor 0, 1 or 2 that the parent left closed would be handed to the
// first file or socket this process opens, and output meant for the
// terminal would land there: in the database file itself. So each closed
// one is opened on /dev/null before anything else is opened.
bool open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = -1;
    do {
      opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    } while (opened < 0 && errno == EINTR);
    // The lowest free descriptor is fd itself: the ones below it are open.
    if (opened != fd) return false;
  }
  return true;
}

}  // namespace
}  // namespace tovik::cli

int main(int argc, char** argv) {
  if (!tovik::cli::open_standard_descriptors()) return 1;
  // Writes to a closed pipe fail with an error instead of killing the process.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args;
  args.reserve(argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
    if (!tovik::is_valid_utf8(args.back())) {
      std::cerr << "tovik: argument " << i << " is not valid UTF-8\n";
      return 1;
    }
  }
  auto outcome = tovik::cli::dispatch(std::move(args));
  // Anything still unwritten at the end is the command's failure too.
  errno = 0;
  std::cout.flush();
  if (outcome && !std::cout)
    outcome = std::unexpected(tovik::cli::Failure::os(errno != 0 ? errno : EIO));
  if (!outcome) {
    std::cerr << "tovik: " << outcome.error().text() << '\n' << std::flush;
    return 1;
  }
  return 0;
}
