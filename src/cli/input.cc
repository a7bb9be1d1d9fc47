// Text helpers and the line reader shared by the shell and batch mode.
#include "cli/input.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "cli/text.h"
#include "core/utf8.h"

namespace tovik::cli {
namespace {

// Decodes the code point at text[i] (valid UTF-8 assumed; a stray byte is
// taken as itself) and its length in bytes.
std::pair<std::uint32_t, std::size_t> decode_at(std::string_view text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  std::size_t len = 1;
  std::uint32_t cp = c;
  if (c >= 0xF0) {
    len = 4;
    cp = c & 0x07u;
  } else if (c >= 0xE0) {
    len = 3;
    cp = c & 0x0Fu;
  } else if (c >= 0xC0) {
    len = 2;
    cp = c & 0x1Fu;
  }
  if (len > 1 && i + len <= text.size()) {
    for (std::size_t k = 1; k < len; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    return {cp, len};
  }
  return {c, 1};
}

// Unicode White_Space: what a user may type around words, however entered.
bool is_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Byte offset and length of the first white space character, or npos.
std::pair<std::size_t, std::size_t> find_space(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto [cp, len] = decode_at(text, i);
    if (is_space(cp)) return {i, len};
    i += len;
  }
  return {std::string_view::npos, 0};
}

}  // namespace

std::string_view trim(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const auto [cp, len] = decode_at(text, begin);
    if (!is_space(cp)) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0u) == 0x80u) --start;
    const auto [cp, len] = decode_at(text, start);
    if (start + len != end || !is_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

WordSplit split_first_whitespace(std::string_view text) {
  const auto [at, len] = find_space(text);
  if (at == std::string_view::npos) return {text, {}, false};
  return {text.substr(0, at), trim(text.substr(at + len)), true};
}

bool contains_whitespace(std::string_view text) {
  return find_space(text).first != std::string_view::npos;
}

InputLine InputReader::read_input_line() {
  // One byte past the limit is enough to know a line is too long.
  constexpr std::size_t kReadCap = kMaxInputLine + 1;
  constexpr std::size_t kChunk = 64 * 1024;
  std::size_t scanned = 0;  // bytes after start_ known to hold no line feed
  for (;;) {
    const std::size_t available = buffer_.size() - start_;
    const std::size_t window = std::min(available, kReadCap);
    const auto found =
        std::string_view(buffer_).substr(start_ + scanned, window - scanned).find('\n');
    if (found != std::string_view::npos) {
      const std::size_t line_len = scanned + found + 1;
      if (line_len > kMaxInputLine) {
        return std::unexpected(Failure::message("input line exceeds 1 MiB"));
      }
      std::string_view line(buffer_.data() + start_, line_len);
      std::string text;
      const bool valid = is_valid_utf8(line);
      if (valid) text.assign(trim(line));
      start_ += line_len;
      if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
      }
      if (!valid) return std::unexpected(Failure::message("stream did not contain valid UTF-8"));
      return std::optional<std::string>(std::move(text));
    }
    scanned = window;
    if (window >= kReadCap) return std::unexpected(Failure::message("input line exceeds 1 MiB"));
    if (eof_) {
      if (available == 0) return std::optional<std::string>();
      // A last line without its line feed.
      std::string_view line(buffer_.data() + start_, available);
      const bool valid = is_valid_utf8(line);
      std::string text = valid ? std::string(trim(line)) : std::string();
      buffer_.clear();
      start_ = 0;
      if (!valid) return std::unexpected(Failure::message("stream did not contain valid UTF-8"));
      return std::optional<std::string>(std::move(text));
    }
    // Compact before growing so the buffer stays near one line plus a chunk.
    if (start_ > 0) {
      buffer_.erase(0, start_);
      start_ = 0;
    }
    const std::size_t want = std::min(kChunk, kReadCap - scanned);
    const std::size_t old = buffer_.size();
    buffer_.resize(old + want);
    ssize_t got;
    do {
      got = ::read(fd_, buffer_.data() + old, want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      const int error = errno;
      buffer_.resize(old);
      return std::unexpected(Failure::os(error));
    }
    buffer_.resize(old + static_cast<std::size_t>(got));
    if (got == 0) eof_ = true;
  }
}

InputReader& standard_input() {
  static InputReader reader(STDIN_FILENO);
  return reader;
}

InputLine read_input_line() { return standard_input().read_input_line(); }

InputLine PlainLineSource::next_line(std::string_view prompt) {
  out_ << prompt;
  out_.flush();
  if (!out_) return std::unexpected(Failure::os(errno != 0 ? errno : EIO));
  return reader_.read_input_line();
}

}  // namespace tovik::cli
