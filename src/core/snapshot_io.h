// Streaming a snapshot's records in and out of the file: the store's
// internal machinery, not part of the core library's interface.
//
// SnapshotReader reads and verifies single records through a window of file
// bytes. OrderedWalk goes through the records of a snapshot in order on top
// of it and owns the snapshot's ordering rules: each record is verified,
// keys strictly ascend, and a walk that started at the first record must
// meet exactly the number of records its header announced. SnapshotWriter
// collects the records of a new snapshot and writes them in large pieces.
//
// Views handed out (record keys, values and bytes) stay valid until the
// reader's next refill of its window. None of these types is shared between
// threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/file_format.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "core/store_error.h"

namespace tovik::snapshot_io {

// Reads whose buffer address and file offset disagree modulo the page size
// run several times slower, so buffers are page-aligned and reads start on a
// page boundary of the file.
inline constexpr std::uint64_t kPageSize = 4096;
// Opening, verifying and the copies of a commit stream whole stretches of a
// snapshot, through a window small enough to stay in a core's cache while
// its records are checked and, in a commit, written out again.
inline constexpr std::size_t kBulkWindow = std::size_t{512} << 10;
// Cursors usually stop after a page of results; a commit's lookups read one
// stretch of the index each.
inline constexpr std::size_t kScanWindow = std::size_t{64} << 10;

struct FreeDeleter {
  void operator()(char* p) const;
};
using AlignedBuffer = std::unique_ptr<char[], FreeDeleter>;

// A page-aligned buffer that grows on demand and is kept for reuse, so that
// repeated operations do not fault in fresh pages each time.
struct AlignedBlock {
  AlignedBuffer data;
  std::size_t capacity = 0;

  // False when memory is short.
  [[nodiscard]] bool reserve(std::uint64_t bytes);
  char* get() const { return data.get(); }
};

struct RecordView {
  std::string_view key;
  std::string_view value;
  std::span<const char> bytes;  // the whole record as stored
  std::uint64_t length = 0;
};

using RefillHook = std::function<std::expected<void, StoreError>()>;

// Reads and verifies the records of one snapshot through a window of file
// bytes, so a walk costs one read per window rather than per record.
class SnapshotReader {
 public:
  // counter, when given, is incremented once per record read.
  SnapshotReader(FileIo& io, int fd, const StoreConfig& config, std::uint64_t data_base,
                 std::uint64_t live_bytes, AlignedBlock& block, std::size_t window,
                 std::uint64_t* counter);

  // Called before the window is overwritten by the next read.
  void on_refill(RefillHook hook) { before_refill_ = std::move(hook); }

  // Points the reader at another snapshot; nothing stays resident.
  void reset(std::uint64_t data_base, std::uint64_t live_bytes);

  // The record at data offset p, its length fields checked against the
  // limits and the rest of the snapshot and its CRC verified.
  [[nodiscard]] std::expected<RecordView, StoreError> read(std::uint64_t p);

 private:
  [[nodiscard]] std::expected<const char*, StoreError> resident(std::uint64_t p,
                                                                std::uint64_t length);
  [[nodiscard, gnu::noinline]] std::expected<const char*, StoreError> refill(std::uint64_t from,
                                                                             std::uint64_t length);

  FileIo* io_;
  int fd_;
  std::uint64_t max_key_len_;
  std::uint64_t max_value_len_;
  std::uint64_t data_base_;
  std::uint64_t live_bytes_;
  std::size_t window_;
  std::uint64_t* counter_;
  AlignedBlock* block_;
  RefillHook before_refill_;
  std::uint64_t start_ = 0;     // file offset of the block's first byte
  std::uint64_t resident_ = 0;  // valid bytes in the block
};

// The records of a snapshot in key order, from a record boundary onwards.
// Holds the reader's refill hook while it lives. Not movable: the hook
// refers to it.
class OrderedWalk {
 public:
  // Walks from data offset `from` to the end of a snapshot of live_bytes
  // holding `records` records (the header's figures). also_before_refill
  // runs whenever the reader's window is about to be overwritten.
  OrderedWalk(SnapshotReader& reader, std::uint64_t from, std::uint64_t live_bytes,
              std::uint64_t records, RefillHook also_before_refill = {});
  ~OrderedWalk();
  OrderedWalk(const OrderedWalk&) = delete;
  OrderedWalk& operator=(const OrderedWalk&) = delete;

  // Starts again at `from`, as if newly made (the reader must already be
  // pointed at the snapshot).
  void restart(std::uint64_t from, std::uint64_t live_bytes, std::uint64_t records);

  // The record at the walk's position, without moving past it: null at the
  // end of the snapshot, Corrupt when its key does not ascend. At the end
  // the count rule is applied (see finish). The view stays valid until the
  // walk's next peek.
  [[nodiscard]] std::expected<const RecordView*, StoreError> peek();
  // Moves past the record peek just returned.
  void skip();
  // peek then skip.
  [[nodiscard]] std::expected<const RecordView*, StoreError> next();

  // Data offset of the record peek would return next.
  std::uint64_t offset() const { return offset_; }
  // Records moved past since the walk (re)started.
  std::uint64_t count() const { return count_; }
  bool at_end() const { return offset_ >= live_bytes_; }

