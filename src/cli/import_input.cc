#include "cli/import_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tovik::cli {
namespace {

constexpr std::size_t kReadChunk = std::size_t{64} << 10;

}  // namespace

Failure at_line(std::uint64_t line, std::string_view message) {
  return Failure::message("line " + std::to_string(line) + ": " + std::string(message));
}

Failure path_failure(const std::string& path, int error) {
  return Failure::message(path + ": " + Failure::os(error).text());
}

std::expected<UniqueFd, Failure> open_source(const std::string& source) {
  if (source == "-") return UniqueFd();
  int fd = -1;
  do {
    fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(path_failure(source, errno));
  return UniqueFd(fd);
}

std::expected<std::optional<std::string_view>, Failure> LineInput::next() {
  for (;;) {
    const std::size_t end = buffer_.find('\n', start_);
    if (end != std::string::npos) return take(end, end + 1);
    if (eof_) {
      if (start_ == buffer_.size()) return std::optional<std::string_view>();
      return take(buffer_.size(), buffer_.size());
    }
    buffer_.erase(0, start_);
    start_ = 0;
    const std::size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    ssize_t got = 0;
    do {
      got = ::read(fd_, buffer_.data() + old, kReadChunk);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return std::unexpected(Failure::os(errno));
    buffer_.resize(old + static_cast<std::size_t>(got));
    eof_ = got == 0;
  }
}

std::expected<void, Failure> LineInput::rewind() {
  if (::lseek(fd_, 0, SEEK_SET) != 0) return std::unexpected(Failure::os(errno));
  buffer_.clear();
  start_ = 0;
  eof_ = false;
  number_ = 0;
  return {};
}

std::optional<std::string_view> LineInput::take(std::size_t end, std::size_t next) {
  const std::string_view line(buffer_.data() + start_, end - start_);
  start_ = next;
  ++number_;
  return line;
}

}  // namespace tovik::cli
