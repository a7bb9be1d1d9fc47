#include "core/store.h"

#include <algorithm>
#include <limits>

#include "core/file_format.h"
#include "core/snapshot_io.h"

namespace tovik {
namespace {

using snapshot_io::AlignedBlock;
using snapshot_io::kPageSize;
using snapshot_io::OrderedWalk;
using snapshot_io::RecordView;
using snapshot_io::SnapshotReader;
using snapshot_io::SnapshotWriter;

// Opening, verifying and committing stream the whole snapshot, through a
// window small enough to stay in a core's cache while its records are
// checked and, in a commit, written out again.
constexpr std::size_t kBulkWindow = std::size_t{512} << 10;
// Cursors usually stop after a page of results.
constexpr std::size_t kScanWindow = std::size_t{64} << 10;
// A single record (binary search probes, read_record_at) is usually small.
constexpr std::size_t kProbeWindow = kPageSize;
constexpr std::uint64_t kMaxGeneration = std::numeric_limits<std::uint64_t>::max();

std::uint64_t stride_for(std::uint64_t records, std::uint64_t index_entries) {
  const std::uint64_t entries = std::max<std::uint64_t>(index_entries, 1);
  return std::max<std::uint64_t>((records + entries - 1) / entries, 1);
}

// Says which records go into the sparse index: every stride-th, the first
// included, counted down rather than divided for each record.
class IndexSampler {
 public:
  IndexSampler(std::uint64_t index_entries, std::uint64_t stride)
      : enabled_(index_entries > 0), stride_(stride) {}

  // Called once per record in order: true when this record is sampled.
  bool take() {
    if (!enabled_) return false;
    if (until_next_ > 0) {
      --until_next_;
      return false;
    }
    until_next_ = stride_ - 1;
    return true;
  }

