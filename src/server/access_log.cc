#include "server/access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

#include "core/file_system.h"
#include "document/json.h"
#include "server/transport.h"

#include <time.h>

namespace tovik::server {
namespace {

// The longest prefix of text, at most max bytes, that ends on a character
// boundary (text is valid UTF-8: it came through the JSON reader).
std::string_view cut_utf8(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string utc_text(std::chrono::system_clock::time_point time, bool milliseconds) {
  const auto since = time.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm parts{};
  ::gmtime_r(&whole, &parts);
  char text[96];
  if (milliseconds) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis.count()));
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  }
  return text;
}

// A line is written member by member, keys in ascending order, rather than
// through a JSON tree: the log sits on every command's path. Every text but
// the user name is ASCII the server made itself and needs no escaping.
class Line {
 public:
  explicit Line(std::string_view client) {
    text_.reserve(160);
    text_ += "{\"client\":\"";
    text_ += client;
    text_ += '"';
  }
  Line& raw(std::string_view key, std::string_view value) {
    text_ += ",\"";
    text_ += key;
    text_ += "\":";
    text_ += value;
    return *this;
  }
  Line& text(std::string_view key, std::string_view value) {
    text_ += ",\"";
    text_ += key;
    text_ += "\":\"";
    text_ += value;
    text_ += '"';
    return *this;
  }
  Line& flag(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  // The time stamp is the last member but the user name in every line.
  Line& stamp() { return text("ts", rfc3339_milliseconds(std::chrono::system_clock::now())); }
  std::string finish() {
    text_ += "}\n";
    return std::move(text_);
  }

 private:
  std::string text_;
};

std::string milliseconds_text(std::chrono::nanoseconds elapsed) {
  // Microsecond resolution is plenty for a person reading the log.
  const double ms =
      static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) /
      1000.0;
  char digits[32];
  const auto [end, code] = std::to_chars(digits, digits + sizeof digits, ms);
  (void)code;  // 32 bytes hold any double in its shortest form
  return std::string(digits, end);
}

}  // namespace

std::string rfc3339_milliseconds(std::chrono::system_clock::time_point time) {
  return utc_text(time, true);
}

std::string rfc3339_seconds(std::chrono::system_clock::time_point time) {
  return utc_text(time, false);
}

std::string peer_text(int socket) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return "unknown";
  }
  auto address = from_sockaddr(storage, length);
  return address ? format_socket_address(*address) : "unknown";
}

std::expected<std::unique_ptr<AccessLog>, std::string> AccessLog::open(const std::string& path) {
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader.
  // O_NOFOLLOW: a final symbolic link fails (ELOOP) instead of being followed.
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                0600);
  } while (fd < 0 && errno == EINTR);
  const std::string not_regular = std::string(kLogNotRegular) + path;
  if (fd < 0) {
    // A link, a FIFO without a reader (or a socket), a directory.
    if (errno == ELOOP || errno == ENXIO || errno == EISDIR) return std::unexpected(not_regular);
    return std::unexpected(os_error_text(errno));
  }
  UniqueFd file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(os_error_text(errno));
  if (!S_ISREG(st.st_mode)) return std::unexpected(not_regular);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(os_error_text(errno));
  }
  return std::make_unique<AccessLog>(std::move(file));
}

AccessLog::AccessLog(UniqueFd fd, std::size_t queue_lines)
    : fd_(std::move(fd)), capacity_(queue_lines) {
  writer_ = std::thread([this] { write_lines(); });
}

AccessLog::~AccessLog() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void AccessLog::flush() {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = queued_total_;
  written_.wait(lock, [&] { return done_total_ >= target; });
}

void AccessLog::queue_line(std::string line) {
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() < capacity_) {
      queue_.push_back(std::move(line));
      ++queued_total_;
      queued = true;
    }
  }
  if (queued) {
    wake_.notify_one();
  } else {
    errors_.fetch_add(1, std::memory_order_relaxed);
  }
}

void AccessLog::write_lines() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;  // closing, and everything is written
    std::deque<std::string> batch;
    batch.swap(queue_);
    lock.unlock();
    for (const std::string& line : batch) {
      // One write per line: a short write is a failure, never completed by
      // a second write.
      ssize_t written = -1;
      do {
        written = ::write(fd_.get(), line.data(), line.size());
      } while (written < 0 && errno == EINTR);
      if (written != static_cast<ssize_t>(line.size())) {
        errors_.fetch_add(1, std::memory_order_relaxed);
      }
    }
    lock.lock();
    done_total_ += batch.size();
    written_.notify_all();
  }
}

void AccessLog::connect(std::string_view client) {
  queue_line(Line(client).text("event", "connect").stamp().finish());
}

void AccessLog::auth(std::string_view client, bool ok, std::string_view user) {
  const std::string shown = dump_compact(Json(std::string(cut_utf8(user, kMaxLoggedUserBytes))));
  queue_line(Line(client).text("event", "auth").flag("ok", ok).stamp().raw("user", shown).finish());
}

void AccessLog::command(std::string_view client, std::string_view op, bool ok,
                        std::string_view code, std::chrono::nanoseconds elapsed) {
  Line line(client);
  if (!ok) line.text("code", code);
  line.text("event", "command").raw("ms", milliseconds_text(elapsed)).flag("ok", ok);
  queue_line(line.text("op", op).stamp().finish());
}

void AccessLog::disconnect(std::string_view client) {
  queue_line(Line(client).text("event", "disconnect").stamp().finish());
}

void AccessLog::busy(std::string_view client) {
  queue_line(Line(client).text("event", "busy").stamp().finish());
}

}  // namespace tovik::server
