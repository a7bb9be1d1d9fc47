// Storage engine figures: one-mutation commits against the floor any
// commit must pay on the same file system, lookups, and opening a full
// snapshot. Prints figures; asserts nothing about time.
//
// Usage: store_bench [directory]   (default: ./store_bench_data, removed after)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/database_copy.h"
#include "core/posix_file.h"
#include "core/store.h"

#include <time.h>

namespace {

using Clock = std::chrono::steady_clock;
using tovik::Mutation;
using tovik::Store;
using tovik::StoreConfig;

constexpr int kCommitRuns = 15;
constexpr int kGetRuns = 3000;
constexpr int kOpenRuns = 15;
// 12 + 9 + 179 = 200 bytes per record: 80,000 of them nearly fill a slot.
constexpr std::size_t kValueSize = 179;

struct Figures {
  double min = 0, median = 0, max = 0;
};

Figures summarise(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples.front(), samples[samples.size() / 2], samples.back()};
}

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// CPU time of this thread: on a shared machine it moves far less than wall
// time, so it shows what the code costs apart from waiting for the disk or
// for another process's turn on a core.
double cpu_micros() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

std::string key_of(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "k%08d", i);
  return buf;
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "store_bench: %s\n", what);
  std::exit(1);
}

Store open_store(const std::string& path, bool create) {
  auto fd = tovik::open_database_file(path, create);
  if (!fd) die("open_database_file failed");
  auto store = Store::open(std::move(*fd), StoreConfig{});
  if (!store) die("Store::open failed");
  return std::move(*store);
}

void fill(Store& store, int records) {
  std::vector<Mutation> batch;
  for (int i = 0; i < records; ++i) {
    batch.push_back({key_of(i), std::string(kValueSize, static_cast<char>('a' + i % 26))});
    if (batch.size() == tovik::kMaxBatchMutations || i + 1 == records) {
      if (!store.apply(batch)) die("fill commit failed");
      batch.clear();
    }
  }
}

// Two 64-byte write+fsync pairs, one sequential write+fsync of live_bytes and
// the CRC of live_bytes: what publishing a snapshot of that size must cost.
Figures floor_of(const std::string& dir, std::uint64_t live_bytes, double* cpu_median) {
  const std::string path = dir + "/floor.bin";
  tovik::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || ::ftruncate(fd.get(), 2 * 16'777'216) != 0) die("floor file");
  std::string data(live_bytes, 'x');
  const std::string header(64, 'h');
  std::vector<double> samples;
  std::vector<double> cpu_samples;
  volatile std::uint32_t sink = 0;
  for (int run = 0; run < kCommitRuns; ++run) {
    const std::uint64_t slot = static_cast<std::uint64_t>(run % 2) * 16'777'216;
    const double cpu = cpu_micros();
    const auto start = Clock::now();
    if (!tovik::pwrite_full(fd.get(), slot, header) || !tovik::fsync_retry(fd.get())) die("floor");
    sink = sink + tovik::crc32(std::string_view(data));
    if (!tovik::pwrite_full(fd.get(), slot + 64, data) || !tovik::fsync_retry(fd.get())) {
      die("floor");
    }
    if (!tovik::pwrite_full(fd.get(), slot, header) || !tovik::fsync_retry(fd.get())) die("floor");
    samples.push_back(micros_since(start));
    cpu_samples.push_back(cpu_micros() - cpu);
  }
  *cpu_median = summarise(cpu_samples).median;
  std::filesystem::remove(path);
  return summarise(samples);
}

