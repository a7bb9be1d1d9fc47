// What the status counters and the access log add to one command, measured
// in process, so the figure does not drown in the noise of a loopback round
// trip on a shared machine:
//
//   counting: the two clock reads and the counter updates the server makes
//             per command, 1 thread and 2 threads on one ServerStatus
//   logging:  one access-log command line, built and appended to a file
//
// Usage: status_bench [iterations, default 2,000,000] [repetitions, default 5]
// The log file lives in TMPDIR (or /tmp). Prints figures only.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/access_log.h"
#include "server/protocol.h"
#include "server/status.h"

namespace {

using namespace tovik::server;
using Clock = std::chrono::steady_clock;

// The server's per-command work on the counters (ConnectionWatch without a log).
double count_ns(ServerStatus& status, long iterations) {
  const Command get = Get{"k"};
  Response response;
  const auto start = Clock::now();
  for (long i = 0; i < iterations; ++i) {
    const auto began = Clock::now();
    status.command_done(get, response.ok);
    status.transferred(40, 80);
    const auto took = Clock::now() - began;
    if (took.count() < 0) std::abort();  // keeps the clock reads
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
         static_cast<double>(iterations);
}

double log_ns(AccessLog& log, long iterations) {
  const auto start = Clock::now();
  for (long i = 0; i < iterations; ++i) {
    log.command("127.0.0.1:40000", "get", true, "", std::chrono::microseconds(12));
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
         static_cast<double>(iterations);
}

void report(const char* name, std::vector<double> runs) {
  std::sort(runs.begin(), runs.end());
  std::printf("%-40s median %8.1f ns  min %8.1f  max %8.1f\n", name, runs[runs.size() / 2],
              runs.front(), runs.back());
}

}  // namespace

int main(int argc, char** argv) {
  const long iterations = argc > 1 ? std::atol(argv[1]) : 2'000'000;
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 5;
  const char* tmp = std::getenv("TMPDIR");
  const std::string path = std::string(tmp ? tmp : "/tmp") + "/tovik-status-bench-" +
                           std::to_string(::getpid()) + ".log";
  auto log = AccessLog::open(path);
  if (!log) {
    std::perror("log");
    return 1;
  }
  std::vector<double> one, two, logged;
  for (int r = 0; r < repetitions; ++r) {
    ServerStatus status;
    one.push_back(count_ns(status, iterations));
    double second = 0;
    std::thread other([&] { second = count_ns(status, iterations); });
    const double first = count_ns(status, iterations);
    other.join();
    two.push_back(std::max(first, second));
    logged.push_back(log_ns(**log, iterations / 20));
    std::filesystem::resize_file(path, 0);
  }
  std::filesystem::remove(path);
  report("counting per command, 1 thread", one);
  report("counting per command, 2 threads", two);
  report("access-log line per command", logged);
  return 0;
}
