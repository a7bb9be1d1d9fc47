// The server's counters and its access log: commit-time percentiles over the
// ring, counts per operation, the log's lines and its failures.
#include "server/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "document/json.h"
#include "server/access_log.h"

namespace tovik::server {
namespace {

using std::chrono::milliseconds;

TEST(CommitTimes, NearestRankPercentiles) {
  const std::vector<std::uint64_t> ns = {1'000'000, 2'000'000, 3'000'000, 4'000'000};
  struct Case {
    double p;
    double ms;
  };
  for (const Case& c : {Case{0.50, 2.0}, Case{0.99, 4.0}, Case{0.25, 1.0}, Case{0.26, 2.0}}) {
    EXPECT_EQ(percentile_ms(ns.data(), ns.size(), c.p), c.ms) << c.p;
  }
  EXPECT_EQ(percentile_ms(ns.data(), 0, 0.5), 0.0);
}

TEST(CommitTimes, OnlyTheLastCommitsOfTheRingCount) {
  ServerStatus status;
  for (int i = 0; i < 100; ++i) status.record_commit(milliseconds(500));
  for (std::size_t i = 0; i < kCommitRing; ++i) status.record_commit(milliseconds(i % 2 + 1));
  const ServerFigures figures = status.snapshot(16, nullptr);
  EXPECT_EQ(figures.commits, 100 + kCommitRing);
  EXPECT_EQ(figures.commit_p50_ms, 1.0);
  EXPECT_EQ(figures.commit_p99_ms, 2.0);
  EXPECT_EQ(figures.commit_max_ms, 2.0);
}

TEST(ServerCounters, CommandsConnectionsAndTraffic) {
  ServerStatus status;
  status.command_done(Get{"a"}, true);
  status.command_done(Get{"b"}, false);
  status.command_done(Put{}, true);
  status.transferred(10, 20);
  status.connection_opened();
  status.connection_opened();
  status.connection_closed();
  const ServerFigures figures = status.snapshot(7, nullptr);
  EXPECT_EQ(figures.commands_total, 3u);
  EXPECT_EQ(figures.commands_failed, 1u);
  EXPECT_EQ(figures.commands_by_op[Command(Get{}).index()], 2u);
  EXPECT_EQ(figures.clients_connected, 1u);
  EXPECT_EQ(figures.clients_max, 7u);
  EXPECT_EQ(figures.bytes_in + figures.bytes_out, 30u);
  EXPECT_EQ(figures.started_at.size(), 20u);  // 2026-01-02T03:04:05Z
  EXPECT_TRUE(commits_on_success(Delete{}) && commits_on_success(Create{}));
  EXPECT_FALSE(commits_on_success(Get{}) || commits_on_success(Backup{}));
}

TEST(Rfc3339, UtcWithAndWithoutMilliseconds) {
  const auto time = std::chrono::system_clock::time_point(milliseconds(1'767'323'045'678));
  EXPECT_EQ(rfc3339_milliseconds(time), "2026-01-02T03:04:05.678Z");
  EXPECT_EQ(rfc3339_seconds(time), "2026-01-02T03:04:05Z");
}

class AccessLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("tovik-log-" + std::to_string(::getpid()) + ".jsonl"))
                .string();
    std::filesystem::remove(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::vector<Json> lines() const {
    std::vector<Json> out;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) out.push_back(*parse_json(line));
    return out;
  }
  std::string path_;
};