 private:
  bool enabled_;
  std::uint64_t stride_;
  std::uint64_t until_next_ = 0;
};

// Binary search over the sparse index: the number of entries whose key is at
// or below `key`. key_at(e) yields the key of entry e.
template <typename KeyAt>
std::expected<std::size_t, StoreError> entries_at_or_below(std::size_t entries,
                                                           std::string_view key, KeyAt&& key_at) {
  std::size_t lo = 0;
  std::size_t hi = entries;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    auto entry_key = key_at(mid);
    if (!entry_key) return std::unexpected(entry_key.error());
    if (*entry_key <= key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Turns a zero-length file into a new database: the length is set and synced
// before the first header exists, so no crash leaves a header in a file of the
// wrong size. A failure puts the length back to zero (best effort): the file
// held nothing, and an empty file can be initialised again, whereas a
// full-length file without a header would be refused as corrupt for good.
[[nodiscard]] std::expected<void, StoreError> initialise(FileIo& io, int fd,
                                                         std::uint64_t slot_size) {
  auto step = io.truncate(fd, 2 * slot_size);
  if (step) step = io.sync(fd);
  if (step) {
    const HeaderBytes first = encode_header(CommitHeader{kStorageVersion, 1, 0, 0, slot_size});
    step = io.write_at(fd, 0, first);
  }
  if (step) step = io.sync(fd);
  if (!step) {
    if (io.truncate(fd, 0)) (void)io.sync(fd);
    return step;
  }
  return {};
}

[[nodiscard]] std::expected<void, StoreError> check_config(const StoreConfig& config) {
  if (config.slot_size < kMinSlotSize || config.slot_size > kMaxSlotSize ||
      config.max_key_len < 1 || config.max_key_len > kMaxFieldLength ||
      config.max_value_len > kMaxFieldLength) {
    return std::unexpected(StoreError::Invalid);
  }
  return {};
}

}  // namespace

// Buffers kept between operations (their contents are not: every operation
// reads the file again). One for single-record probes, one for walks, one
// for the new snapshot being written.
struct Store::Scratch {
  AlignedBlock probe;
  AlignedBlock walk;
  AlignedBlock write;
};

// ---------------------------------------------------------------------------
// Opening a file

std::expected<UniqueFd, StoreError> open_database_file(const std::string& path, bool create_new,
                                                       FileSystem& fs) {
  // Locked without waiting: a database held elsewhere is refused at once.
  auto fd = fs.open_locked(path, create_new);
  if (!fd) return std::unexpected(StoreError::Io);
  // Synced on every open, not only on creation: a file created by a process
  // that crashed before syncing its directory is made durable by the next user.
  if (!fs.sync_directory(parent_directory(path))) return std::unexpected(StoreError::Io);
  return std::move(*fd);
}

std::expected<UniqueFd, StoreError> open_existing_database(const std::string& path,
                                                           FileSystem& fs) {
  auto fd = open_database_file(path, false, fs);
  if (!fd) return fd;
  auto length = fs.file_size(fd->get());
  if (!length) return std::unexpected(StoreError::Io);
  // Only init may turn an empty file into a database; an empty file here is
  // more likely a damaged one.
  if (*length == 0) return std::unexpected(StoreError::Corrupt);
  return fd;
}

// ---------------------------------------------------------------------------
// Store::open

Store::Store(Store&& other) noexcept = default;
Store& Store::operator=(Store&& other) noexcept = default;
Store::~Store() = default;

Store::Scratch& Store::scratch() {
  if (!scratch_) scratch_ = std::make_unique<Scratch>();
  return *scratch_;
}

std::uint64_t Store::data_base(std::uint64_t slot) const {
  return slot * config_.slot_size + kHeaderSize;
}

std::expected<Store, StoreError> Store::open(UniqueFd fd, StoreConfig config,
                                             std::uint64_t index_entries, FileSystem& fs) {
  FileIo io(fs);
  auto config_ok = check_config(config);
  if (!config_ok) return std::unexpected(config_ok.error());
  const std::uint64_t slot_size = config.slot_size;
  const std::uint64_t file_size = 2 * slot_size;

  auto length = io.size(fd.get());
  if (!length) return std::unexpected(length.error());
  if (*length == 0) {
    auto initialised = initialise(io, fd.get(), slot_size);
    if (!initialised) return std::unexpected(initialised.error());
  } else if (*length != file_size) {
    return std::unexpected(StoreError::Invalid);
  }

  bool torn = false;
  std::optional<CommitHeader> chosen;
  std::uint64_t chosen_slot = 0;
  for (std::uint64_t k = 0; k < 2; ++k) {
    HeaderBytes bytes{};
    auto read = io.read_at(fd.get(), k * slot_size, bytes);
    if (!read) return std::unexpected(read.error());
    const DecodedHeader decoded = decode_header(bytes);
    if (decoded.state == HeaderState::Torn) {
      torn = true;
      continue;
    }
    if (decoded.state == HeaderState::Empty) continue;
    auto valid = check_header(decoded.header, k, slot_size);
    if (!valid) return std::unexpected(valid.error());
    if (chosen) {
      const std::uint64_t a = chosen->generation;
      const std::uint64_t b = decoded.header.generation;
      if ((a > b ? a - b : b - a) != 1) return std::unexpected(StoreError::Corrupt);
      if (b < a) continue;
    }
    chosen = decoded.header;
    chosen_slot = k;
  }
  // A torn header means a commit was cut short while publishing: which
  // snapshot the user expects is unknown, so nothing is guessed.
  if (torn) return std::unexpected(StoreError::Ambiguous);
  if (!chosen) return std::unexpected(StoreError::Corrupt);

  Store store;
  store.fd_ = std::move(fd);
  store.io_ = io;
  store.config_ = config;
  store.index_entries_ = index_entries;
  store.generation_ = chosen->generation;
  store.live_bytes_ = chosen->live_bytes;
  store.records_ = chosen->records;
  store.slot_ = chosen_slot;
  auto loaded = store.load(index_entries);
  if (!loaded) return std::unexpected(loaded.error());
  return store;
}

// Reads back and verifies every record of the chosen snapshot while building
// the sparse index.
std::expected<void, StoreError> Store::load(std::uint64_t index_entries) {
  IndexSampler sampler(index_entries, stride_for(records_, index_entries));
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        kBulkWindow, &record_reads_);
  OrderedWalk walk(reader, 0, live_bytes_, records_);
  for (;;) {
    const std::uint64_t p = walk.offset();
    auto record = walk.next();
    if (!record) return std::unexpected(record.error());
    if (!*record) return {};
    // More records than announced: refused before the index grows past it.
    if (walk.count() > records_) return std::unexpected(StoreError::Corrupt);
    if (sampler.take()) index_.push_back(p);
  }
}

// ---------------------------------------------------------------------------
// Reading

std::expected<Record, StoreError> Store::test_read_record_at(std::uint64_t offset) {
  if (poisoned_) return std::unexpected(StoreError::Poisoned);
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().probe,
                        kProbeWindow, &record_reads_);
  auto record = reader.read(offset);
  if (!record) return std::unexpected(record.error());
  return Record{std::string(record->key), std::string(record->value), record->length};
}

std::expected<Store::Lookup, StoreError> Store::locate_range(std::string_view key) {
  if (index_.empty()) return Lookup{0, live_bytes_};
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().probe,
                        kProbeWindow, &record_reads_);
  auto lo = entries_at_or_below(index_.size(), key,
                                [&](std::size_t e) -> std::expected<std::string_view, StoreError> {
                                  auto record = reader.read(index_[e]);
                                  if (!record) return std::unexpected(record.error());
                                  return record->key;
                                });
  if (!lo) return std::unexpected(lo.error());
  const std::uint64_t offset = *lo > 0 ? index_[*lo - 1] : index_[0];
  const std::uint64_t next = *lo < index_.size() ? index_[*lo] : live_bytes_;
  return Lookup{offset, next};
}