void bench_size(const std::string& dir, int records) {
  const std::string path = dir + "/bench-" + std::to_string(records) + ".tovik";
  std::filesystem::remove(path);
  Store store = open_store(path, true);
  fill(store, records);

  std::mt19937 rng(42);
  std::vector<double> commits;
  std::vector<double> commit_cpu;
  // The first two commits after opening write both slots in full; from then
  // on a commit writes what changed.
  for (int run = 0; run < kCommitRuns + 2; ++run) {
    const std::vector<Mutation> one{{key_of(records > 0 ? static_cast<int>(rng() % records) : run),
                                     std::string(kValueSize, 'z')}};
    const double cpu = cpu_micros();
    const auto start = Clock::now();
    if (!store.apply(one)) die("commit failed");
    if (run < 2) continue;
    commits.push_back(micros_since(start));
    commit_cpu.push_back(cpu_micros() - cpu);
  }
  const Figures commit = summarise(commits);
  // An id beyond every other (time-ordered ids), and one at a random place.
  auto timed_commits = [&](auto&& key_for) {
    std::vector<double> samples;
    for (int run = 0; run < kCommitRuns; ++run) {
      const std::vector<Mutation> one{{key_for(run), std::string(kValueSize, 'n')}};
      const auto start = Clock::now();
      if (!store.apply(one)) die("commit failed");
      samples.push_back(micros_since(start));
    }
    return summarise(samples);
  };
  const Figures append = timed_commits([](int run) { return "z" + key_of(run); });
  const Figures insert = timed_commits([&](int run) {
    return key_of(records > 0 ? static_cast<int>(rng() % records) : 0) + "i" + std::to_string(run);
  });
  static double empty_commit = 0;
  if (records == 0) empty_commit = commit.median;
  double floor_cpu = 0;
  const Figures floor = floor_of(dir, store.live_bytes(), &floor_cpu);

  std::vector<double> gets;
  const double get_cpu_start = cpu_micros();
  for (int run = 0; run < kGetRuns; ++run) {
    const std::string key = key_of(static_cast<int>(rng() % std::max(records, 1)));
    const auto start = Clock::now();
    auto value = store.get(key);
    gets.push_back(micros_since(start));
    if (!value || (records > 0 && !*value)) die("get failed");
  }
  const double get_cpu = (cpu_micros() - get_cpu_start) / kGetRuns;
  const Figures get = summarise(gets);

  std::printf("records %6d  live_bytes %9llu\n", records,
              static_cast<unsigned long long>(store.live_bytes()));
  std::printf("  commit (1 mutation) us: min %9.1f  median %9.1f  max %9.1f\n", commit.min,
              commit.median, commit.max);
  std::printf("  commit cpu         us: median %9.1f   (floor cpu median %.1f)\n",
              summarise(commit_cpu).median, floor_cpu);
  std::printf("  same-size update / empty commit (medians): %.2f   (target 1.5)\n",
              commit.median / empty_commit);
  std::printf("  append id          us: median %9.1f   / empty commit %.2f   (target 1.5)\n",
              append.median, append.median / empty_commit);
  std::printf("  insert random id   us: median %9.1f   / empty commit %.2f\n", insert.median,
              insert.median / empty_commit);
  std::printf("  floor              us: min %9.1f  median %9.1f  max %9.1f\n", floor.min,
              floor.median, floor.max);
  std::printf("  commit / floor (medians): %.2f   (min/min %.2f)\n", commit.median / floor.median,
              commit.min / floor.min);
  std::printf("  get                us: min %9.1f  median %9.1f  max %9.1f  (cpu mean %.1f)\n",
              get.min, get.median, get.max, get_cpu);
  static double thousand_get = 0;
  if (records == 1000) thousand_get = get.median;
  if (records > 1000) {
    std::printf("  get / get at 1,000 records (medians): %.2f   (target 1.5)\n",
                get.median / thousand_get);
  }
}

