// Figures for query and count, printed beside find in the same run, never
// asserted:
//   find       find over a den of 10,000 ~200-byte documents, none matching
//   query      query with a range on a nested number over the same den, none
//              matching (target: within 1.3x of find)
//   idrange    query of an id range returning 100 documents from a den of
//              80,000 (target: under 1 ms, examined about 100)
//   count      count over the 80,000 with a two-condition filter (target:
//              under 25 ms)
//   den        the floor of count: the store's own walk over those records
//
// Usage: query_bench [repeats] [export-file]   (default 25 repeats)
// With export-file, the 10,000 stored texts of the first den are written
// there, one per line, for the sqlite3 peer in query_bench.py.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_store.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "document/filter.h"
#include "document/json.h"
#include "document/keys.h"
#include "document/queries.h"
#include "server/protocol.h"

#include <stdlib.h>

namespace tovik {
namespace {

using bench::die;
using bench::NoSyncIo;
using bench::open_store;

using Clock = std::chrono::steady_clock;

std::string numbered(std::size_t n) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu", n);
  return digits;
}

// A stored document of about `size` bytes with a nested number.
std::string document_text(std::size_t n, std::size_t size) {
  const std::string id = numbered(n);
  Json document = {{"id", id},
                   {"name", "customer " + id},
                   {"status", n % 2 == 0 ? "active" : "closed"},
                   {"dims", {{"w", static_cast<std::uint64_t>(n % 97)}, {"h", 12}}},
                   {"tags", {"alpha", "beta"}},
                   {"total", 1234.5},
                   {"n", static_cast<std::uint64_t>(n % 10)}};
  const std::size_t bare = dump_compact(document).size() + 10;
  document["note"] = std::string(size > bare ? size - bare : 1, 'x');
  return dump_compact(document);
}

void seed(Store& store, std::string_view den, std::size_t count, std::size_t size,
          std::ofstream* export_to = nullptr) {
  for (std::size_t stored = 0; stored < count;) {
    std::vector<Mutation> batch;
    for (; batch.size() < kMaxBatchMutations && stored < count; ++stored) {
      Mutation m{*document_key(kDefaultWarren, den, numbered(stored)), document_text(stored, size)};
      if (export_to != nullptr) *export_to << *m.value << '\n';
      batch.push_back(std::move(m));
    }
    if (!store.apply(batch)) die("seeding failed");
  }
}

struct Spread {
  double min = 0, median = 0, max = 0;
};

template <typename Run>
Spread repeat(int times, Run&& run) {
  std::vector<double> samples;
  for (int i = 0; i < times; ++i) {
    const auto start = Clock::now();
    run();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(samples.begin(), samples.end());
  return Spread{samples.front(), samples[samples.size() / 2], samples.back()};
}

void print_spread(const char* name, const Spread& s, const std::string& note) {
  std::printf("%-8s min %8.3f ms  median %8.3f ms  max %8.3f ms  %s\n", name, s.min, s.median,
              s.max, note.c_str());
}

QueryFilter compile(const char* text) {
  auto filter = QueryFilter::compile(*parse_json(text));
  if (!filter) die("filter refused");
  return std::move(*filter);
}

}  // namespace
}  // namespace tovik

int main(int argc, char** argv) {
  tovik::bench::g_bench_name = "query_bench";
  using namespace tovik;
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 25;
  const std::string pattern = bench::make_temp_dir("tovik-qbench");
  const std::string dir = pattern;
  constexpr std::size_t kBytes = server::kResponseDocumentBytes;

  {
    // The den of find's own figure, with dens before and after it.
    const std::string path = dir + "/small.tovik";
    {
      std::optional<std::ofstream> exported;
      if (argc > 2) exported.emplace(argv[2]);
      NoSyncIo no_sync;
      Store seeding = open_store(path, true, no_sync);
      seed(seeding, "a", 20'000, 200);
      seed(seeding, "orders", 10'000, 200, exported ? &*exported : nullptr);
      seed(seeding, "z", 5'000, 200);
    }
    Store store = open_store(path, false, real_file_system());
    std::uint64_t examined = 0;
    const Filter none{"status", Json("missing")};
    const Spread find = repeat(repeats, [&] {
      auto result = query_documents(store, kDefaultWarren, "orders", none, kBytes);
      if (!result || !result->documents.empty()) die("find failed");
      examined = result->examined;
    });
    print_spread("find", find, "(examined " + std::to_string(examined) + ", status=\"missing\")");

    const QueryFilter range = compile(R"({"dims.w":{"$gt":1000,"$lt":2000}})");
    const Spread query = repeat(repeats, [&] {
      auto result =
          query_page(store, kDefaultWarren, "orders", range, nullptr, 100, std::nullopt, kBytes);
      if (!result || !result->documents.empty()) die("query failed");
      examined = result->examined;
    });
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, ", %.2fx find; target 1.3x)", query.median / find.median);
    print_spread("query", query,
                 "(examined " + std::to_string(examined) + ", dims.w in (1000, 2000)" + ratio);
  }

  {
    const std::string path = dir + "/large.tovik";
    {
      NoSyncIo no_sync;
      Store seeding = open_store(path, true, no_sync);
      seed(seeding, "orders", 80'000, 120);
    }
    Store store = open_store(path, false, real_file_system());
    std::uint64_t examined = 0;
    std::size_t returned = 0;
    const QueryFilter ids = compile(R"({"id":{"$gte":"00040000","$lt":"00040100"}})");
    const Spread idrange = repeat(repeats * 4, [&] {
      auto result =
          query_page(store, kDefaultWarren, "orders", ids, nullptr, 100, std::nullopt, kBytes);
      if (!result) die("id range query failed");
      examined = result->examined;
      returned = result->documents.size();
    });
    print_spread("idrange", idrange,
                 "(" + std::to_string(returned) + " of 80,000 returned, examined " +
                     std::to_string(examined) + "; target < 1 ms)");

    const QueryFilter two = compile(R"({"status":"active","dims.w":{"$gte":50}})");
    std::uint64_t counted = 0;
    const Spread count = repeat(repeats, [&] {
      auto result = count_documents(store, kDefaultWarren, "orders", two);
      if (!result || !result->complete) die("count failed");
      counted = result->count;
      examined = result->examined;
    });
    const std::string prefix = *collection_prefix(kDefaultWarren, "orders");
    const Spread den = repeat(repeats, [&] {
      auto cursor = store.scan_from(prefix);
      if (!cursor) die("den walk failed");
      for (;;) {
        auto more = cursor->next();
        if (!more) die("den walk failed");
        if (!*more || !cursor->key().starts_with(prefix)) break;
      }
    });
    print_spread("den", den, "(the floor of count: the store's walk over the 80,000 records)");
    print_spread("count", count,
                 "(" + std::to_string(counted) + " of " + std::to_string(examined) +
                     " examined, status and dims.w >= 50; target < 25 ms)");
  }

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
