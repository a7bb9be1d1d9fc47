// The running server's counters, as the "server" command shows them.
//
// Every counter is a relaxed atomic: a command adds to a handful of them and
// never waits for anything, so counting costs a get no measurable time. The
// figures read together are not one consistent cut; each is exact on its own.
//
// Commit times are kept in a ring of the last kCommitRing commits (each slot
// a relaxed atomic), from which the snapshot takes p50, p99 and the maximum.
// record_commit is the one place a commit's duration is handed in, whoever
// performs the commit.
//
// ConnectionWatch is one connection's view: it counts the connection while
// it lives, and reports its events to the status and, when one is given, to
// the access log.
//
// Thread-safe. run_server owns the ServerStatus; it outlives every
// connection thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/access_log.h"
#include "server/protocol.h"

namespace tovik::server {

inline constexpr std::size_t kCommitRing = 1'024;

class ServerStatus {
 public:
  ServerStatus();
  ServerStatus(const ServerStatus&) = delete;
  ServerStatus& operator=(const ServerStatus&) = delete;

  void connection_opened() { add(connected_, 1); }
  void connection_closed() { connected_.fetch_sub(1, std::memory_order_relaxed); }
  void command_done(const Command& command, bool ok);
  void transferred(std::uint64_t in, std::uint64_t out);
  void record_commit(std::chrono::nanoseconds duration);

  // log may be null (no access log).
  ServerFigures snapshot(std::size_t max_clients, const AccessLog* log) const;

 private:
  static void add(std::atomic<std::uint64_t>& counter, std::uint64_t n) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }

  std::chrono::system_clock::time_point started_at_;
  std::chrono::steady_clock::time_point started_;
  std::atomic<std::uint64_t> connected_{0};
  std::atomic<std::uint64_t> total_{0};
  std::atomic<std::uint64_t> failed_{0};
  std::array<std::atomic<std::uint64_t>, kCommandCount> by_op_{};
  std::atomic<std::uint64_t> bytes_in_{0};
  std::atomic<std::uint64_t> bytes_out_{0};
  std::atomic<std::uint64_t> commits_{0};
  std::array<std::atomic<std::uint64_t>, kCommitRing> commit_ns_{};
};

// The commands whose success may mean a commit (create, drop_empty, drop,
// the document writes and the filtered writes). The server times the ones
// it executes alone under the store lock, when the generation moved;
// grouped document writes are timed per commit by their leader.
bool commits_on_success(const Command& command);

// Percentiles by the nearest-rank rule over sorted durations: p in (0, 1].
double percentile_ms(const std::uint64_t* sorted_ns, std::size_t count, double p);

class ConnectionWatch {
 public:
  // Counts the connection and logs "connect". log may be null.
  ConnectionWatch(ServerStatus& status, AccessLog* log, int socket);
  // Logs "disconnect" and stops counting the connection.
  ~ConnectionWatch();
  ConnectionWatch(const ConnectionWatch&) = delete;
  ConnectionWatch& operator=(const ConnectionWatch&) = delete;

  void auth(bool ok, std::string_view user);
  // A command's response and how long it took; in and out are the frame
  // bytes of the request and the response.
  void command(const Command& command, const Response& response, std::chrono::nanoseconds elapsed);
  void transferred(std::uint64_t in, std::uint64_t out) { status_.transferred(in, out); }

 private:
  ServerStatus& status_;
  AccessLog* log_;
  std::string client_;  // only filled when there is a log
};

}  // namespace tovik::server