// A database of `slot_size` made, filled to about 95% with 200-byte records,
// and then opened, checked, updated, read and backed up.
void bench_capacity(const std::string& dir, std::uint64_t slot_size) {
  const std::string path = dir + "/capacity-" + std::to_string(slot_size) + ".tovik";
  const std::string copy = path + ".backup";
  std::filesystem::remove(path);
  std::filesystem::remove(copy);
  StoreConfig config;
  config.slot_size = slot_size;
  auto fd = tovik::open_database_file(path, true);
  if (!fd) die("open_database_file failed");
  auto start = Clock::now();
  auto made = Store::open(std::move(*fd), config);
  if (!made) die("init failed");
  const double init = micros_since(start);
  std::optional<Store> filling(std::move(*made));
  const int records = static_cast<int>(slot_size / 200 * 95 / 100);
  std::vector<Mutation> batch;
  for (int i = 0; i < records; ++i) {
    batch.push_back({key_of(i), std::string(kValueSize, static_cast<char>('a' + i % 26))});
    if (batch.size() == 65'536 || i + 1 == records) {
      if (!filling->apply_bulk(batch)) die("fill failed");
      batch.clear();
    }
  }
  filling.reset();
  fd = tovik::open_existing_database(path);
  if (!fd) die("open_existing_database failed");
  start = Clock::now();
  auto opened = Store::open(std::move(*fd), StoreConfig{});
  if (!opened) die("Store::open failed");
  const double open = micros_since(start);
  std::optional<Store> store(std::move(*opened));
  start = Clock::now();
  if (!store->verify(nullptr)) die("check failed");
  const double check = micros_since(start);
  std::mt19937 rng(7);
  std::vector<double> commits;
  for (int run = 0; run < kCommitRuns + 2; ++run) {
    const std::vector<Mutation> one{
        {key_of(static_cast<int>(rng() % records)), std::string(kValueSize, 'u')}};
    start = Clock::now();
    if (!store->apply(one)) die("commit failed");
    if (run >= 2) commits.push_back(micros_since(start));
  }
  std::vector<double> gets;
  for (int run = 0; run < kGetRuns; ++run) {
    const std::string key = key_of(static_cast<int>(rng() % records));
    start = Clock::now();
    auto value = store->get(key);
    gets.push_back(micros_since(start));
    if (!value || !*value) die("get failed");
  }
  store.reset();
  start = Clock::now();
  auto copied = tovik::copy_database_file(path, copy, tovik::real_file_system(),
                                          [] { return tovik::RecordValidator(); });
  if (!copied) die("backup failed");
  const double backup = micros_since(start);
  std::printf(
      "capacity %llu MiB, %d records: init %.1f ms  open %.1f ms  check %.1f ms  "
      "backup %.1f ms\n  same-size update commit median %.1f us  get median %.1f us\n",
      static_cast<unsigned long long>(slot_size >> 20), records, init / 1e3, open / 1e3,
      check / 1e3, backup / 1e3, summarise(commits).median, summarise(gets).median);
  std::filesystem::remove(path);
  std::filesystem::remove(copy);
}

void bench_open(const std::string& dir) {
  const std::string path = dir + "/bench-80000.tovik";
  {
    // Top the snapshot up to nearly the slot's capacity: 83,850 records of 200 bytes.
    Store store = open_store(path, false);
    std::vector<Mutation> batch;
    for (int i = 80'000; i < 83'850; ++i) {
      batch.push_back({key_of(i), std::string(kValueSize, 'f')});
      if (batch.size() == tovik::kMaxBatchMutations || i + 1 == 83'850) {
        if (!store.apply(batch)) die("top-up commit failed");
        batch.clear();
      }
    }
  }
  std::vector<double> opens;
  std::vector<double> open_cpu;
  std::uint64_t live = 0;
  for (int run = 0; run < kOpenRuns; ++run) {
    auto fd = tovik::open_existing_database(path);
    if (!fd) die("open_existing_database failed");
    const double cpu = cpu_micros();
    const auto start = Clock::now();
    auto store = Store::open(std::move(*fd), StoreConfig{});
    opens.push_back(micros_since(start));
    open_cpu.push_back(cpu_micros() - cpu);
    if (!store) die("Store::open failed");
    live = store->live_bytes();
  }
  const Figures open = summarise(opens);
  std::printf("Store::open of a %llu-byte snapshot us: min %9.1f  median %9.1f  max %9.1f\n",
              static_cast<unsigned long long>(live), open.min, open.median, open.max);
  std::printf("  cpu us: median %9.1f\n", summarise(open_cpu).median);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "store_bench_data";
  std::filesystem::create_directories(dir);
  for (int records : {0, 1000, 80'000}) bench_size(dir, records);
  bench_open(dir);
  for (std::uint64_t slot : {std::uint64_t{16} << 20, std::uint64_t{1} << 30}) {
    bench_capacity(dir, slot);
  }
  if (argc <= 1) std::filesystem::remove_all(dir);
  return 0;
}
