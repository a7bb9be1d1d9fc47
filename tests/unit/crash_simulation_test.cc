// Crash consistency of the commit protocol. Every write and sync of a long
// run of commits is recorded through the file seam; at each of those points
// every file a crash could leave (unsynced writes lost, kept, kept for some
// sectors only, or the last one torn) must open at the last acknowledged
// generation or at the one being committed, with exactly that generation's
// records, or, only when a commit header itself was torn, be refused as
// Ambiguous with the acknowledged snapshot still intact beside it.
#include <errno.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/file_format.h"
#include "core/file_system.h"
#include "core/store.h"
#include "crash_util.h"
#include "store_fixture.h"

namespace tovik::testing {
namespace {

using Model = std::map<std::string, std::string>;

// Small slots keep each simulated file at 128 KiB, so thousands open quickly.
constexpr StoreConfig kCrashConfig{64 * 1024, 1024, 262'144};
constexpr std::uint64_t kDefaultSeed = 20'261'208;
constexpr int kAcknowledgedCommits = 60;
constexpr std::size_t kMaxFailuresShown = 10;

// TOVIK_CRASH_SEED replays another run; the seed in use is always printed.
std::uint64_t crash_seed() {
  const char* text = std::getenv("TOVIK_CRASH_SEED");
  const std::uint64_t seed = text != nullptr ? std::strtoull(text, nullptr, 10) : kDefaultSeed;
  std::printf("crash simulation seed %llu (set TOVIK_CRASH_SEED to replay another)\n",
              static_cast<unsigned long long>(seed));
  return seed;
}

std::uint64_t model_bytes(const Model& model) {
  std::uint64_t total = 0;
  for (const auto& [k, v] : model) total += record_size(k.size(), v.size());
  return total;
}

Model applied_to(Model model, const std::vector<Mutation>& batch) {
  for (const Mutation& m : batch) {
    if (m.value) {
      model[m.key] = *m.value;
    } else {
      model.erase(m.key);
    }
  }
  return model;
}

// The Store reads and writes `file`, which must outlive it.
std::expected<Store, StoreError> open_image(FileSystem& file, const StoreConfig& config) {
  return Store::open(UniqueFd(), config, kDefaultIndexEntries, file);
}

std::expected<Records, StoreError> all_records_of(Store& store) {
  Records out;
  auto cursor = store.scan_from("");
  if (!cursor) return std::unexpected(cursor.error());
  while (true) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) return out;
    out.emplace_back(std::string(cursor->key()), std::string(cursor->value()));
  }
}

bool header_torn(const std::string& image, std::uint64_t slot, std::uint64_t slot_size) {
  return decode_header(
             std::span<const char, kHeaderSize>(image.data() + slot * slot_size, kHeaderSize))
             .state == HeaderState::Torn;
}

std::string error_name(StoreError error) {
  return std::to_string(static_cast<int>(error)) + " (" + std::string(store_error_text(error)) +
         ")";
}

// One commit as recorded: the file before it, its I/O, and both outcomes.
struct CommitTrace {
  std::string before;
  std::vector<IoEvent> events;
  std::uint64_t generation = 0;  // acknowledged when the commit began
  Model old_model;
  Model new_model;
  std::string new_header;  // the header bytes that publish the commit
  std::uint64_t target_slot = 0;
};

struct Step {
  std::vector<Mutation> batch;
  std::string label;
  bool bulk = false;        // through apply_bulk
  bool reopen = false;      // the Store is opened afresh before the commit
  unsigned fail_write = 0;  // the commit's nth write fails (1-based; 0: none)
};
// The next batch for the database holding `model`, or nullopt when done.
using Planner = std::function<std::optional<Step>(const Model& model, int commit)>;

struct Tally {
  int acknowledged = 0;
  int refused_full = 0;
  std::uint64_t crash_points = 0;
  std::uint64_t images = 0;
  std::uint64_t ambiguous = 0;
  std::uint64_t recoveries = 0;
  std::vector<std::string> failures;
};

class CrashSimulation {
 public:
  CrashSimulation(StoreConfig config, std::uint64_t seed, int random_subsets, int random_cuts,
                  bool every_header_cut)
      : config_(config),
        rng_(seed),
        random_subsets_(random_subsets),
        random_cuts_(random_cuts),
        every_header_cut_(every_header_cut) {}

