// Reading a password from the controlling terminal with echo switched off.
//
// The one thing that must never happen is a terminal left without echo. While
// echo is off, SIGINT is blocked except inside the wait for input, so Ctrl+C
// can only arrive at a point where the read is abandoned and the settings are
// put back by the normal return path. Signals that end the process (SIGTERM,
// SIGHUP, SIGQUIT) restore the settings in their handler and then take their
// default action; Ctrl+Z restores them before stopping and switches echo off
// again when the process continues.
#include "cli/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/environment.h"
#include "core/posix_file.h"

namespace tovik::cli {
namespace {

// A line longer than any password the system accepts is kept only up to this
// size (enough to be refused by the length rules), the rest is discarded.
constexpr std::size_t kMaxKeptBytes = 8'192;

constexpr int kFatalSignals[] = {SIGTERM, SIGHUP, SIGQUIT};

// Shared with the signal handler; written before the handler is installed.
volatile sig_atomic_t g_tty_fd = -1;
volatile sig_atomic_t g_interrupted = 0;
termios g_saved{};
termios g_quiet{};

void install(int signo, void (*handler)(int), struct sigaction* old) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the wait must see EINTR
  ::sigaction(signo, &action, old);
}

extern "C" void on_interrupt(int) { g_interrupted = 1; }

extern "C" void on_fatal(int signo) {
  if (g_tty_fd >= 0) ::tcsetattr(g_tty_fd, TCSANOW, &g_saved);
  ::signal(signo, SIG_DFL);
  // The signal is blocked while its handler runs, so it is delivered with its
  // default action as soon as this returns.
  ::raise(signo);
}

extern "C" void on_stop(int) {
  const int saved_errno = errno;
  if (g_tty_fd >= 0) ::tcsetattr(g_tty_fd, TCSANOW, &g_saved);
  ::signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  ::raise(SIGTSTP);  // stops here until SIGCONT
  if (g_tty_fd >= 0) ::tcsetattr(g_tty_fd, TCSANOW, &g_quiet);
  install(SIGTSTP, on_stop, nullptr);
  errno = saved_errno;
}

// Echo off for its lifetime; every exit path runs the destructor.
class QuietTerminal {
 public:
  QuietTerminal(int fd, const termios& saved, const termios& quiet) : fd_(fd) {
    g_saved = saved;
    g_quiet = quiet;
    g_interrupted = 0;
    g_tty_fd = fd;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    ::sigprocmask(SIG_BLOCK, &block, &old_mask_);
    ::sigaction(SIGINT, nullptr, &old_int_);
    interrupt_ignored_ = old_int_.sa_handler == SIG_IGN;
    if (!interrupt_ignored_) install(SIGINT, on_interrupt, nullptr);
    for (std::size_t k = 0; k < std::size(kFatalSignals); ++k) {
      install(kFatalSignals[k], on_fatal, &old_fatal_[k]);
    }
    install(SIGTSTP, on_stop, &old_stop_);
    ok_ = ::tcsetattr(fd, TCSANOW, &quiet) == 0;
    error_ = errno;
  }
  ~QuietTerminal() {
    ::tcsetattr(fd_, TCSANOW, &g_saved);
    ::sigaction(SIGTSTP, &old_stop_, nullptr);
    for (std::size_t k = 0; k < std::size(kFatalSignals); ++k) {
      ::sigaction(kFatalSignals[k], &old_fatal_[k], nullptr);
    }
    if (!interrupt_ignored_) ::sigaction(SIGINT, &old_int_, nullptr);
    g_tty_fd = -1;
    ::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;

  bool ok() const { return ok_; }
  int error() const { return error_; }
  // The mask to wait with: as before, but with SIGINT let through.
  sigset_t wait_mask() const {
    sigset_t mask = old_mask_;
    sigdelset(&mask, SIGINT);
    return mask;
  }

 private:
  int fd_;
  bool ok_ = false;
  int error_ = 0;
  bool interrupt_ignored_ = false;
  sigset_t old_mask_{};
  struct sigaction old_int_ {};
  struct sigaction old_fatal_[std::size(kFatalSignals)]{};
  struct sigaction old_stop_ {};
};

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a prompt that cannot be shown does not stop the read
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// One line from fd; nullopt-like errors are reported through errno values.
std::expected<std::string, int> read_line(int fd, const QuietTerminal& quiet) {
  const sigset_t mask = quiet.wait_mask();
  std::string line;
  bool discarding = false;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    const int rc = ::ppoll(&pfd, 1, nullptr, &mask);
    if (rc < 0) {
      if (errno != EINTR) return std::unexpected(errno);
      if (g_interrupted) return std::unexpected(EINTR);
      continue;
    }
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::unexpected(errno);
    }
    if (n == 0) return line;  // end of input ends the line
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    const auto newline = chunk.find('\n');
    const bool done = newline != std::string_view::npos;
    if (done) chunk = chunk.substr(0, newline);
    if (!discarding) {
      const std::size_t room = kMaxKeptBytes - line.size();
      if (chunk.size() > room) discarding = true;
      line.append(chunk.substr(0, room));
    }
    if (done) {
      if (!line.empty() && line.back() == '\r' && !discarding) line.pop_back();
      return line;
    }
  }
}

}  // namespace

bool password_variable_present() { return std::getenv("TOVIK_PASSWORD") != nullptr; }

std::expected<std::string, Failure> read_password(std::string_view prompt) {
  if (auto value = env_text("TOVIK_PASSWORD")) return *value;
  return read_terminal_password(prompt);
}

std::expected<std::string, Failure> read_terminal_password(std::string_view prompt) {
  UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!tty) return std::unexpected(Failure::os(errno));
  termios saved{};
  if (::tcgetattr(tty.get(), &saved) != 0) return std::unexpected(Failure::os(errno));
  termios quiet = saved;
  // The typed characters stay hidden; the newline is still echoed so the
  // next output starts on a fresh line.
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;

  std::expected<std::string, int> line = std::unexpected(0);
  {
    QuietTerminal guard(tty.get(), saved, quiet);
    if (!guard.ok()) return std::unexpected(Failure::os(guard.error()));
    // Echo goes off before the prompt appears, so nothing typed in answer
    // to it can be shown.
    write_all(tty.get(), prompt);
    line = read_line(tty.get(), guard);
  }
  if (!line) {
    // Echo is back on; move past the abandoned prompt.
    write_all(tty.get(), "\n");
    return std::unexpected(Failure::os(line.error()));
  }
  return std::move(*line);
}

}  // namespace tovik::cli
