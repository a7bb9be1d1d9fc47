// The sparse index of a snapshot: the data offset and key of every so many
// records, kept in memory so that a lookup finds the stretch that holds its
// key without reading the file, and reads only that stretch.
//
//   - Entries ascend by offset and key; the first sits at offset 0 and has
//     the empty key, so it sorts at or before every key.
//   - Each entry counts the records from it up to the next entry (or the end
//     of the snapshot), so a commit rebuilds only the stretches it changes
//     and moves the others by the bytes inserted or removed before them.
//   - Opening builds the exact form: an entry at every stride-th record.
//     A commit keeps every stretch it rebuilds within one stride and thins
//     the index once it holds more than twice its target.
//
// The store's internal machinery, used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace tovik::snapshot_io {

struct IndexEntry {
  std::uint64_t offset = 0;   // data offset of the record
  std::uint64_t records = 0;  // records from this one up to the next entry
  std::string key;            // the record's key; empty for the first entry
};
using SparseIndex = std::vector<IndexEntry>;

// Records per entry for a snapshot of `records` records: ceil(records /
// index_entries), at least 1.
std::uint64_t stride_for(std::uint64_t records, std::uint64_t index_entries);

// The number of entries whose key is at or below `key`.
std::size_t entries_at_or_below(const SparseIndex& index, std::string_view key);

// Appends an entry for every stride-th record handed to it, the first
// included, counting the records in between.
class IndexBuilder {
 public:
  IndexBuilder(SparseIndex& out, std::uint64_t index_entries, std::uint64_t stride)
      : out_(&out), enabled_(index_entries > 0), stride_(stride) {}

  // Called once per record, in key order.
  void add(std::uint64_t offset, std::string_view key) {
    if (!enabled_) return;
    if (until_next_ > 0) {
      --until_next_;
      ++out_->back().records;
      return;
    }
    until_next_ = stride_ - 1;
    out_->push_back(IndexEntry{offset, 1, out_->empty() ? std::string() : std::string(key)});
  }

 private:
  SparseIndex* out_;
  bool enabled_;
  std::uint64_t stride_;
  std::uint64_t until_next_ = 0;
};

// Once `index` holds more than twice `index_entries` entries, merges each
// stretch into the one before it while the two together stay within two
// strides: no record is read, and the stretches a lookup scans stay short.
void thin(SparseIndex& index, std::uint64_t index_entries, std::uint64_t stride);

}  // namespace tovik::snapshot_io