  // Runs the planner's commits on a fresh database, checking every crash
  // point of each commit before the next one begins.
  void run(const Planner& planner) {
    auto disk = std::make_shared<MemoryFile>();
    FaultyFileSystem faults(*disk);
    auto opened = open_image(faults, config_);
    ASSERT_TRUE(opened.has_value()) << error_name(opened.error());
    std::optional<Store> held(std::move(*opened));
    Model model;
    for (int commit = 0;; ++commit) {
      std::optional<Step> step = planner(model, commit);
      if (!step) break;
      if (step->reopen) {
        held.reset();
        auto again = open_image(faults, config_);
        ASSERT_TRUE(again.has_value()) << error_name(again.error());
        held.emplace(std::move(*again));
      }
      Store& store = *held;
      if (step->fail_write > 0) {
        fail_half_way(store, faults, *disk, *step, model);
        held.reset();
        auto again = open_image(faults, config_);
        ASSERT_TRUE(again.has_value()) << error_name(again.error());
        held.emplace(std::move(*again));
        continue;
      }
      CommitTrace trace;
      trace.before = disk->bytes;
      trace.generation = store.generation();
      trace.old_model = model;
      trace.new_model = applied_to(model, step->batch);
      trace.target_slot = 1 - store.test_slot();
      disk->events.clear();
      disk->recording = true;
      auto applied = step->bulk ? store.apply_bulk(step->batch) : store.apply(step->batch);
      disk->recording = false;
      trace.events = std::move(disk->events);
      if (tamper_) tamper_(trace.events);
      const std::string where = "commit " + std::to_string(commit) + " (" + step->label + ")";

      if (model_bytes(trace.new_model) > config_.slot_size - kHeaderSize) {
        // Too big: refused before the file is touched, and the Store goes on.
        ASSERT_FALSE(applied.has_value()) << where;
        ASSERT_EQ(applied.error(), StoreError::Full) << where;
        EXPECT_EQ(store_error_text(applied.error()), "configured database capacity exceeded");
        EXPECT_TRUE(trace.events.empty()) << where << ": a refused commit did I/O";
        EXPECT_TRUE(disk->bytes == trace.before) << where << ": a refused commit changed the file";
        EXPECT_FALSE(store.poisoned()) << where;
        EXPECT_EQ(store.generation(), trace.generation) << where;
        ++tally_.refused_full;
        continue;
      }
      ASSERT_TRUE(applied.has_value()) << where << ": " << error_name(applied.error());
      ASSERT_EQ(store.generation(), trace.generation + 1) << where;
      model = trace.new_model;
      ++tally_.acknowledged;
      for (const IoEvent& e : trace.events) {
        if (e.kind == IoEvent::Write && e.offset == trace.target_slot * config_.slot_size &&
            e.bytes.size() == kHeaderSize && e.bytes != std::string(kHeaderSize, '\0')) {
          trace.new_header = e.bytes;
        }
      }
      ASSERT_FALSE(trace.new_header.empty()) << where << ": no publishing header write recorded";
      // Within live_bytes the target holds exactly what a full rewrite writes.
      std::string expected;
      for (const auto& [k, v] : model) expected += encode_record(k, v);
      EXPECT_TRUE(disk->bytes.compare(trace.target_slot * config_.slot_size + kHeaderSize,
                                      expected.size(), expected) == 0)
          << where << ": the new snapshot's bytes differ from a full rewrite";
      check_crash_points(trace, where);
      if (tally_.failures.size() >= kMaxFailuresShown) break;
    }
  }

  const Tally& tally() const { return tally_; }

  // A commit whose nth write fails: refused with Io, the Store poisoned, and
  // the file still opening at the acknowledged generation.
  void fail_half_way(Store& store, FaultyFileSystem& faults, MemoryFile& disk, const Step& step,
                     const Model& model) {
    const std::uint64_t generation = store.generation();
    faults.arm("write_at", step.fail_write, EIO);
    auto applied = store.apply(step.batch);
    faults.disarm();
    if (applied || applied.error() != StoreError::Io || !store.poisoned()) {
      return fail(step.label + ": a failed write did not poison the commit");
    }
    MemoryFile copy(disk.bytes);
    auto reopened = open_image(copy, config_);
    if (auto bad = mismatch(reopened, generation, model)) fail(step.label + ": " + *bad);
  }

