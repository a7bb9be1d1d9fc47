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
// The user name of a login is shown as sent, cut to kMaxLoggedUserBytes;
// it is empty for a first request that was unreadable, of another version
// or not a login at all (each of them a failed login).
//
// The log is a regular file: opening refuses anything else (a FIFO, a
// device, a directory, a final symbolic link) and never waits for a reader.
// Lines never make a command wait: each is handed to a bounded queue that
// one writer thread of the log's own empties, one write per line on a
// descriptor opened with O_APPEND, in the order they were queued. A line
// that finds the queue full, or whose write fails or falls short, is counted
// (errors()) and otherwise dropped: the log never stops the server or a
// command. Destroying the log writes what is queued and joins the writer.
//
// Thread-safe; shared by every connection thread. The caller keeps it alive
// until the server has returned.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/posix_file.h"

namespace tovik::server {

inline constexpr std::size_t kMaxLoggedUserBytes = 128;
// Lines waiting for the writer at most: about a megabyte of lines.
inline constexpr std::size_t kLogQueueLines = 8'192;
inline constexpr std::string_view kLogNotRegular = "log must be a regular file: ";

class AccessLog {
 public:
  // Opens path for appending, creating it with mode 0600 when missing. Fails
  // with kLogNotRegular and the path when something other than a regular
  // file is there, else with the system's error text.
  [[nodiscard]] static std::expected<std::unique_ptr<AccessLog>, std::string> open(
      const std::string& path);
  // Writes to fd (tests hand in pipes and devices); queue_lines >= 1.
  explicit AccessLog(UniqueFd fd, std::size_t queue_lines = kLogQueueLines);
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  void connect(std::string_view client);
  // user is empty when the first request named none.
  void auth(std::string_view client, bool ok, std::string_view user);
  void command(std::string_view client, std::string_view op, bool ok, std::string_view code,
               std::chrono::nanoseconds elapsed);
  void disconnect(std::string_view client);
  void busy(std::string_view client);

  // Lines that were dropped or could not be written whole.
  std::uint64_t errors() const { return errors_.load(std::memory_order_relaxed); }
  // Waits until every line queued before the call is written or counted.
  void flush();

 private:
  void queue_line(std::string line);
  void write_lines();

  UniqueFd fd_;
  const std::size_t capacity_;
  std::atomic<std::uint64_t> errors_{0};
  std::mutex mutex_;
  std::condition_variable wake_;     // the writer: lines queued, or closing
  std::condition_variable written_;  // flush: the writer finished a batch
  std::deque<std::string> queue_;
  std::uint64_t queued_total_ = 0;  // lines ever queued
  std::uint64_t done_total_ = 0;    // of those, written or counted
  bool closing_ = false;
  std::thread writer_;  // last: starts once the rest exists
};

// "2026-01-02T03:04:05.678Z": UTC with milliseconds.
std::string rfc3339_milliseconds(std::chrono::system_clock::time_point time);
// "2026-01-02T03:04:05Z": UTC, whole seconds.
std::string rfc3339_seconds(std::chrono::system_clock::time_point time);
// The peer of a connected socket as "host:port", or "unknown".
std::string peer_text(int socket);

}  // namespace tovik::server