 private:
  // At the end of a walk from the first record: the records met must be
  // exactly the ones the header announced.
  [[nodiscard]] std::expected<void, StoreError> finish() const;

  SnapshotReader* reader_;
  RefillHook also_before_refill_;
  std::uint64_t start_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t live_bytes_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t count_ = 0;
  RecordView current_;
  // The key of the last record moved past: a view into the reader's window,
  // copied only when the window is about to be overwritten.
  std::string_view previous_;
  std::string pinned_;
};

// Collects the bytes of a new snapshot and writes them out in large pieces at
// the offsets the per-record layout gives them, so the file ends up the same.
// Bytes are either owned (copied into the buffer) or borrowed (a stretch of
// unchanged records still sitting in the reader's window); never both at once,
// which keeps them in file order. Completed stretches are handed to the disk
// (start_writeback) while the writing goes on.
class SnapshotWriter {
 public:
  SnapshotWriter(FileIo& io, int fd, std::uint64_t data_base, AlignedBlock& block);

  // Appends the bytes of one complete record.
  [[nodiscard]] std::expected<void, StoreError> append(std::span<const char> bytes);
  // Appends a record whose bytes stay valid until release_borrowed() is called.
  [[nodiscard]] std::expected<void, StoreError> append_borrowed(std::span<const char> bytes);
  // Stops borrowing: the pending stretch is written, or copied when short.
  [[nodiscard]] std::expected<void, StoreError> release_borrowed();
  // Encodes and appends one record.
  [[nodiscard]] std::expected<void, StoreError> append_record(std::string_view key,
                                                              std::string_view value);
  // Writes everything still buffered.
  [[nodiscard]] std::expected<void, StoreError> flush();
  // Goes on at data offset `offset`, at or beyond where the writing has got
  // to: what is pending goes out first. Bytes skipped are left as they are.
  [[nodiscard]] std::expected<void, StoreError> seek(std::uint64_t offset);

 private:
  void advance(std::uint64_t bytes);
  void place();

  FileIo* io_;
  int fd_;
  std::uint64_t data_base_;
  std::uint64_t next_;            // file offset of buffer_[placement_]
  std::uint64_t writeback_from_;  // first page not yet handed to start_writeback
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t placement_ = 0;
  std::size_t used_ = 0;
  const char* run_ = nullptr;  // borrowed stretch, file offset next_
  std::size_t run_length_ = 0;
};

// ---- Inline: the per-record steps of every walk, forced inline so each
// walk compiles to one loop ----

[[gnu::always_inline]] inline std::expected<RecordView, StoreError> SnapshotReader::read(
    std::uint64_t p) {
  if (p >= live_bytes_ || live_bytes_ - p < kRecordHeaderSize) {
    return std::unexpected(StoreError::Corrupt);
  }
  auto prefix_bytes = resident(p, kRecordHeaderSize);
  if (!prefix_bytes) return std::unexpected(prefix_bytes.error());
  const auto prefix = decode_record_prefix(
      std::span<const char, kRecordHeaderSize>(*prefix_bytes, kRecordHeaderSize), live_bytes_ - p,
      max_key_len_, max_value_len_);
  if (!prefix) return std::unexpected(prefix.error());
  auto record_bytes = resident(p, prefix->length);
  if (!record_bytes) return std::unexpected(record_bytes.error());
  const std::span<const char> record(*record_bytes, prefix->length);
  if (!record_crc_matches(*prefix, record)) return std::unexpected(StoreError::Corrupt);
  if (counter_ != nullptr) ++*counter_;
  return RecordView{record_key(*prefix, record), record_value(*prefix, record), record,
                    prefix->length};
}

// Makes [p, p + length) of the data area resident and returns where it is.
[[gnu::always_inline]] inline std::expected<const char*, StoreError> SnapshotReader::resident(
    std::uint64_t p, std::uint64_t length) {
  const std::uint64_t from = data_base_ + p;
  if (resident_ > 0 && from >= start_ && from + length <= start_ + resident_) {
    return block_->get() + (from - start_);
  }
  return refill(from, length);
}

[[gnu::always_inline]] inline std::expected<const RecordView*, StoreError> OrderedWalk::peek() {
  if (at_end()) {
    auto finished = finish();
    if (!finished) return std::unexpected(finished.error());
    return nullptr;
  }
  auto record = reader_->read(offset_);
  if (!record) return std::unexpected(record.error());
  if (count_ > 0 && record->key <= previous_) return std::unexpected(StoreError::Corrupt);
  current_ = *record;
  return &current_;
}

[[gnu::always_inline]] inline void OrderedWalk::skip() {
  previous_ = current_.key;
  offset_ += current_.length;
  ++count_;
}

[[gnu::always_inline]] inline std::expected<const RecordView*, StoreError> OrderedWalk::next() {
  auto record = peek();
  if (record && *record != nullptr) skip();
  return record;
}

}  // namespace tovik::snapshot_io

namespace tovik {

// Buffers a Store keeps between operations (their contents are not: every
// operation reads the file again). One for single-record probes, one for
// walks, one for the new snapshot being written.
struct Store::Scratch {
  snapshot_io::AlignedBlock probe;
  snapshot_io::AlignedBlock walk;
  snapshot_io::AlignedBlock write;
};

}  // namespace tovik
