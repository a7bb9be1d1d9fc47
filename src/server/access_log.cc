#include "server/access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

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

Json event(std::string_view name, std::string_view client) {
  return Json{{"ts", rfc3339_milliseconds(std::chrono::system_clock::now())},
              {"event", std::string(name)},
              {"client", std::string(client)}};
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

std::expected<std::unique_ptr<AccessLog>, int> AccessLog::open(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  return std::make_unique<AccessLog>(UniqueFd(fd));
}

void AccessLog::write_line(const std::string& line) {
  // One write per line: a second write for a short remainder could land
  // after another thread's line. A short write is counted as a failure.
  ssize_t written = -1;
  do {
    written = ::write(fd_.get(), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    errors_.fetch_add(1, std::memory_order_relaxed);
  }
}

void AccessLog::connect(std::string_view client) {
  write_line(dump_compact(event("connect", client)) + "\n");
}

void AccessLog::auth(std::string_view client, bool ok, std::string_view user) {
  Json line = event("auth", client);
  line["ok"] = ok;
  line["user"] = std::string(cut_utf8(user, kMaxLoggedUserBytes));
  write_line(dump_compact(line) + "\n");
}

void AccessLog::command(std::string_view client, std::string_view op, bool ok,
                        std::string_view code, std::chrono::nanoseconds elapsed) {
  Json line = event("command", client);
  line["op"] = std::string(op);
  line["ok"] = ok;
  if (!ok) line["code"] = std::string(code);
  // Microsecond resolution is plenty for a person reading the log.
  line["ms"] =
      static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) /
      1000.0;
  write_line(dump_compact(line) + "\n");
}

void AccessLog::disconnect(std::string_view client) {
  write_line(dump_compact(event("disconnect", client)) + "\n");
}

void AccessLog::busy(std::string_view client) {
  write_line(dump_compact(event("busy", client)) + "\n");
}

}  // namespace tovik::server
