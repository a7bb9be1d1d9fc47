// What the in-process benchmarks share: a file system whose syncs cost
// nothing (for seeding a database quickly; never for a timed commit), a
// way out on a failed step, and opening a store on a path.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <expected>
#include <string>
#include <utility>

#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/store.h"

namespace tovik::bench {

class NoSyncIo : public FileSystem {
 public:
  std::expected<void, int> sync(int) override { return {}; }
};

// The benchmark's name, for its failure lines; each program sets it first.
inline const char* g_bench_name = "bench";

[[noreturn]] inline void die(const char* what) {
  std::fprintf(stderr, "%s: %s\n", g_bench_name, what);
  std::exit(1);
}

inline Store open_store(const std::string& path, bool create, FileSystem& fs) {
  auto fd = create ? open_database_file(path, true) : open_existing_database(path);
  if (!fd) die("cannot open the database file");
  auto store = Store::open(std::move(*fd), StoreConfig{}, kDefaultIndexEntries, fs);
  if (!store) die("cannot open the store");
  return std::move(*store);
}

}  // namespace tovik::bench
