// Committing a batch. It reads top to bottom in the order it runs: the
// checks, the plan (where each mutation lands in the current snapshot, found
// through the sparse index before anything is written), then the commit:
// the target header emptied and synced, the bytes of the new snapshot that
// the target slot does not already hold written and synced, the new header
// written and synced.
//
// What the target holds: the snapshot of two generations back, which the
// commit before this one compared with its own. Each commit records the
// stretches where it left the two slots byte-for-byte equal (the unchanged
// records it kept at their offsets); the next commit, writing into the other
// slot, writes of its own unchanged stretches only what falls outside them.
// Only stretches this Store wrote itself are ever trusted: after opening
// nothing is, so the first commit writes the whole snapshot.
#include <algorithm>
#include <limits>

#include "core/file_format.h"
#include "core/snapshot_io.h"
#include "core/store.h"

namespace tovik {
namespace {

using snapshot_io::IndexBuilder;
using snapshot_io::IndexEntry;
using snapshot_io::kBulkWindow;
using snapshot_io::kScanWindow;
using snapshot_io::OrderedWalk;
using snapshot_io::RecordView;
using snapshot_io::SnapshotReader;
using snapshot_io::SnapshotWriter;
using snapshot_io::SparseIndex;

constexpr std::uint64_t kMaxGeneration = std::numeric_limits<std::uint64_t>::max();

// One change to the current snapshot, at a record boundary.
struct Edit {
  std::uint64_t at = 0;           // data offset in the current snapshot
  std::uint64_t removed = 0;      // bytes of the record it replaces or deletes
  const Mutation* put = nullptr;  // the record written there; null for a delete
};

// One stretch of the sparse index as the commit leaves it: what rebuilding
// its entries needs.
struct Stretch {
  std::size_t entry = 0;                                       // where it begins
  std::uint64_t old_bytes = 0;                                 // its length before
  std::vector<std::pair<std::string, std::uint64_t>> records;  // key and length
};

}  // namespace

struct Store::Plan {
  std::vector<Edit> edits;
  std::vector<const Mutation*> changed;  // for the commit observer
  std::vector<Stretch> stretches;        // the stretches the batch touches, ascending
  std::uint64_t live_bytes = 0;
  std::uint64_t records = 0;
};

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
  auto plan = plan_commit(batch);
  if (!plan) return std::unexpected(plan.error());
  if (plan->live_bytes > config_.slot_size - kHeaderSize) return std::unexpected(StoreError::Full);
  auto committed = commit(*plan);
  if (!committed) {
    poisoned_ = true;
    same_.clear();
    return committed;
  }
  if (observer_) observer_(generation_, plan->changed);
  return {};
}

