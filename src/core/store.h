// Store: an open, exclusively locked database file and its current snapshot.
//
//   - A Store exists only for a file whose current snapshot passed every
//     opening rule. It owns the descriptor; dropping it releases the lock.
//     Nothing needs flushing: every commit is durable when apply returns.
//   - Not internally synchronised: one thread at a time, reads included.
//   - Every record read is re-verified (lengths, bounds, CRC); nothing is
//     cached between operations except the sparse index (data-area offsets
//     and keys of every so many records) and, for the commit, the stretches
//     where this Store left both slots holding the same bytes.
//   - The slot size is the file's own: a file of another length than twice
//     the configured slot size opens when its header records half its
//     length as the slot size (see open).
//   - Once a commit fails after it started writing, the Store is poisoned and
//     every operation fails with StoreError::Poisoned; drop it and reopen the
//     file, which then holds the previous snapshot.
//   - A commit that cannot fit is refused with Full before anything is
//     written, leaving the Store usable.
//   - Move-only.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/sparse_index.h"
#include "core/store_error.h"

namespace tovik {

struct StoreConfig {
  std::uint64_t slot_size = 16'777'216;
  std::uint64_t max_key_len = 1'024;
  std::uint64_t max_value_len = 262'144;
};

inline constexpr std::uint64_t kDefaultIndexEntries = 64;
// index_entries for Store::open: one entry per kCapacityPerIndexEntry bytes of
// the file's capacity (and at least kDefaultIndexEntries), so that a lookup
// reads about one page of records however large the database grows.
inline constexpr std::uint64_t kIndexByCapacity = ~std::uint64_t{0};
inline constexpr std::uint64_t kCapacityPerIndexEntry = 4096;
std::uint64_t index_entries_for(std::uint64_t slot_size);
inline constexpr std::size_t kMaxBatchMutations = 1'024;

// A put when value is present, a delete otherwise.
struct Mutation {
  std::string key;
  std::optional<std::string> value;
};

struct StoreStats {
  std::uint64_t generation = 0;
  std::uint64_t live_bytes = 0;
  std::uint64_t records = 0;
};

struct Record {
  std::string key;
  std::string value;
  std::uint64_t length = 0;  // 12 + key + value: the step to the next record
};

// Validator handed to Store::verify: true accepts the record.
using RecordValidator = std::function<bool(std::string_view key, std::string_view value)>;

// Opens path read-write, close-on-exec (create_new: exclusive create, 0600),
// takes the exclusive non-blocking flock and syncs the parent directory.
[[nodiscard]] std::expected<UniqueFd, StoreError> open_database_file(
    const std::string& path, bool create_new, FileSystem& fs = real_file_system());
// open_database_file without create_new; a zero-length file is Corrupt.
[[nodiscard]] std::expected<UniqueFd, StoreError> open_existing_database(
    const std::string& path, FileSystem& fs = real_file_system());

class Store {
 public:
  // Ascending cursor from scan_from. Valid while its Store lives and is not
  // moved. next() yields true with key()/value() set, false at the end. A
  // commit made while a cursor is open moves it to the new snapshot: it goes
  // on after the last key it yielded.
  class Cursor {
   public:
    [[nodiscard]] std::expected<bool, StoreError> next();
    std::string_view key() const;
    std::string_view value() const;

    Cursor(Cursor&& other) noexcept;
    Cursor& operator=(Cursor&& other) noexcept;
    ~Cursor();

   private:
    friend class Store;
    struct State;
    explicit Cursor(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
  };

  Store(Store&& other) noexcept;
  Store& operator=(Store&& other) noexcept;
  ~Store();

  // Takes ownership of fd: on failure it is closed before returning. `fs` is
  // the file seam the Store makes its calls through; it must outlive the Store.
  // config.slot_size is the slot size of a new (empty) file; an existing file
  // of another length than 2 * config.slot_size keeps its own: when its
  // length is even and the header at 0 (or, when that one is empty or torn,
  // the one at half the length) is sealed and records half the length as its
  // slot size, that is the slot size (config() reports it). Any other length
  // is Invalid.
  [[nodiscard]] static std::expected<Store, StoreError> open(
      UniqueFd fd, StoreConfig config, std::uint64_t index_entries = kIndexByCapacity,
      FileSystem& fs = real_file_system());