  // Edits each commit's recorded I/O before the crash points are built: a
  // way to check that the simulation notices a broken protocol.
  void tamper(std::function<void(std::vector<IoEvent>&)> edit) { tamper_ = std::move(edit); }

 private:
  void check_crash_points(const CommitTrace& trace, const std::string& where) {
    for (std::size_t n = 1; n <= trace.events.size(); ++n) {
      ++tally_.crash_points;
      const CrashState state(trace.before, trace.events, n);
      const std::string point = where + ", crash after event " + std::to_string(n - 1);
      if (!state.has_pending()) {
        // After the last event apply has returned: the commit is acknowledged.
        if (n == trace.events.size()) {
          const std::string& image = state.all_lost();
          if (image.compare(trace.target_slot * config_.slot_size, kHeaderSize, trace.new_header) !=
              0) {
            fail(point + ": an acknowledged commit is not in the file");
          }
        }
        check(trace, state.all_lost(), false, true, point + ", all synced");
        continue;
      }
      check(trace, state.all_lost(), false, true, point + ", unsynced writes lost");
      check(trace, state.all_kept(), false, true, point + ", unsynced writes kept");

      const std::vector<std::uint64_t> sectors = state.pending_sectors();
      if (sectors.size() <= 4) {
        // Few enough to try every mix of kept and lost sectors.
        const std::uint64_t mixes = std::uint64_t{1} << sectors.size();
        for (std::uint64_t mask = 1; mask + 1 < mixes; ++mask) {
          std::vector<std::uint64_t> kept;
          for (std::size_t b = 0; b < sectors.size(); ++b) {
            if (mask >> b & 1) kept.push_back(sectors[b]);
          }
          check(trace, state.sectors_kept(kept), false, false,
                point + ", sector mix " + std::to_string(mask));
        }
      } else {
        for (int i = 0; i < random_subsets_; ++i) {
          const std::vector<std::uint64_t> kept = random_subset(sectors, rng_);
          check(trace, state.sectors_kept(kept), false, false,
                point + ", " + std::to_string(kept.size()) + " of " +
                    std::to_string(sectors.size()) + " sectors kept");
        }
      }

      const IoEvent& last = state.last_pending();
      const std::size_t length = last.bytes.size();
      if (length < 2) continue;
      const bool header_write = last.offset % config_.slot_size == 0 && length == kHeaderSize;
      std::vector<std::size_t> cuts;
      if (header_write && every_header_cut_) {
        for (std::size_t cut = 1; cut < length; ++cut) cuts.push_back(cut);
      } else {
        for (int i = 0; i < random_cuts_; ++i) cuts.push_back(1 + rng_() % (length - 1));
        const std::size_t to_boundary = kSectorSize - last.offset % kSectorSize;
        if (to_boundary < length) cuts.push_back(to_boundary);
      }
      for (std::size_t cut : cuts) {
        check(trace, state.last_torn(cut), header_write, false,
              point + ", last write (" + std::to_string(length) + " bytes at " +
                  std::to_string(last.offset) + ") torn after " + std::to_string(cut) + " bytes");
      }
    }
  }

  void fail(const std::string& what) {
    if (tally_.failures.size() < kMaxFailuresShown) tally_.failures.push_back(what);
  }

  // The opened store must be exactly `generation`, holding `model`.
  std::optional<std::string> mismatch(std::expected<Store, StoreError>& opened,
                                      std::uint64_t generation, const Model& model) {
    if (!opened) return "open failed with " + error_name(opened.error());
    if (opened->generation() != generation) {
      return "opened at generation " + std::to_string(opened->generation()) + ", expected " +
             std::to_string(generation);
    }
    auto records = all_records_of(*opened);
    if (!records) return "reading the records failed with " + error_name(records.error());
    if (*records != Records(model.begin(), model.end())) {
      return "generation " + std::to_string(generation) + " opened with a wrong record set (" +
             std::to_string(records->size()) + " records, expected " +
             std::to_string(model.size()) + ")";
    }
    if (opened->live_bytes() != model_bytes(model)) return "wrong live_bytes";
    if (auto checked = opened->verify(nullptr); !checked) {
      return "the check failed with " + error_name(checked.error());
    }
    return std::nullopt;
  }

