// Figures for the document layer, printed, never asserted:
//   put      documents stored per second into an empty den, one commit each
//   find     one find over a den of 10,000 ~200-byte documents, none matching
//   scan     one unfiltered find (the first 100 documents returned)
//   walk     the offline scan of the whole den: all 10,000 documents handed over
//   den      the floor of the three: the store's walk over the den's records
//   check    check_documents over a full 16 MiB snapshot of ~200-byte documents
//   verify   the floor of check: the store's walk accepting every record
//
// Usage: document_bench [puts] [repeats]   (defaults 200 and 15)
// The seeding of the large databases skips fsync (it is setup, not what is
// measured); the measured operations use the real file calls.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_store.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "document/documents.h"
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

constexpr std::size_t kPageBytes = server::kResponseDocumentBytes;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A ~200-byte stored document.
std::string document_text(const std::string& id) {
  Json document = {{"id", id},           {"name", "customer " + id},
                   {"status", "active"}, {"tags", {"alpha", "beta", "gamma"}},
                   {"total", 1234.5},    {"n", 7}};
  std::string text = dump_compact(document);
  document["note"] = std::string(200 > text.size() + 10 ? 200 - text.size() - 10 : 1, 'x');
  return dump_compact(document);
}

std::string numbered(std::size_t n) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu", n);
  return digits;
}

// Seeds count documents into den, 1,024 per commit; stops early (and says
// so) before a commit would exceed the slot.
std::size_t seed(Store& store, std::string_view den, std::size_t count) {
  std::size_t stored = 0;
  const std::uint64_t capacity = store.config().slot_size - 64;
  while (stored < count) {
    std::vector<Mutation> batch;
    std::uint64_t batch_bytes = 0;
    while (batch.size() < kMaxBatchMutations && stored + batch.size() < count) {
      const std::string id = numbered(stored + batch.size());
      Mutation m{*document_key(kDefaultWarren, den, id), document_text(id)};
      const std::uint64_t size = 12 + m.key.size() + m.value->size();
      if (store.live_bytes() + batch_bytes + size > capacity) break;
      batch_bytes += size;
      batch.push_back(std::move(m));
    }
    if (batch.empty()) break;
    if (!store.apply(batch)) die("seeding failed");
    stored += batch.size();
  }
  return stored;
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
    samples.push_back(ms_since(start));
  }
  std::sort(samples.begin(), samples.end());
  return Spread{samples.front(), samples[samples.size() / 2], samples.back()};
}

void print_spread(const char* name, const Spread& s, const char* note) {
  std::printf("%-8s min %8.2f ms  median %8.2f ms  max %8.2f ms  %s\n", name, s.min, s.median,
              s.max, note);
}

}  // namespace
}  // namespace tovik

int main(int argc, char** argv) {
  tovik::bench::g_bench_name = "document_bench";
  using namespace tovik;
  const int puts = argc > 1 ? std::atoi(argv[1]) : 200;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::string pattern = bench::make_temp_dir("tovik-bench");
  const std::string dir = pattern;

  {
    Store store = open_store(dir + "/put.tovik", true, real_file_system());
    const auto start = Clock::now();
    for (int i = 0; i < puts; ++i) {
      const std::string id = numbered(static_cast<std::size_t>(i));
      if (!put_document(store, kDefaultWarren, "orders", id, *parse_json(document_text(id)))) {
        die("put failed");
      }
    }
    const double ms = ms_since(start);
    std::printf("put      %d documents, one commit each (with fsync): %.1f puts/s (%.2f ms each)\n",
                puts, puts * 1000.0 / ms, ms / puts);
  }

  {
    const std::string path = dir + "/find.tovik";
    {
      NoSyncIo no_sync;
      Store seeding = open_store(path, true, no_sync);
      seed(seeding, "a", 20'000);
      seed(seeding, "orders", 10'000);
      seed(seeding, "z", 5'000);
    }
    Store store = open_store(path, false, real_file_system());
    const std::optional<Filter> none = Filter{"status", Json("missing")};
    std::uint64_t examined = 0;
    const Spread s = repeat(repeats, [&] {
      auto result = query_documents(store, kDefaultWarren, "orders", none, kPageBytes);
      if (!result) die("find failed");
      examined = result->examined;
    });
    char note[64];
    std::snprintf(note, sizeof note, "(examined %llu, target < 10 ms)",
                  static_cast<unsigned long long>(examined));
    print_spread("find", s, note);

    const Spread scan = repeat(repeats, [&] {
      auto result = query_documents(store, kDefaultWarren, "orders", std::nullopt, kPageBytes);
      if (!result || result->documents.size() != 100) die("scan failed");
    });
    print_spread("scan", scan, "(first 100 documents, unfiltered)");

    const Spread walk = repeat(repeats, [&] {
      std::size_t seen = 0;
      auto examined = walk_documents(store, kDefaultWarren, "orders", std::nullopt,
                                     kQueryExaminationLimit, [&](std::string_view) { ++seen; });
      if (!examined || seen != 10'000) die("walk failed");
    });
    print_spread("walk", walk, "(all 10,000 documents handed over)");

    const std::string prefix = *collection_prefix(kDefaultWarren, "orders");
    const Spread den = repeat(repeats, [&] {
      auto cursor = store.scan_from(prefix);
      if (!cursor) die("den walk failed");
      std::size_t bytes = 0;
      for (;;) {
        auto more = cursor->next();
        if (!more) die("den walk failed");
        if (!*more || !cursor->key().starts_with(prefix)) break;
        bytes += cursor->value().size();
      }
      if (bytes == 0) die("den walk found nothing");
    });
    print_spread("den", den, "(the store's walk over the den, nothing decoded)");
  }

  {
    const std::string path = dir + "/check.tovik";
    std::size_t records = 0;
    {
      NoSyncIo no_sync;
      Store seeding = open_store(path, true, no_sync);
      records = seed(seeding, "orders", 1'000'000);
    }
    Store store = open_store(path, false, real_file_system());
    const Spread s = repeat(repeats, [&] {
      if (!check_documents(store)) die("check failed");
    });
    // The storage engine's share: the same walk accepting every record.
    const Spread walk = repeat(repeats, [&] {
      if (!store.verify([](std::string_view, std::string_view) { return true; })) {
        die("verify failed");
      }
    });
    print_spread("verify", walk, "(the walk alone, no document decoding)");
    char note[96];
    std::snprintf(note, sizeof note, "(%zu records, %.1f MiB live, target < 60 ms)", records,
                  static_cast<double>(store.live_bytes()) / (1 << 20));
    print_spread("check", s, note);
  }

  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