std::expected<std::uint64_t, StoreError> Store::test_locate(std::string_view key) {
  if (poisoned_) return std::unexpected(StoreError::Poisoned);
  auto lookup = locate_range(key);
  if (!lookup) return std::unexpected(lookup.error());
  return lookup->offset;
}

std::expected<std::optional<std::string>, StoreError> Store::get(std::string_view key) {
  if (poisoned_) return std::unexpected(StoreError::Poisoned);
  auto lookup = locate_range(key);
  if (!lookup) return std::unexpected(lookup.error());
  const std::uint64_t start = lookup->offset;
  // The whole stride up to the next index entry (whose key is beyond the
  // sought one) comes in one read, with room for that entry's record.
  const std::uint64_t span_end = std::max(lookup->next_entry, start) - start + kPageSize;
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        static_cast<std::size_t>(std::min<std::uint64_t>(span_end, kBulkWindow)),
                        &record_reads_);
  OrderedWalk walk(reader, start, live_bytes_, records_);
  for (;;) {
    auto record = walk.next();
    if (!record) return std::unexpected(record.error());
    if (!*record) return std::optional<std::string>();
    if ((*record)->key >= key) {
      if ((*record)->key == key) return std::optional<std::string>(std::string((*record)->value));
      return std::optional<std::string>();
    }
  }
}

// ---------------------------------------------------------------------------
// Cursor

struct Store::Cursor::State {
  State(Store& s, std::uint64_t offset)
      : store(&s),
        reader(s.io_, s.fd_.get(), s.config_, s.data_base(s.slot_), s.live_bytes_, block,
               kScanWindow, &s.record_reads_),
        walk(reader, offset, s.live_bytes_, s.records_),
        generation(s.generation_) {}

  Store* store;
  AlignedBlock block;  // the cursor outlives operations, so it has its own
  SnapshotReader reader;
  OrderedWalk walk;
  std::uint64_t generation;
  std::string start_key;
  bool start_exclusive = false;  // after a commit: resume past the last key yielded
  std::string key;               // the yielded key after next() == true
  std::string_view value;
  bool yielded = false;
  bool done = false;
};

Store::Cursor::Cursor(std::unique_ptr<State> state) : state_(std::move(state)) {}
Store::Cursor::Cursor(Cursor&& other) noexcept = default;
Store::Cursor& Store::Cursor::operator=(Cursor&& other) noexcept = default;
Store::Cursor::~Cursor() = default;

std::string_view Store::Cursor::key() const { return state_ ? state_->key : std::string_view(); }
std::string_view Store::Cursor::value() const {
  return state_ ? state_->value : std::string_view();
}

std::expected<bool, StoreError> Store::Cursor::next() {
  if (!state_) return false;
  State& s = *state_;
  Store& store = *s.store;
  if (store.poisoned_) return std::unexpected(StoreError::Poisoned);
  if (s.done) return false;
  if (s.generation != store.generation_) {
    // The snapshot under the cursor was replaced: position again in the new one.
    if (s.yielded) {
      s.start_key = s.key;
      s.start_exclusive = true;
    }
    auto lookup = store.locate_range(s.start_key);
    if (!lookup) return std::unexpected(lookup.error());
    s.reader.reset(store.data_base(store.slot_), store.live_bytes_);
    s.walk.restart(lookup->offset, store.live_bytes_, store.records_);
    s.generation = store.generation_;
  }
  for (;;) {
    auto record = s.walk.next();
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
    const std::string_view key = (*record)->key;
    if (key < s.start_key || (s.start_exclusive && key == s.start_key)) continue;
    s.key.assign(key);
    s.value = (*record)->value;
    s.yielded = true;
    return true;
  }
  s.done = true;
  return false;
}