TEST_F(AccessLogFile, OneSortedLinePerEventCreatedPrivate) {
  auto log = AccessLog::open(path_);
  ASSERT_TRUE(log.has_value());
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  (*log)->connect("127.0.0.1:5");
  (*log)->auth("127.0.0.1:5", false, std::string(300, 'u'));
  (*log)->command("127.0.0.1:5", "get", false, "operation_failed", milliseconds(2));
  (*log)->command("127.0.0.1:5", "put", true, "", std::chrono::microseconds(1'500));
  (*log)->busy("127.0.0.1:6");
  (*log)->disconnect("127.0.0.1:5");
  (*log)->flush();
  const std::vector<Json> got = lines();
  ASSERT_EQ(got.size(), 6u);
  std::vector<std::string> events;
  for (const Json& line : got) {
    events.push_back(line["event"]);
    EXPECT_EQ(line["ts"].get<std::string>().size(), 24u);
    EXPECT_EQ(line["client"], line["event"] == "busy" ? "127.0.0.1:6" : "127.0.0.1:5");
  }
  EXPECT_EQ(events, (std::vector<std::string>{"connect", "auth", "command", "command", "busy",
                                              "disconnect"}));
  EXPECT_EQ(got[1]["user"].get<std::string>(), std::string(kMaxLoggedUserBytes, 'u'));
  EXPECT_EQ(got[1]["ok"], false);
  EXPECT_EQ(got[2]["code"], "operation_failed");
  EXPECT_EQ(got[3]["ms"], 1.5);
  EXPECT_FALSE(got[3].contains("code"));
  EXPECT_EQ((*log)->errors(), 0u);
}

TEST(AccessLogFailure, WritesThatFailAreCountedNotFatal) {
  AccessLog log(UniqueFd(::open("/dev/full", O_WRONLY | O_CLOEXEC)));
  log.connect("127.0.0.1:5");
  log.disconnect("127.0.0.1:5");
  log.flush();
  EXPECT_EQ(log.errors(), 2u);
  ServerStatus status;
  EXPECT_EQ(status.snapshot(1, &log).log_errors, 2u);
  auto missing = AccessLog::open("/nonexistent-dir/log");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

TEST_F(AccessLogFile, AnythingButARegularFileIsRefusedWithoutWaiting) {
  const std::string fifo = path_ + ".fifo";
  const std::string link = path_ + ".link";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(path_) << "";
  std::filesystem::create_symlink(path_, link);
  // A FIFO without a reader would hold a blocking open up forever.
  for (const std::string& path :
       {fifo, link, std::string("/dev/null"), std::filesystem::temp_directory_path().string()}) {
    auto log = AccessLog::open(path);
    ASSERT_FALSE(log.has_value()) << path;
    EXPECT_EQ(log.error(), std::string(kLogNotRegular) + path);
  }
  std::filesystem::remove(fifo);
  std::filesystem::remove(link);
}

TEST(AccessLogQueue, AStalledWriterNeverHoldsUpTheCaller) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd reader(ends[0]);
  ::fcntl(ends[1], F_SETPIPE_SZ, 4096);  // a few dozen lines fill it
  constexpr std::size_t kLines = 2'000;
  constexpr std::size_t kQueue = 8;
  std::optional<AccessLog> log;
  log.emplace(UniqueFd(ends[1]), kQueue);
  // Nobody reads yet: the writer stalls on the full pipe and the queue
  // fills, and still every call returns at once.
  for (std::size_t i = 0; i < kLines; ++i) log->connect(std::to_string(i));
  const std::uint64_t dropped = log->errors();
  EXPECT_GE(dropped, kLines - 4096 / 40 - 2 * kQueue);
  std::string received;
  std::thread drain([&] {
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader.get(), buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  });
  log->flush();
  EXPECT_EQ(log->errors(), dropped);
  log.reset();  // joins the writer and closes the pipe: the drain ends
  drain.join();
  // What was queued arrived whole and in order.
  std::size_t lines = 0;
  long last = -1;
  for (std::size_t at = 0; at < received.size();) {
    const std::size_t end = received.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const long n =
        std::stol((*parse_json(received.substr(at, end - at)))["client"].get<std::string>());
    EXPECT_GT(n, last);
    last = n;
    ++lines;
    at = end + 1;
  }
  EXPECT_EQ(lines + dropped, kLines);
}

}  // namespace
}  // namespace tovik::server
