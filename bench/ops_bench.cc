// Figures for the writes by filter and the sorted query, each beside its
// floor in the same run, never asserted:
//   bulkput    the import's way of writing: 20,000 parsed documents staged
//              into one WriteBatch and committed with commit_bulk, over a den
//              of 40,000 (the floor of the filtered writes)
//   delmany    delete_many of the 20,000 of those 40,000 that match
//              (target: within 2x of bulkput)
//   updmany    update_many with $inc on the same 20,000 (target: within 2x
//              of bulkput)
//   count      count_documents over a den of 80,000 (the floor of sorted)
//   sorted     the first sorted page of 20 of those 80,000, on a number
//              member (target: within 2x of count)
//
// Each write runs on a fresh copy of the seeded file, opened with real
// syncs; the copy and the opening are not timed.
//
// Usage: ops_bench [repeats] [writes|sorted]   (default 5 repeats, both parts)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench_store.h"
#include "core/store.h"
#include "document/documents.h"
#include "document/filter.h"
#include "document/filtered_writes.h"
#include "document/json.h"
#include "document/keys.h"
#include "document/queries.h"
#include "document/sorted_query.h"
#include "server/protocol.h"

#include <time.h>

namespace tovik {
namespace {

using bench::die;
using bench::open_store;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kDen = "orders";

std::string numbered(std::size_t n) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu", n);
  return digits;
}

// About 120 bytes; n takes ten values, total is unique and scattered.
Json document(std::size_t i) {
  return Json{{"id", numbered(i)},
              {"name", "customer " + numbered(i)},
              {"status", i % 2 == 0 ? "active" : "closed"},
              {"n", static_cast<std::uint64_t>(i % 10)},
              {"total", static_cast<std::uint64_t>((i * 7'919) % 1'000'003)},
              {"tags", {"alpha", "beta"}}};
}

void seed(const std::string& path, std::size_t count) {
  bench::NoSyncIo no_sync;
  Store store = open_store(path, true, no_sync);
  WriteBatch batch(store);
  for (std::size_t i = 0; i < count; ++i) {
    if (!batch.stage(kDefaultWarren, kDen, WriteKind::Put, numbered(i), document(i))) {
      die("seeding failed");
    }
  }
  if (!batch.commit_bulk()) die("seeding failed");
}

struct Spread {
  double min = 0, median = 0, max = 0;
};

Spread spread(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return Spread{samples.front(), samples[samples.size() / 2], samples.back()};
}

double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs write on a fresh copy of seeded, timing it alone.
Spread time_write(int repeats, const std::string& seeded, const std::string& work,
                  const std::function<void(Store&)>& write) {
  std::vector<double> samples;
  for (int i = 0; i < repeats; ++i) {
    std::filesystem::copy_file(seeded, work, std::filesystem::copy_options::overwrite_existing);
    Store store = open_store(work, false, real_file_system());
    const auto start = Clock::now();
    write(store);
    samples.push_back(elapsed_ms(start));
  }
  return spread(samples);
}

void print(const char* name, const Spread& s, const std::string& note) {
  std::printf("%-8s min %8.2f ms  median %8.2f ms  max %8.2f ms  %s\n", name, s.min, s.median,
              s.max, note.c_str());
}

// Medians, and minimums (steadier on a loaded machine).
std::string ratio(const Spread& figure, const Spread& floor, const char* target) {
  char text[128];
  std::snprintf(text, sizeof text, "%.2fx, at the minimums %.2fx; target %s",
                figure.median / floor.median, figure.min / floor.min, target);
  return text;
}

QueryFilter compile(const char* text) {
  auto filter = QueryFilter::compile(*parse_json(text));
  if (!filter) die("filter refused");
  return std::move(*filter);
}

void filtered_writes(int repeats, const std::string& dir) {
  const std::string seeded = dir + "/writes.tovik";
  const std::string work = dir + "/work.tovik";
  seed(seeded, 40'000);
  std::vector<Json> half;  // what both filtered writes touch: n < 5
  for (std::size_t i = 0; i < 40'000; ++i) {
    if (i % 10 < 5) half.push_back(document(i));
  }
  const Spread put = time_write(repeats, seeded, work, [&](Store& store) {
    WriteBatch batch(store);
    for (const Json& doc : half) {
      const auto& id = doc["id"].get_ref<const std::string&>();
      if (!batch.stage(kDefaultWarren, kDen, WriteKind::Put, id, doc)) die("bulk put failed");
    }
    if (!batch.commit_bulk()) die("bulk put failed");
  });
  print("bulkput", put, "(20,000 documents of 40,000, WriteBatch + commit_bulk)");

  const QueryFilter lower = compile(R"({"n":{"$lt":5}})");
  const Spread deleted = time_write(repeats, seeded, work, [&](Store& store) {
    auto result = delete_many(store, kDefaultWarren, kDen, lower);
    if (!result || result->deleted != 20'000) die("delete_many failed");
  });
  print("delmany", deleted, "(20,000 of 40,000; " + ratio(deleted, put, "2x bulkput)"));

  const Json inc = *parse_json(R"({"$inc":{"total":1}})");
  const Spread updated = time_write(repeats, seeded, work, [&](Store& store) {
    auto result = update_many(store, kDefaultWarren, kDen, lower, inc);
    if (!result || result->modified != 20'000) die("update_many failed");
  });
  print("updmany", updated, "(20,000 of 40,000 with $inc; " + ratio(updated, put, "2x bulkput)"));
}

double cpu_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Count and the sorted page run in turns, so that a busy machine weighs on
// both alike; their processor time is printed too, which other work on the
// machine disturbs less than the clock.
void sorted_page(int repeats, const std::string& dir) {
  const std::string path = dir + "/sorted.tovik";
  seed(path, 80'000);
  Store store = open_store(path, false, real_file_system());
  const QueryFilter all = compile("{}");
  const SortOrder by_total = *SortOrder::compile(std::vector<std::string>{"-total"});
  std::vector<double> count_wall, count_cpu, sorted_wall, sorted_cpu;
  for (int i = 0; i < repeats * 4; ++i) {
    auto start = Clock::now();
    double cpu = cpu_ms();
    auto counted = count_documents(store, kDefaultWarren, kDen, all);
    if (!counted || counted->count != 80'000) die("count failed");
    count_cpu.push_back(cpu_ms() - cpu);
    count_wall.push_back(elapsed_ms(start));

    start = Clock::now();
    cpu = cpu_ms();
    auto page = sorted_query_page(store, kDefaultWarren, kDen, all, by_total, nullptr, 0, 20,
                                  std::nullopt, server::kResponseDocumentBytes);
    if (!page || page->documents.size() != 20) die("sorted page failed");
    sorted_cpu.push_back(cpu_ms() - cpu);
    sorted_wall.push_back(elapsed_ms(start));
  }
  const Spread count = spread(count_wall), sorted = spread(sorted_wall);
  const Spread count_p = spread(count_cpu), sorted_p = spread(sorted_cpu);
  print("count", count, "(80,000 documents, filter {})");
  print("sorted", sorted, "(first 20 of 80,000 by -total; " + ratio(sorted, count, "2x count)"));
  print("count", count_p, "(processor time)");
  print("sorted", sorted_p, "(processor time; " + ratio(sorted_p, count_p, "2x count)"));
}

}  // namespace
}  // namespace tovik

int main(int argc, char** argv) {
  tovik::bench::g_bench_name = "ops_bench";
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string dir = tovik::bench::make_temp_dir("tovik-opsbench");
  const std::string part = argc > 2 ? argv[2] : "";
  if (part != "sorted") tovik::filtered_writes(repeats, dir);
  if (part != "writes") tovik::sorted_page(repeats, dir);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