// Where each mutation lands: the stretch of the index that holds its key is
// walked (each record verified) to the record it replaces or deletes, or to
// the place it goes. A stretch the batch touches is walked to its end, so
// that its entries can be rebuilt; nothing else of the snapshot is read.
std::expected<Store::Plan, StoreError> Store::plan_commit(std::span<const Mutation> batch) {
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        kScanWindow, &record_reads_);
  OrderedWalk walk(reader, 0, live_bytes_, records_);
  const bool indexed = index_entries_ > 0;
  Plan plan;
  std::uint64_t added_bytes = 0, removed_bytes = 0, added_records = 0, removed_records = 0;
  for (std::size_t i = 0; i < batch.size();) {
    Stretch stretch;
    std::uint64_t to = live_bytes_;
    const std::string* bound = nullptr;  // the first key of the next stretch
    if (!index_.empty()) {
      const std::size_t lo = snapshot_io::entries_at_or_below(index_, batch[i].key);
      stretch.entry = lo > 0 ? lo - 1 : 0;
      if (stretch.entry + 1 < index_.size()) {
        to = index_[stretch.entry + 1].offset;
        bound = &index_[stretch.entry + 1].key;
      }
    }
    const std::uint64_t from = index_.empty() ? 0 : index_[stretch.entry].offset;
    stretch.old_bytes = to - from;
    walk.restart(from, live_bytes_, records_);
    auto keep = [&](std::string_view key, std::uint64_t length) {
      if (indexed) stretch.records.emplace_back(std::string(key), length);
    };
    for (; i < batch.size() && (bound == nullptr || batch[i].key < *bound); ++i) {
      const Mutation& m = batch[i];
      const RecordView* found = nullptr;
      while (walk.offset() < to) {
        auto record = walk.peek();
        if (!record) return std::unexpected(record.error());
        if (*record == nullptr) break;
        if ((*record)->key >= m.key) {
          if ((*record)->key == m.key) found = *record;
          break;
        }
        keep((*record)->key, (*record)->length);
        walk.skip();
      }
      const std::uint64_t at = walk.offset();
      if (m.value || found != nullptr) plan.changed.push_back(&m);
      if (found != nullptr && m.value && *m.value == found->value) {
        keep(found->key, found->length);  // the same bytes again: nothing changes
        walk.skip();
        continue;
      }
      if (found != nullptr) {
        removed_bytes += found->length;
        ++removed_records;
        plan.edits.push_back(Edit{at, found->length, m.value ? &m : nullptr});
        walk.skip();
      } else if (m.value) {
        plan.edits.push_back(Edit{at, 0, &m});
      }
      if (m.value) {
        const std::uint64_t length = record_size(m.key.size(), m.value->size());
        added_bytes += length;
        ++added_records;
        keep(m.key, length);
      }
    }
    if (!indexed) continue;
    while (walk.offset() < to) {
      auto record = walk.next();
      if (!record) return std::unexpected(record.error());
      if (*record == nullptr) break;
      keep((*record)->key, (*record)->length);
    }
    // The index said a record starts at `to`; the records say otherwise.
    if (walk.offset() != to) return std::unexpected(StoreError::Corrupt);
    plan.stretches.push_back(std::move(stretch));
  }
  plan.live_bytes = live_bytes_ - removed_bytes + added_bytes;
  plan.records = records_ - removed_records + added_records;
  return plan;
}

// The index of the snapshot the plan makes: the touched stretches rebuilt at
// the new stride, the others moved by what changed before them.
SparseIndex Store::next_index(const Plan& plan) const {
  SparseIndex out;
  if (index_entries_ == 0) return out;
  const std::uint64_t stride = snapshot_io::stride_for(plan.records, index_entries_);
  std::uint64_t grown = 0, shrunk = 0;  // bytes added and removed so far
  auto rebuild = [&](const Stretch& stretch, std::uint64_t start) {
    IndexBuilder builder(out, index_entries_, stride);
    std::uint64_t at = start;
    for (const auto& [key, length] : stretch.records) {
      builder.add(at, key);
      at += length;
    }
    grown += at - start;
    shrunk += stretch.old_bytes;
  };
  std::size_t next = 0;
  if (index_.empty()) {
    for (const Stretch& stretch : plan.stretches) rebuild(stretch, 0);
  }
  for (std::size_t e = 0; e < index_.size(); ++e) {
    const std::uint64_t start = index_[e].offset + grown - shrunk;
    if (next < plan.stretches.size() && plan.stretches[next].entry == e) {
      rebuild(plan.stretches[next++], start);
      continue;
    }
    out.push_back(
        IndexEntry{start, index_[e].records, out.empty() ? std::string() : index_[e].key});
  }
  snapshot_io::thin(out, index_entries_, stride);
  return out;
}

