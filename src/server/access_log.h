// The access log: one JSON line per connection event, appended to a file the
// operator named (serve --log).
//
//   {"client":"127.0.0.1:5000","event":"connect","ts":"2026-01-02T03:04:05.678Z"}
//   event "auth":    + "ok", "user"
//   event "command": + "op", "ok", "ms", and "code" when it failed
//   event "disconnect", "busy": nothing more
//
// Keys are sorted like every other object the system writes. A line never
// holds a password, a document, a filter or an id: only the names above.
// The user name of a login is shown as sent, cut to kMaxLoggedUserBytes.
//
// Each line goes to the file in one write on a descriptor opened with
// O_APPEND, so lines of concurrent connections never interleave and no lock
// is needed. A write that fails or falls short is counted (errors()) and
// otherwise ignored: the log never stops the server or a command.
//
// Thread-safe; shared by every connection thread. The caller keeps it alive
// until the server has returned.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "core/posix_file.h"

namespace tovik::server {

inline constexpr std::size_t kMaxLoggedUserBytes = 128;

class AccessLog {
 public:
  // Opens (creating it with mode 0600 when missing) path for appending.
  // Fails with errno.
  [[nodiscard]] static std::expected<std::unique_ptr<AccessLog>, int> open(const std::string& path);
  explicit AccessLog(UniqueFd fd) : fd_(std::move(fd)) {}

  void connect(std::string_view client);
  void auth(std::string_view client, bool ok, std::string_view user);
  void command(std::string_view client, std::string_view op, bool ok, std::string_view code,
               std::chrono::nanoseconds elapsed);
  void disconnect(std::string_view client);
  void busy(std::string_view client);

  // Lines that could not be written whole.
  std::uint64_t errors() const { return errors_.load(std::memory_order_relaxed); }

 private:
  void write_line(const std::string& line);

  UniqueFd fd_;
  std::atomic<std::uint64_t> errors_{0};
};

// "2026-01-02T03:04:05.678Z": UTC with milliseconds.
std::string rfc3339_milliseconds(std::chrono::system_clock::time_point time);
// "2026-01-02T03:04:05Z": UTC, whole seconds.
std::string rfc3339_seconds(std::chrono::system_clock::time_point time);
// The peer of a connected socket as "host:port", or "unknown".
std::string peer_text(int socket);

}  // namespace tovik::server
