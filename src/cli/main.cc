// Entry point: makes the standard descriptors safe, hands the arguments to
// the command table (cli/command_table.h), which checks them against the
// command's row and runs its action, and turns the outcome into exit status
// 0 or 1.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/command_table.h"
#include "core/utf8.h"

namespace tovik::cli {
namespace {

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
  auto outcome = tovik::cli::run_command_line(std::move(args));
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
