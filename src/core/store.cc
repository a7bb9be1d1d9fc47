#include "core/store.h"

#include <algorithm>
#include <limits>

#include "core/file_format.h"
#include "core/snapshot_io.h"

namespace tovik {
namespace {

using snapshot_io::AlignedBlock;
using snapshot_io::IndexBuilder;
using snapshot_io::kBulkWindow;
using snapshot_io::kPageSize;
using snapshot_io::kScanWindow;
using snapshot_io::OrderedWalk;
using snapshot_io::SnapshotReader;

// A single record (read_record_at) is usually small.
constexpr std::size_t kProbeWindow = kPageSize;

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

// The slot size of an existing file of `length` bytes: the configured one
// when the length fits it, else the one its header records, provided that is
// half the length. The first header decides unless it is empty or torn, in
// which case the second (at half the length) does.
[[nodiscard]] std::expected<std::uint64_t, StoreError> slot_size_of(FileIo& io, int fd,
                                                                    std::uint64_t length,
                                                                    std::uint64_t configured) {
  if (length == 2 * configured) return configured;
  if (length % 2 != 0 || length / 2 < kMinSlotSize) return std::unexpected(StoreError::Invalid);
  const std::uint64_t half = length / 2;
  for (const std::uint64_t at : {std::uint64_t{0}, half}) {
    HeaderBytes bytes{};
    auto read = io.read_at(fd, at, bytes);
    if (!read) return std::unexpected(read.error());
    const DecodedHeader decoded = decode_header(bytes);
    if (decoded.state != HeaderState::Sealed) continue;
    if (decoded.header.slot_size != half) return std::unexpected(StoreError::Invalid);
    return half;
  }
  return std::unexpected(StoreError::Invalid);
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

  auto length = io.size(fd.get());
  if (!length) return std::unexpected(length.error());
  if (*length == 0) {
    auto initialised = initialise(io, fd.get(), config.slot_size);
    if (!initialised) return std::unexpected(initialised.error());
  } else {
    auto own = slot_size_of(io, fd.get(), *length, config.slot_size);
    if (!own) return std::unexpected(own.error());
    config.slot_size = *own;
  }
  const std::uint64_t slot_size = config.slot_size;

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
  store.index_entries_ =
      index_entries == kIndexByCapacity ? index_entries_for(slot_size) : index_entries;
  store.generation_ = chosen->generation;
  store.live_bytes_ = chosen->live_bytes;
  store.records_ = chosen->records;
  store.slot_ = chosen_slot;
  auto loaded = store.load();
  if (!loaded) return std::unexpected(loaded.error());
  return store;
}

// Reads back and verifies every record of the chosen snapshot while building
// the sparse index.
std::expected<void, StoreError> Store::load() {
  IndexBuilder builder(index_, index_entries_, snapshot_io::stride_for(records_, index_entries_));
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
    builder.add(p, (*record)->key);
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
  // The keys are the index's own copies, so positioning reads nothing; the
  // walk from the entry verifies every record it meets.
  const std::size_t lo = snapshot_io::entries_at_or_below(index_, key);
  const std::uint64_t offset = lo > 0 ? index_[lo - 1].offset : index_[0].offset;
  const std::uint64_t next = lo < index_.size() ? index_[lo].offset : live_bytes_;
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
  // The key of the next index entry is beyond the sought one, so the walk
  // ends there at the latest, and the whole stretch comes in one read.
  const std::uint64_t end = std::max(lookup->next_entry, start);
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        static_cast<std::size_t>(std::min<std::uint64_t>(end - start, kBulkWindow)),
                        &record_reads_);
  OrderedWalk walk(reader, start, live_bytes_, records_);
  while (walk.offset() < end || end == live_bytes_) {
    auto record = walk.next();
    if (!record) return std::unexpected(record.error());
    if (!*record) break;
    if ((*record)->key >= key) {
      if ((*record)->key == key) return std::optional<std::string>(std::string((*record)->value));
      break;
    }
  }
  return std::optional<std::string>();
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
std::vector<std::uint64_t> Store::test_index() const {
  std::vector<std::uint64_t> offsets;
  for (const auto& entry : index_) offsets.push_back(entry.offset);
  return offsets;
}

std::uint64_t index_entries_for(std::uint64_t slot_size) {
  return std::max(kDefaultIndexEntries, slot_size / kCapacityPerIndexEntry);
}
std::uint64_t Store::test_record_reads() const { return record_reads_; }

}  // namespace tovik