// Steps after the checks; any failure here leaves the Store poisoned (the
// caller marks it), and the file still opens at the current generation
// because the target header is emptied before anything else is written.
std::expected<void, StoreError> Store::commit(const Plan& plan) {
  const int fd = fd_.get();
  const std::uint64_t target = 1 - slot_;
  const std::uint64_t header_at = target * config_.slot_size;
  SparseIndex index = next_index(plan);

  const HeaderBytes empty{};
  auto step = io_.write_at(fd, header_at, empty);
  if (!step) return step;
  step = io_.sync(fd);
  if (!step) return step;

  auto same = write_changes(plan, target);
  if (!same) return std::unexpected(same.error());
  step = io_.sync(fd);
  if (!step) return step;

  const std::uint64_t new_generation = generation_ + 1;
  const HeaderBytes header = encode_header(CommitHeader{
      kStorageVersion, new_generation, plan.live_bytes, plan.records, config_.slot_size});
  step = io_.write_at(fd, header_at, header);
  if (!step) return step;
  step = io_.sync(fd);
  if (!step) return step;

  generation_ = new_generation;
  live_bytes_ = plan.live_bytes;
  records_ = plan.records;
  slot_ = target;
  index_ = std::move(index);
  same_ = std::move(*same);
  return {};
}

// Writes into the data area of slot `target` (not yet synced) the bytes of
// the new snapshot that it is not known to hold already, and returns the
// stretches where the two slots are then equal. Unchanged records are copied
// from the current slot, each verified as it passes; adjacent pieces go out
// as one write.
std::expected<std::vector<Store::ByteRange>, StoreError> Store::write_changes(
    const Plan& plan, std::uint64_t target) {
  SnapshotReader reader(io_, fd_.get(), config_, data_base(slot_), live_bytes_, scratch().walk,
                        kBulkWindow, &record_reads_);
  SnapshotWriter writer(io_, fd_.get(), data_base(target), scratch().write);
  // Borrowed records must be written before the window under them is reused.
  reader.on_refill([&writer] { return writer.release_borrowed(); });

  // The current records in [from, to), written at data offset `at`.
  auto copy = [&](std::uint64_t from, std::uint64_t to,
                  std::uint64_t at) -> std::expected<void, StoreError> {
    if (auto moved = writer.seek(at); !moved) return moved;
    std::uint64_t p = from;
    while (p < to) {
      auto record = reader.read(p);
      if (!record) return std::unexpected(record.error());
      if (auto appended = writer.append_borrowed(record->bytes); !appended) return appended;
      p += record->length;
    }
    if (p != to) return std::unexpected(StoreError::Corrupt);
    return {};
  };

  std::vector<ByteRange> same;
  std::size_t known = 0;  // the first of same_ that may still overlap
  // The unchanged records in [from, to), moved by grown - shrunk bytes.
  auto keep = [&](std::uint64_t from, std::uint64_t to, std::uint64_t grown,
                  std::uint64_t shrunk) -> std::expected<void, StoreError> {
    if (from >= to) return {};
    if (grown != shrunk) return copy(from, to, from + grown - shrunk);
    same.push_back(ByteRange{from, to});
    std::uint64_t p = from;
    for (; known < same_.size() && same_[known].begin < to; ++known) {
      const ByteRange& held = same_[known];
      if (held.end <= p) continue;
      if (held.begin > p) {
        if (auto copied = copy(p, held.begin, p); !copied) return copied;
      }
      p = std::min(held.end, to);
      if (held.end > to) break;  // it may reach into the next stretch too
    }
    if (p < to) return copy(p, to, p);
    return {};
  };

  std::uint64_t from = 0, grown = 0, shrunk = 0;
  for (const Edit& edit : plan.edits) {
    if (auto kept = keep(from, edit.at, grown, shrunk); !kept) return std::unexpected(kept.error());
    if (edit.put != nullptr) {
      if (auto moved = writer.seek(edit.at + grown - shrunk); !moved) {
        return std::unexpected(moved.error());
      }
      auto appended = writer.append_record(edit.put->key, *edit.put->value);
      if (!appended) return std::unexpected(appended.error());
      grown += record_size(edit.put->key.size(), edit.put->value->size());
    }
    shrunk += edit.removed;
    from = edit.at + edit.removed;
  }
  if (auto kept = keep(from, live_bytes_, grown, shrunk); !kept) {
    return std::unexpected(kept.error());
  }
  if (auto flushed = writer.flush(); !flushed) return std::unexpected(flushed.error());
  return same;
}

}  // namespace tovik
