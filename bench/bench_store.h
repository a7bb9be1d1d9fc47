// What the in-process benchmarks share: a file system whose syncs cost
// nothing (for seeding a database quickly; never for a timed commit), a
// way out on a failed step, and opening a store on a path.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <string>
#include <utility>

#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/store.h"

#include <stdlib.h>

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

// A new directory under the system's temporary directory, for one run.
inline std::string make_temp_dir(const char* prefix) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) die("cannot make a temporary directory");
  return pattern;
}

inline Store open_store(const std::string& path, bool create, FileSystem& fs) {
  auto fd = create ? open_database_file(path, true) : open_existing_database(path);
  if (!fd) die("cannot open the database file");
  auto store = Store::open(std::move(*fd), StoreConfig{}, kDefaultIndexEntries, fs);
  if (!store) die("cannot open the store");
  return std::move(*store);
}

}  // namespace tovik::bench