  void check(const CommitTrace& trace, std::string image, bool header_write_torn, bool recover,
             const std::string& point) {
    ++tally_.images;
    const std::uint64_t s = config_.slot_size;
    const bool torn[2] = {header_torn(image, 0, s), header_torn(image, 1, s)};
    auto file = std::make_shared<MemoryFile>(image);
    auto opened = open_image(*file, config_);

    if (torn[0] || torn[1]) {
      if (!header_write_torn) return fail(point + ": a header is torn but no header write was");
      if (opened) return fail(point + ": a file with a torn header opened");
      if (opened.error() != StoreError::Ambiguous) {
        return fail(point + ": a torn header gave " + error_name(opened.error()));
      }
      ++tally_.ambiguous;
      // What an operator inspecting the file finds: clearing the torn header
      // must leave the acknowledged snapshot, whole.
      for (std::uint64_t k = 0; k < 2; ++k) {
        if (torn[k]) image.replace(k * s, kHeaderSize, kHeaderSize, '\0');
      }
      MemoryFile surviving(std::move(image));
      auto survivor = open_image(surviving, config_);
      if (auto bad = mismatch(survivor, trace.generation, trace.old_model)) {
        fail(point + ": surviving snapshot: " + *bad);
      }
      return;
    }

    const bool published = image.compare(trace.target_slot * s, kHeaderSize, trace.new_header) == 0;
    const std::uint64_t generation = published ? trace.generation + 1 : trace.generation;
    const Model& model = published ? trace.new_model : trace.old_model;
    if (auto bad = mismatch(opened, generation, model)) return fail(point + ": " + *bad);
    if (recover) check_next_commit(*opened, file, generation, model, point);
  }

  // The file a crash left must also take the next commit: leftovers of the
  // interrupted one in the other slot may not confuse it.
  void check_next_commit(Store& store, const std::shared_ptr<MemoryFile>& file,
                         std::uint64_t generation, Model model, const std::string& point) {
    ++tally_.recoveries;
    std::vector<Mutation> batch;
    if (model.empty()) {
      batch.push_back({"~recovered", "r"});
    } else {
      batch.push_back({model.begin()->first, std::nullopt});  // always fits
    }
    auto applied = store.apply(batch);
    if (!applied)
      return fail(point + ": commit after recovery failed: " + error_name(applied.error()));
    model = applied_to(std::move(model), batch);
    MemoryFile copy(file->bytes);
    auto reopened = open_image(copy, config_);
    if (auto bad = mismatch(reopened, generation + 1, model)) {
      fail(point + ": after a commit on the recovered file: " + *bad);
    }
  }

  StoreConfig config_;
  std::mt19937_64 rng_;
  int random_subsets_;
  int random_cuts_;
  bool every_header_cut_;
  std::function<void(std::vector<IoEvent>&)> tamper_;
  Tally tally_;
};

std::string key_of(std::uint64_t n) {
  std::string digits = std::to_string(n);
  return "k" + std::string(4 - std::min<std::size_t>(4, digits.size()), '0') + digits;
}

// A value of `length` bytes that differs from any other commit's value of the
// same length, so a stale record cannot pass for a new one.
std::string value_of(std::size_t length, int commit, std::mt19937_64& rng) {
  std::string value(length, static_cast<char>('a' + rng() % 26));
  const std::string tag = std::to_string(commit) + ":";
  value.replace(0, std::min(tag.size(), length), tag, 0, std::min(tag.size(), length));
  return value;
}

// A varied run of commits on a 64 KiB slot: single puts, replacements
// (identical ones too), deletes of present and missing keys, mixed batches up
// to the 1,024-mutation limit, large values, one commit that fills the data
// area to the last byte and one that misses by a single byte.
class VariedWorkload {
 public:
  VariedWorkload(std::uint64_t seed, std::uint64_t capacity) : rng_(seed), capacity_(capacity) {}