std::expected<Store::Cursor, StoreError> Store::scan_from(std::string_view start_key) {
  if (poisoned_) return std::unexpected(StoreError::Poisoned);
  auto lookup = locate_range(start_key);
  if (!lookup) return std::unexpected(lookup.error());
  auto state = std::make_unique<Cursor::State>(*this, lookup->offset);
  state->start_key.assign(start_key);
  return Cursor(std::move(state));
}

// ---------------------------------------------------------------------------
// Commit

std::expected<void, StoreError> Store::apply(std::span<const Mutation> batch) {
  return apply_checked(batch, kMaxBatchMutations);
}

std::expected<void, StoreError> Store::apply_bulk(std::span<const Mutation> batch) {
  return apply_checked(batch, batch.size());
}

std::expected<void, StoreError> Store::apply_checked(std::span<const Mutation> batch,
                                                     std::size_t max_mutations) {
  if (poisoned_) return std::unexpected(StoreError::Poisoned);
  if (batch.size() > max_mutations) return std::unexpected(StoreError::Invalid);
  for (std::size_t i = 1; i < batch.size(); ++i) {
    if (!(batch[i - 1].key < batch[i].key)) return std::unexpected(StoreError::Invalid);
  }
  if (batch.empty()) return {};
  for (const Mutation& m : batch) {
    if (m.key.empty() || m.key.size() > config_.max_key_len) {
      return std::unexpected(StoreError::Invalid);
    }
    if (m.value && m.value->size() > config_.max_value_len) {
      return std::unexpected(StoreError::Invalid);
    }
  }
  if (generation_ == kMaxGeneration) return std::unexpected(StoreError::Full);
  // A snapshot that cannot fit is refused while the file is untouched, so
  // the Store stays usable rather than being poisoned halfway through.
  auto size = merged_size(batch);
  if (!size) return std::unexpected(size.error());
  if (*size > config_.slot_size - kHeaderSize) return std::unexpected(StoreError::Full);
  auto committed = commit(batch);
  if (!committed) {
    poisoned_ = true;
    return committed;
  }
  return {};
}

// The exact live_bytes the merge will produce. The records a batch replaces
// or deletes are found the way get finds them; since the batch is sorted, a
// lookup that lands inside the stretch already walked carries on from there,
// and each index entry is read at most once.
std::expected<std::uint64_t, StoreError> Store::merged_size(std::span<const Mutation> batch) {
  SnapshotReader probe(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().probe,
                       kProbeWindow, &record_reads_);
  SnapshotReader scan(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                      kScanWindow, &record_reads_);
  std::vector<std::optional<std::string>> entry_keys(index_.size());
  auto key_at = [&](std::size_t e) -> std::expected<std::string_view, StoreError> {
    if (!entry_keys[e]) {
      auto record = probe.read(index_[e]);
      if (!record) return std::unexpected(record.error());
      entry_keys[e] = std::string(record->key);
    }
    return std::string_view(*entry_keys[e]);
  };

  std::uint64_t added = 0;
  std::uint64_t removed = 0;
  // Every record before the walk's position has a key below the last
  // mutation's; a lookup that lands inside the stretch walked carries on.
  OrderedWalk walk(scan, 0, live_bytes_, records_);
  bool walked = false;
  for (const Mutation& m : batch) {
    if (m.value) added += record_size(m.key.size(), m.value->size());
    std::uint64_t from = 0;
    if (!index_.empty()) {
      auto lo = entries_at_or_below(index_.size(), m.key, key_at);
      if (!lo) return std::unexpected(lo.error());
      from = *lo > 0 ? index_[*lo - 1] : index_[0];
    }
    if (!walked || from > walk.offset()) walk.restart(from, live_bytes_, records_);
    walked = true;
    for (;;) {
      auto record = walk.peek();
      if (!record) return std::unexpected(record.error());
      if (!*record) break;
      if ((*record)->key >= m.key) {
        if ((*record)->key == m.key) removed += (*record)->length;
        break;
      }
      walk.skip();
    }
  }
  return live_bytes_ - removed + added;
}

