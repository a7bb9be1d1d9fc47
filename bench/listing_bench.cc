// Figures for the listings of warrens and dens, printed, never asserted:
//   dens     the dens listing of a warren of 50 dens holding 80,000
//            documents between them (time, names listed, truncated, records
//            read)
//   warrens  the warrens listing of the same database
//   shinies  the floor: the ids listing of one den (100 ids, one seek)
//
// Usage: listing_bench [repeats]   (default 50)
// The seeding skips fsync (it is setup, not what is measured).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_store.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "document/json.h"
#include "document/keys.h"
#include "document/namespaces.h"

#include <stdlib.h>

namespace tovik {
namespace {

using bench::die;
using bench::NoSyncIo;
using bench::open_store;

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDens = 50;
constexpr std::size_t kDocumentsPerDen = 1'600;

std::string numbered(const char* prefix, std::size_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%05zu", prefix, n);
  return text;
}

void seed(Store& store) {
  std::vector<Mutation> batch;
  for (std::size_t d = 0; d < kDens; ++d) {
    const std::string den = numbered("den", d);
    for (std::size_t i = 0; i < kDocumentsPerDen; ++i) {
      const std::string id = numbered("k", i);
      Json document = {{"id", id}, {"note", std::string(80, 'x')}, {"n", i}};
      batch.push_back(Mutation{*document_key("shop", den, id), dump_compact(document)});
      if (batch.size() == kMaxBatchMutations) {
        if (!store.apply(batch)) die("seeding failed");
        batch.clear();
      }
    }
  }
  if (!batch.empty() && !store.apply(batch)) die("seeding failed");
}

void measure(Store& store, const char* label, ListingKind kind, const SessionState& session,
             int repeats) {
  std::vector<double> times;
  NameList listed;
  std::uint64_t reads = 0;
  for (int r = 0; r < repeats; ++r) {
    const std::uint64_t before = store.test_record_reads();
    const auto start = Clock::now();
    auto names = list_names(store, kind, session);
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!names) die("listing failed");
    listed = std::move(*names);
    reads = store.test_record_reads() - before;
  }
  std::sort(times.begin(), times.end());
  std::printf("%-8s median %.3f ms (min %.3f), %zu names, truncated %s, %llu records read\n", label,
              times[times.size() / 2], times.front(), listed.names.size(),
              listed.truncated ? "true" : "false", static_cast<unsigned long long>(reads));
}

}  // namespace
}  // namespace tovik

int main(int argc, char** argv) {
  tovik::bench::g_bench_name = "listing_bench";
  using namespace tovik;
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const std::string pattern = bench::make_temp_dir("tovik-bench");
  const std::string path = pattern + "/listing.tovik";
  {
    NoSyncIo no_sync;
    Store seeding = open_store(path, true, no_sync);
    seed(seeding);
  }
  {
    Store store = open_store(path, false, real_file_system());
    std::printf("%llu records in %zu dens of warren shop\n",
                static_cast<unsigned long long>(store.records()), kDens);
    measure(store, "dens", ListingKind::Dens, SessionState{"shop", std::nullopt}, repeats);
    measure(store, "warrens", ListingKind::Warrens, SessionState{}, repeats);
    measure(store, "shinies", ListingKind::Shinies, SessionState{"shop", "den00000"}, repeats);
  }
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return 0;
}