  [[nodiscard]] std::expected<std::optional<std::string>, StoreError> get(std::string_view key);
  [[nodiscard]] std::expected<Cursor, StoreError> scan_from(std::string_view start_key);
  [[nodiscard]] std::expected<void, StoreError> apply(std::span<const Mutation> batch);
  // apply without the kMaxBatchMutations limit: one sorted run of any
  // length (a bulk load), with the same checks, syncs and crash guarantees.
  [[nodiscard]] std::expected<void, StoreError> apply_bulk(std::span<const Mutation> batch);
  [[nodiscard]] std::expected<void, StoreError> verify(const RecordValidator& validator);

  // Told of every commit once it is durable, before apply returns, on the
  // committing thread: the new generation and the mutations that changed
  // the snapshot, in key order (every put, and every delete of a record
  // that was there; possibly none). The pointers live for the call only. An
  // empty observer (the default) is none; a refused or failed commit, and
  // an empty batch, tell nothing.
  using CommitObserver =
      std::function<void(std::uint64_t generation, std::span<const Mutation* const> changed)>;
  void set_commit_observer(CommitObserver observer) { observer_ = std::move(observer); }

  StoreStats stats() const;
  std::uint64_t generation() const;
  std::uint64_t live_bytes() const;
  std::uint64_t records() const;
  bool poisoned() const;
  const StoreConfig& config() const;
  // The open database file, for a caller that reads its bytes while it has
  // exclusive use of this Store (the online backup). Ownership stays here.
  int file_descriptor() const { return fd_.get(); }

  // For tests only: the record at a data offset, where a forward scan for key
  // starts, the slot of the current snapshot, the sparse index, and the
  // records read through this Store since it opened (to bound how far an
  // operation walks).
  [[nodiscard]] std::expected<Record, StoreError> test_read_record_at(std::uint64_t offset);
  [[nodiscard]] std::expected<std::uint64_t, StoreError> test_locate(std::string_view key);
  std::uint64_t test_slot() const;
  std::vector<std::uint64_t> test_index() const;
  std::uint64_t test_record_reads() const;

 private:
  // Where a forward scan for a key starts, and the index entry after it (or
  // live_bytes): the scan meets a key beyond the sought one by then.
  struct Lookup {
    std::uint64_t offset = 0;
    std::uint64_t next_entry = 0;
  };
  struct Scratch;

  Store() = default;
  std::uint64_t data_base(std::uint64_t slot) const;
  Scratch& scratch();
  [[nodiscard]] std::expected<void, StoreError> load();
  [[nodiscard]] std::expected<Lookup, StoreError> locate_range(std::string_view key);
  [[nodiscard]] std::expected<void, StoreError> apply_checked(std::span<const Mutation> batch,
                                                              std::size_t max_mutations);
  // A commit's course, worked out before anything is written (store_commit.cc).
  struct Plan;
  // Data-area bytes [begin, end).
  struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };
  [[nodiscard]] std::expected<Plan, StoreError> plan_commit(std::span<const Mutation> batch);
  snapshot_io::SparseIndex next_index(const Plan& plan) const;
  [[nodiscard]] std::expected<void, StoreError> commit(const Plan& plan);
  [[nodiscard]] std::expected<std::vector<ByteRange>, StoreError> write_changes(
      const Plan& plan, std::uint64_t target);

  UniqueFd fd_;
  FileIo io_{real_file_system()};
  StoreConfig config_;
  std::uint64_t index_entries_ = kDefaultIndexEntries;
  std::uint64_t generation_ = 0;
  std::uint64_t live_bytes_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t slot_ = 0;
  snapshot_io::SparseIndex index_;
  // Where both slots are known to hold the same bytes: the unchanged
  // stretches the last commit kept in place. Ascending, disjoint, on record
  // boundaries of the current snapshot; empty after opening.
  std::vector<ByteRange> same_;
  bool poisoned_ = false;
  std::uint64_t record_reads_ = 0;
  std::unique_ptr<Scratch> scratch_;
  CommitObserver observer_;
};

}  // namespace tovik
