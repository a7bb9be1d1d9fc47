#include "server/status.h"

#include <algorithm>
#include <cmath>
#include <variant>
#include <vector>

namespace tovik::server {
namespace {

double to_ms(std::uint64_t ns) {
  // Microsecond precision: finer digits are noise at this scale.
  return std::round(static_cast<double>(ns) / 1'000.0) / 1'000.0;
}

}  // namespace

bool commits_on_success(const Command& command) {
  return std::holds_alternative<Create>(command) || std::holds_alternative<DropEmpty>(command) ||
         std::holds_alternative<Put>(command) || std::holds_alternative<Insert>(command) ||
         std::holds_alternative<Update>(command) || std::holds_alternative<Delete>(command) ||
         std::holds_alternative<UpdateMany>(command) ||
         std::holds_alternative<DeleteMany>(command) || std::holds_alternative<Drop>(command);
}

ServerStatus::ServerStatus()
    : started_at_(std::chrono::system_clock::now()), started_(std::chrono::steady_clock::now()) {}

void ServerStatus::command_done(const Command& command, bool ok) {
  add(total_, 1);
  if (!ok) add(failed_, 1);
  add(by_op_[command.index()], 1);
}

void ServerStatus::transferred(std::uint64_t in, std::uint64_t out) {
  if (in != 0) add(bytes_in_, in);
  if (out != 0) add(bytes_out_, out);
}

void ServerStatus::record_commit(std::chrono::nanoseconds duration) {
  const std::uint64_t slot = commits_.fetch_add(1, std::memory_order_relaxed) % kCommitRing;
  commit_ns_[slot].store(static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count())),
                         std::memory_order_relaxed);
}

double percentile_ms(const std::uint64_t* sorted_ns, std::size_t count, double p) {
  if (count == 0) return 0;
  auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(count)));
  rank = std::clamp<std::size_t>(rank, 1, count);
  return to_ms(sorted_ns[rank - 1]);
}

ServerFigures ServerStatus::snapshot(std::size_t max_clients, const AccessLog* log) const {
  ServerFigures figures;
  figures.started_at = rfc3339_seconds(started_at_);
  figures.uptime_s = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_)
          .count());
  figures.clients_connected = connected_.load(std::memory_order_relaxed);
  figures.clients_max = max_clients;
  figures.commands_total = total_.load(std::memory_order_relaxed);
  figures.commands_failed = failed_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < kCommandCount; ++i) {
    figures.commands_by_op[i] = by_op_[i].load(std::memory_order_relaxed);
  }
  figures.commits = commits_.load(std::memory_order_relaxed);
  const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(figures.commits, kCommitRing));
  std::vector<std::uint64_t> times(kept);
  for (std::size_t i = 0; i < kept; ++i) times[i] = commit_ns_[i].load(std::memory_order_relaxed);
  std::sort(times.begin(), times.end());
  figures.commit_p50_ms = percentile_ms(times.data(), kept, 0.50);
  figures.commit_p99_ms = percentile_ms(times.data(), kept, 0.99);
  figures.commit_max_ms = kept == 0 ? 0 : to_ms(times.back());
  figures.bytes_in = bytes_in_.load(std::memory_order_relaxed);
  figures.bytes_out = bytes_out_.load(std::memory_order_relaxed);
  figures.log_errors = log == nullptr ? 0 : log->errors();
  return figures;
}

ConnectionWatch::ConnectionWatch(ServerStatus& status, AccessLog* log, int socket)
    : status_(status), log_(log) {
  status_.connection_opened();
  if (log_ == nullptr) return;
  client_ = peer_text(socket);
  log_->connect(client_);
}

ConnectionWatch::~ConnectionWatch() {
  if (log_ != nullptr) log_->disconnect(client_);
  status_.connection_closed();
}

void ConnectionWatch::auth(bool ok, std::string_view user) {
  if (log_ != nullptr) log_->auth(client_, ok, user);
}

void ConnectionWatch::command(const Command& command, const Response& response,
                              std::chrono::nanoseconds elapsed) {
  status_.command_done(command, response.ok);
  if (log_ == nullptr) return;
  const std::string_view code = response.error ? std::string_view(response.error->code) : "";
  log_->command(client_, op_name(command), response.ok, code, elapsed);
}

}  // namespace tovik::server