// Steps after the checks; any failure here leaves the Store poisoned (the
// caller marks it), and the file still opens at the current generation
// because the target header is emptied before anything else is written.
std::expected<void, StoreError> Store::commit(std::span<const Mutation> batch) {
  const int fd = fd_.get();
  const std::uint64_t target = 1 - slot_;
  const std::uint64_t header_at = target * config_.slot_size;

  const HeaderBytes empty{};
  auto step = io_.write_at(fd, header_at, empty);
  if (!step) return step;
  step = io_.sync(fd);
  if (!step) return step;

  auto merged = write_merged(batch, target);
  if (!merged) return std::unexpected(merged.error());
  step = io_.sync(fd);
  if (!step) return step;

  const std::uint64_t new_generation = generation_ + 1;
  const HeaderBytes header = encode_header(CommitHeader{
      kStorageVersion, new_generation, merged->live_bytes, merged->records, config_.slot_size});
  step = io_.write_at(fd, header_at, header);
  if (!step) return step;
  step = io_.sync(fd);
  if (!step) return step;

  generation_ = new_generation;
  live_bytes_ = merged->live_bytes;
  records_ = merged->records;
  slot_ = target;
  index_ = std::move(merged->index);
  return {};
}

// The current snapshot merged with the batch, written into the data area of
// slot `target` (not yet synced).
std::expected<Store::Merged, StoreError> Store::write_merged(std::span<const Mutation> batch,
                                                             std::uint64_t target) {
  const std::uint64_t capacity = config_.slot_size - kHeaderSize;
  IndexSampler sampler(index_entries_, stride_for(records_ + batch.size(), index_entries_));
  Merged merged;
  SnapshotWriter writer(io_, fd_.get(), data_base(target), scratch().write);

  // Every record of the new snapshot goes through here, in key order.
  auto emit = [&](std::uint64_t length, auto&& append) -> std::expected<void, StoreError> {
    if (sampler.take()) merged.index.push_back(merged.live_bytes);
    if (merged.live_bytes + length > capacity) return std::unexpected(StoreError::Full);
    auto appended = append();
    if (!appended) return appended;
    merged.live_bytes += length;
    ++merged.records;
    return {};
  };
  auto emit_new = [&](const Mutation& m) {
    return emit(record_size(m.key.size(), m.value->size()),
                [&] { return writer.append_record(m.key, *m.value); });
  };

  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        kBulkWindow, &record_reads_);
  std::size_t next = 0;
  auto merge = [&](const RecordView& record) -> std::expected<void, StoreError> {
    // The mutations before the record, then the one that replaces or deletes it.
    for (; next < batch.size() && batch[next].key <= record.key; ++next) {
      if (batch[next].value) {
        auto emitted = emit_new(batch[next]);
        if (!emitted) return emitted;
      }
      if (batch[next].key == record.key) {
        ++next;
        return {};
      }
    }
    // An unchanged record was just verified, so its stored bytes (CRC
    // included) are exactly what encoding it again would produce.
    return emit(record.length, [&] { return writer.append_borrowed(record.bytes); });
  };
  {
    // Borrowed records must be written before the window under them is reused.
    OrderedWalk walk(reader, 0, live_bytes_, records_,
                     [&writer] { return writer.release_borrowed(); });
    for (;;) {
      auto record = walk.next();
      if (!record) return std::unexpected(record.error());
      if (!*record) break;
      if (auto merged_one = merge(**record); !merged_one)
        return std::unexpected(merged_one.error());
    }
  }
  for (; next < batch.size(); ++next) {
    if (!batch[next].value) continue;
    if (auto emitted = emit_new(batch[next]); !emitted) return std::unexpected(emitted.error());
  }
  if (auto flushed = writer.flush(); !flushed) return std::unexpected(flushed.error());
  return merged;
}

// ---------------------------------------------------------------------------
// Integrity check and statistics

std::expected<void, StoreError> Store::verify(const RecordValidator& validator) {
  if (poisoned_) return std::unexpected(StoreError::Poisoned);
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        kBulkWindow, &record_reads_);
  OrderedWalk walk(reader, 0, live_bytes_, records_);
  for (;;) {
    auto record = walk.next();
    if (!record) return std::unexpected(record.error());
    if (!*record) return {};
    if (validator && !validator((*record)->key, (*record)->value)) {
      return std::unexpected(StoreError::Corrupt);
    }
  }
}

StoreStats Store::stats() const { return StoreStats{generation_, live_bytes_, records_}; }
std::uint64_t Store::generation() const { return generation_; }
std::uint64_t Store::live_bytes() const { return live_bytes_; }
std::uint64_t Store::records() const { return records_; }
std::uint64_t Store::test_slot() const { return slot_; }
bool Store::poisoned() const { return poisoned_; }
const StoreConfig& Store::config() const { return config_; }
const std::vector<std::uint64_t>& Store::test_index() const { return index_; }
std::uint64_t Store::test_record_reads() const { return record_reads_; }

}  // namespace tovik
