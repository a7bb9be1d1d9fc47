#include "cli/shell_history.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ostream>

#include "cli/commands.h"
#include "cli/environment.h"
#include "core/posix_file.h"
#include "core/utf8.h"

namespace tovik::cli {
namespace {

constexpr std::string_view kFileName = "shell_history";

// Creates each missing directory of path (mode 0700); errors show later,
// when the file itself cannot be opened.
void make_directories(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    ::mkdir(path.substr(0, at).c_str(), 0700);
  }
  ::mkdir(path.c_str(), 0700);
}

bool write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> history_file_path() {
  if (const char* set = std::getenv("TOVIK_HISTORY")) {
    if (*set == '\0') return std::nullopt;
    return std::string(set);
  }
  auto data_file = resolve_default_data_file();
  if (!data_file) return std::nullopt;
  const std::string directory = data_file->substr(0, data_file->rfind('/'));
  make_directories(directory);
  return directory + "/" + std::string(kFileName);
}

bool kept_in_history(std::string_view line) {
  return !line.empty() && line.front() != ' ' && line.size() <= kMaxHistoryLine &&
         line.find('\n') == std::string_view::npos;
}

void HistoryFile::warn(std::string_view what, int error) {
  if (failed_) return;
  failed_ = true;
  err_ << "History not kept: cannot " << what << " " << path_ << ": " << std::strerror(error)
       << '\n';
}

std::vector<std::string> HistoryFile::load() {
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT) warn("read", errno);
    return {};
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      warn("read", errno);
      return {};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  std::vector<std::string> all;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (kept_in_history(line) && is_valid_utf8(line)) all.emplace_back(line);
    start = end + 1;
  }
  file_lines_ = all.size();
  const std::size_t skip = all.size() > kHistoryLines ? all.size() - kHistoryLines : 0;
  lines_.assign(std::make_move_iterator(all.begin() + static_cast<std::ptrdiff_t>(skip)),
                std::make_move_iterator(all.end()));
  return lines_;
}

void HistoryFile::add(std::string_view line) {
  if (failed_ || !kept_in_history(line)) return;
  lines_.emplace_back(line);
  if (lines_.size() > kHistoryLines) lines_.erase(lines_.begin());
  if (++file_lines_ > kHistoryLines + kHistoryLines / 10) {
    rewrite();
    return;
  }
  UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!fd) return warn("write", errno);
  if (!write_text(fd.get(), std::string(line) + "\n")) warn("write", errno);
}

// The last lines into a new file that replaces the old one whole.
void HistoryFile::rewrite() {
  struct stat st {};
  // Only a regular file is replaced: a history sent to /dev/null stays so.
  if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return;
  const std::string staging = path_ + ".new." + std::to_string(::getpid());
  UniqueFd fd(::open(staging.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return warn("write", errno);
  std::string text;
  for (const std::string& kept : lines_) text += kept + "\n";
  if (!write_text(fd.get(), text) || ::rename(staging.c_str(), path_.c_str()) != 0) {
    const int error = errno;
    ::unlink(staging.c_str());
    return warn("write", error);
  }
  file_lines_ = lines_.size();
}

}  // namespace tovik::cli