  std::optional<Step> operator()(const Model& model, int commit) {
    if (acknowledged_ >= kAcknowledgedCommits || commit > 4 * kAcknowledgedCommits) {
      return std::nullopt;
    }
    Step step = plan(model, commit);
    const bool fits = model_bytes(applied_to(model, step.batch)) <= capacity_;
    if (fits) ++acknowledged_;
    cleanup_next_ = !fits;
    return step;
  }

 private:
  std::optional<std::string> existing(const Model& model) {
    if (model.empty()) return std::nullopt;
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng_() % model.size()));
    return it->first;
  }
  std::string fresh(const Model& model) {
    for (;;) {
      std::string key = key_of(rng_() % 10'000);
      if (!model.contains(key)) return key;
    }
  }
  static Step of(std::map<std::string, std::optional<std::string>> mutations, std::string label) {
    Step step{{}, std::move(label)};
    for (auto& [k, v] : mutations) step.batch.push_back({k, std::move(v)});
    return step;
  }

  Step plan(const Model& model, int commit) {
    const std::uint64_t used = model_bytes(model);
    if (commit == 0) return of({{fresh(model), value_of(40, commit, rng_)}}, "first put");
    if (overflow_next_) {
      // The filled database, one byte too full.
      overflow_next_ = false;
      return of({{"~fill", value_of(model.at("~fill").size() + 1, commit, rng_)}},
                "one byte past capacity");
    }
    if (cleanup_next_ || used > capacity_ * 3 / 4) {
      std::map<std::string, std::optional<std::string>> m;
      for (const auto& [k, v] : model) {
        if (rng_() % 2 == 0 || k == "~fill") m[k] = std::nullopt;
        if (m.size() == kMaxBatchMutations) break;
      }
      if (m.empty()) m[fresh(model)] = std::nullopt;
      return of(std::move(m), "delete about half");
    }
    if (!filled_ && commit >= 30) {
      filled_ = true;
      overflow_next_ = true;
      const std::uint64_t room = capacity_ - used - record_size(5, 0);
      return of({{"~fill", value_of(room, commit, rng_)}}, "fill to the last byte");
    }
    std::map<std::string, std::optional<std::string>> m;
    switch (rng_() % 9) {
      case 0:
        return of({{fresh(model), value_of(rng_() % 300, commit, rng_)}}, "put");
      case 1:
        if (auto k = existing(model)) {
          return of({{*k, value_of(rng_() % 2000, commit, rng_)}}, "replace");
        }
        return of({{fresh(model), value_of(1, commit, rng_)}}, "put");
      case 2:
        if (auto k = existing(model)) return of({{*k, std::nullopt}}, "delete");
        return of({{fresh(model), std::nullopt}}, "delete missing");
      case 3:
        return of({{fresh(model), std::nullopt}}, "delete missing");
      case 4: {
        const std::uint64_t n = 20 + rng_() % 180;
        for (std::uint64_t i = 0; i < n; ++i) {
          const std::uint64_t choice = rng_() % 4;
          auto k = existing(model);
          if (choice == 0 && k) {
            m[*k] = std::nullopt;
          } else if (choice == 1 && k) {
            m[*k] = value_of(rng_() % 64, commit, rng_);
          } else {
            m[fresh(model)] = value_of(rng_() % 64, commit, rng_);
          }
        }
        return of(std::move(m), "mixed batch");
      }
      case 5: {
        while (m.size() < kMaxBatchMutations) {
          auto k = existing(model);
          if (k && rng_() % 4 == 0) {
            m[*k] = std::nullopt;
          } else {
            m[fresh(model)] = value_of(rng_() % 8, commit, rng_);
          }
        }
        return of(std::move(m), "1,024 mutations");
      }
      case 6: {
        const std::size_t length = 2048 + rng_() % 10'240;
        auto k = existing(model);
        return of({{k && rng_() % 2 ? *k : fresh(model), value_of(length, commit, rng_)}},
                  "large value");
      }
      case 7: {
        // What the server's group commit hands the store: one write from
        // each of up to 64 sessions (puts, replacements, deletes of other
        // ids), all in one commit.
        const std::uint64_t sessions = 2 + rng_() % 63;
        while (m.size() < sessions) {
          auto k = existing(model);
          if (k && rng_() % 3 == 0) {
            m[*k] = rng_() % 2 ? std::nullopt : std::optional(value_of(rng_() % 400, commit, rng_));
          } else {
            m[fresh(model)] = value_of(rng_() % 400, commit, rng_);
          }
        }
        return of(std::move(m), "group commit of many sessions' writes");
      }
      default:
        if (auto k = existing(model)) return of({{*k, model.at(*k)}}, "identical replace");
        return of({{fresh(model), ""}}, "put empty value");
    }
  }

  std::mt19937_64 rng_;
  std::uint64_t capacity_;
  int acknowledged_ = 0;
  bool cleanup_next_ = false;
  bool filled_ = false;
  bool overflow_next_ = false;
};

void report(const char* name, const Tally& tally, double seconds) {
  std::printf(
      "%s: %d commits acknowledged, %d refused as full; %llu crash points, %llu crash files "
      "opened (%llu refused as ambiguous), %llu commits made on recovered files; %.2f s\n",
      name, tally.acknowledged, tally.refused_full,
      static_cast<unsigned long long>(tally.crash_points),
      static_cast<unsigned long long>(tally.images),
      static_cast<unsigned long long>(tally.ambiguous),
      static_cast<unsigned long long>(tally.recoveries), seconds);
  for (const std::string& failure : tally.failures) ADD_FAILURE() << failure;
}

TEST(CrashSimulation, EveryCrashPointOfManyCommitsOpensAtAnAcknowledgedOrTheNewGeneration) {
  const std::uint64_t seed = crash_seed();
  const auto start = std::chrono::steady_clock::now();
  CrashSimulation simulation(kCrashConfig, seed, /*random_subsets=*/8, /*random_cuts=*/4,
                             /*every_header_cut=*/true);
  VariedWorkload workload(seed, kCrashConfig.slot_size - kHeaderSize);
  simulation.run(std::ref(workload));
  const Tally& tally = simulation.tally();
  report("64 KiB slots", tally,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  EXPECT_GE(tally.acknowledged, 50);
  EXPECT_GE(tally.refused_full, 1);
  EXPECT_GT(tally.ambiguous, 0u);  // torn headers were really produced
  EXPECT_TRUE(tally.failures.empty()) << "seed " << seed;
}

// Snapshots larger than the engine's write buffer go out in several data
// writes, so a crash can also fall between two of them.
TEST(CrashSimulation, CrashesBetweenTheDataWritesOfALargeSnapshot) {
  const std::uint64_t seed = crash_seed();
  constexpr StoreConfig kLarge{4 << 20, 1024, 262'144};
  const auto start = std::chrono::steady_clock::now();
  CrashSimulation simulation(kLarge, seed, /*random_subsets=*/2, /*random_cuts=*/1,
                             /*every_header_cut=*/false);
  std::mt19937_64 rng(seed);
  simulation.run([&](const Model& model, int commit) -> std::optional<Step> {
    std::map<std::string, std::optional<std::string>> m;
    switch (commit) {
      case 0:  // about 2.6 MiB of records
        for (std::uint64_t i = 0; i < kMaxBatchMutations; ++i) {
          m[key_of(i * 4)] = value_of(2000 + rng() % 1000, commit, rng);
        }
        break;
      case 1:  // replace, delete and insert across the whole range
        for (std::uint64_t i = 0; i < kMaxBatchMutations; ++i) {
          const std::string k = key_of(i * 4 + (i % 3 == 2 ? 1 : 0));
          m[k] = i % 3 == 0 ? std::optional<std::string>() : value_of(rng() % 3000, commit, rng);
        }
        break;
      case 2:  // one small change near the end: the unchanged bulk is copied
        m[model.rbegin()->first] = value_of(10, commit, rng);
        break;
      case 3:  // past capacity: refused without I/O
        for (std::uint64_t i = 0; i < 12; ++i) {
          m["~big" + std::to_string(i)] = value_of(262'144, commit, rng);
        }
        break;
      default:
        return std::nullopt;
    }
    Step step{{}, "large step " + std::to_string(commit)};
    for (auto& [k, v] : m) step.batch.push_back({k, std::move(v)});
    return step;
  });
  const Tally& tally = simulation.tally();
  report("4 MiB slots", tally,
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  EXPECT_EQ(tally.acknowledged, 3);
  EXPECT_EQ(tally.refused_full, 1);
  EXPECT_TRUE(tally.failures.empty()) << "seed " << seed;
}

// The bulk commit of an import: thousands of mutations in one commit, each
// crash point opening at none or all of them.
TEST(CrashSimulation, EveryCrashPointOfABulkCommitBeyondTheBatchLimit) {
  const std::uint64_t seed = crash_seed();
  CrashSimulation simulation(kCrashConfig, seed, /*random_subsets=*/3, /*random_cuts=*/2,
                             /*every_header_cut=*/false);
  std::mt19937_64 rng(seed);
  simulation.run([&](const Model& model, int commit) -> std::optional<Step> {
    std::map<std::string, std::optional<std::string>> m;
    switch (commit) {
      case 0:  // a fresh import
        for (std::uint64_t i = 0; i < 2000; ++i) m[key_of(i * 2)] = value_of(6, commit, rng);
        break;
      case 1:  // replaces, deletes and new keys between the old ones
        for (std::uint64_t i = 0; i < 2400; ++i) {
          const std::string k = key_of(i * 2 - i % 2);
          m[k] = model.contains(k) && i % 4 == 0 ? std::nullopt
                                                 : std::optional(value_of(4, commit, rng));
        }
        break;
      case 2:  // past capacity: refused without I/O
        for (std::uint64_t i = 0; i < 3000; ++i) m["~" + key_of(i)] = value_of(20, commit, rng);
        break;
      default:
        return std::nullopt;
    }
    Step step{{}, "bulk " + std::to_string(commit), true};
    for (auto& [k, v] : m) step.batch.push_back({k, std::move(v)});
    return step;
  });
  EXPECT_EQ(simulation.tally().acknowledged, 2);
  EXPECT_EQ(simulation.tally().refused_full, 1);
  EXPECT_TRUE(simulation.tally().failures.empty()) << "seed " << seed;
}

// Commits that write only what changed: each kind of change, into a slot
// this Store wrote and into one it has not (after opening), and a commit
// that fails half-way followed by others. Every crash point opens at the old
// or the new snapshot, and the check passes.
TEST(CrashSimulation, CommitsThatWriteOnlyWhatChanged) {
  const std::uint64_t seed = crash_seed();
  CrashSimulation simulation(kCrashConfig, seed, /*random_subsets=*/3, /*random_cuts=*/2,
                             /*every_header_cut=*/false);
  std::mt19937_64 rng(seed);
  simulation.run([&](const Model& model, int commit) -> std::optional<Step> {
    auto step = [&](std::map<std::string, std::optional<std::string>> m, std::string label) {
      Step s{{}, std::move(label)};
      for (auto& [k, v] : m) s.batch.push_back({k, std::move(v)});
      return s;
    };
    auto middle = [&] {
      auto it = model.begin();
      std::advance(it, static_cast<long>(model.size() / 2));
      return it->first;
    };
    auto same_size = [&](const std::string& key) {
      return step({{key, value_of(model.at(key).size(), commit, rng)}}, "same-size update");
    };
    switch (commit) {
      case 0: {
        std::map<std::string, std::optional<std::string>> m;
        for (std::uint64_t i = 0; i < 600; ++i) m[key_of(i * 2)] = value_of(40, commit, rng);
        Step s = step(std::move(m), "bulk load");
        s.bulk = true;
        return s;
      }
      case 1:
      case 2:
        return same_size(middle());
      case 3:
        return step({{key_of(601), value_of(30, commit, rng)}}, "insert shifting the tail");
      case 4:
        return step({{key_of(400), std::nullopt}}, "delete shifting the tail");
      case 5:
      case 6:
        return step({{"z" + std::to_string(commit), value_of(50, commit, rng)}}, "append");
      case 7: {
        Step s = same_size(model.begin()->first);
        s.reopen = true;
        s.label = "same-size update after opening";
        return s;
      }
      case 8:
        return same_size(model.rbegin()->first);
      case 9: {
        std::map<std::string, std::optional<std::string>> m;
        for (std::uint64_t i = 0; i < 40; ++i) {
          const std::string key = key_of(rng() % 1400);
          m[key] = model.contains(key) && i % 3 == 0 ? std::nullopt
                                                     : std::optional(value_of(40, commit, rng));
        }
        return step(std::move(m), "group commit");
      }
      case 10:
      case 11: {
        Step s = same_size(middle());
        s.fail_write = commit == 10 ? 2 : 3;  // the first data write, or the header
        s.label = "commit failing half-way";
        return s;
      }
      case 12:
        return same_size(middle());
      case 13:
        return step({{key_of(3), value_of(90, commit, rng)}}, "growing update near the start");
      default:
        return std::nullopt;
    }
  });
  EXPECT_EQ(simulation.tally().acknowledged, 12);
  EXPECT_TRUE(simulation.tally().failures.empty()) << "seed " << seed;
}

// The simulation must be able to fail: an engine that published its header
// without first making the records durable is caught.
TEST(CrashSimulation, NoticesAHeaderPublishedBeforeItsRecordsAreDurable) {
  const std::uint64_t seed = crash_seed();
  CrashSimulation simulation(kCrashConfig, seed, /*random_subsets=*/2, /*random_cuts=*/0,
                             /*every_header_cut=*/false);
  simulation.tamper([](std::vector<IoEvent>& events) {
    // Drop the sync between the record writes and the header write.
    int syncs = 0;
    for (auto it = events.begin(); it != events.end(); ++it) {
      if (it->kind == IoEvent::Sync && ++syncs == 2) {
        events.erase(it);
        return;
      }
    }
  });
  std::mt19937_64 rng(seed);
  simulation.run([&](const Model&, int commit) -> std::optional<Step> {
    if (commit == 3) return std::nullopt;
    return Step{{{key_of(static_cast<std::uint64_t>(commit)), value_of(3000, commit, rng)}}, "put"};
  });
  EXPECT_FALSE(simulation.tally().failures.empty());
}

// The simulation trusts that the seam sees every byte the engine puts into
// the file: replaying what it recorded onto the old file must give the real
// file exactly, and a commit refused as too large must leave it untouched.
class CrashRealFile : public StoreFixture {};

TEST_F(CrashRealFile, RecordedWritesReproduceTheFileAndAFullCommitWritesNothing) {
  config_ = kCrashConfig;
  reopen();
  put("a", "1");
  close();
  const std::string before = file_bytes();
  reopen();
  io_->arm(/*record=*/true);
  std::vector<Mutation> batch;
  for (int i = 0; i < 500; ++i) batch.push_back({key_of(i), std::string(40, 'v')});
  ASSERT_TRUE(store().apply(batch).has_value());
  put("a", "2");
  del(key_of(7));
  const std::size_t events_before_full = io_->events.size();
  const std::string full_before = file_bytes();
  auto refused = store().apply(std::vector<Mutation>{{"z", std::string(40'000, 'z')}});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), StoreError::Full);
  EXPECT_EQ(io_->events.size(), events_before_full) << "a refused commit did I/O";
  EXPECT_TRUE(file_bytes() == full_before) << "a refused commit changed the file";
  put("b", "3");  // the store is still usable
  const std::vector<ScriptedIo::Event> events = io_->events;
  close();

  std::string replayed = before;
  for (const auto& e : events) {
    ASSERT_NE(e.kind, ScriptedIo::Event::Truncate);
    if (e.kind != ScriptedIo::Event::Write) continue;
    if (replayed.size() < e.offset + e.bytes.size()) replayed.resize(e.offset + e.bytes.size());
    replayed.replace(e.offset, e.bytes.size(), e.bytes);
  }
  EXPECT_TRUE(replayed == file_bytes()) << "the file holds bytes the seam never saw";
  EXPECT_EQ(reopen().generation(), 6u);
}

}  // namespace
}  // namespace tovik::testing
