#include "core/snapshot_io.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/file_format.h"

namespace tovik::snapshot_io {
namespace {

// The new snapshot goes out in large writes rather than three per record.
constexpr std::size_t kWriteBuffer = std::size_t{1} << 20;
// Unchanged stretches at least this long are written straight from the read
// window; shorter ones are copied so that writes stay large.
constexpr std::size_t kMinDirectRun = std::size_t{64} << 10;

std::uint64_t round_up(std::uint64_t n, std::uint64_t to) { return (n + to - 1) / to * to; }

}  // namespace

void FreeDeleter::operator()(char* p) const { std::free(p); }

bool AlignedBlock::reserve(std::uint64_t bytes) {
  if (data && bytes <= capacity) return true;
  const std::uint64_t rounded = round_up(std::max<std::uint64_t>(bytes, 1), kPageSize);
  data.reset();
  capacity = 0;
  if (rounded > std::numeric_limits<std::size_t>::max()) return false;
  data.reset(static_cast<char*>(std::aligned_alloc(kPageSize, rounded)));
  if (data) capacity = static_cast<std::size_t>(rounded);
  return data != nullptr;
}

// ---------------------------------------------------------------------------
// SnapshotReader

SnapshotReader::SnapshotReader(FileIo& io, int fd, const StoreConfig& config,
                               std::uint64_t data_base, std::uint64_t live_bytes,
                               AlignedBlock& block, std::size_t window, std::uint64_t* counter)
    : io_(&io),
      fd_(fd),
      max_key_len_(config.max_key_len),
      max_value_len_(config.max_value_len),
      data_base_(data_base),
      live_bytes_(live_bytes),
      window_(window),
      counter_(counter),
      block_(&block) {}

void SnapshotReader::reset(std::uint64_t data_base, std::uint64_t live_bytes) {
  data_base_ = data_base;
  live_bytes_ = live_bytes;
  resident_ = 0;
}

// Reads the window that begins with the page holding `from`.
std::expected<const char*, StoreError> SnapshotReader::refill(std::uint64_t from,
                                                              std::uint64_t length) {
  const std::uint64_t start = from / kPageSize * kPageSize;
  const std::uint64_t live_end = data_base_ + live_bytes_;
  const std::uint64_t end = std::min(live_end, std::max(start + window_, from + length));
  if (before_refill_) {
    auto released = before_refill_();
    if (!released) return std::unexpected(released.error());
  }
  resident_ = 0;
  if (!block_->reserve(end - start)) return std::unexpected(StoreError::Io);
  auto read = io_->read_at(fd_, start, std::span<char>(block_->get(), end - start));
  if (!read) return std::unexpected(read.error());
  start_ = start;
  resident_ = end - start;
  return block_->get() + (from - start_);
}

// ---------------------------------------------------------------------------
// OrderedWalk

OrderedWalk::OrderedWalk(SnapshotReader& reader, std::uint64_t from, std::uint64_t live_bytes,
                         std::uint64_t records, RefillHook also_before_refill)
    : reader_(&reader), also_before_refill_(std::move(also_before_refill)) {
  restart(from, live_bytes, records);
  reader_->on_refill([this]() -> std::expected<void, StoreError> {
    pinned_.assign(previous_);
    previous_ = pinned_;
    if (also_before_refill_) return also_before_refill_();
    return {};
  });
}

OrderedWalk::~OrderedWalk() { reader_->on_refill({}); }

void OrderedWalk::restart(std::uint64_t from, std::uint64_t live_bytes, std::uint64_t records) {
  start_ = from;
  offset_ = from;
  live_bytes_ = live_bytes;
  records_ = records;
  count_ = 0;
  current_ = {};
  previous_ = {};
}

std::expected<void, StoreError> OrderedWalk::finish() const {
  if (start_ == 0 && count_ != records_) return std::unexpected(StoreError::Corrupt);
  return {};
}

// ---------------------------------------------------------------------------
// SnapshotWriter

SnapshotWriter::SnapshotWriter(FileIo& io, int fd, std::uint64_t data_base, AlignedBlock& block)
    : io_(&io),
      fd_(fd),
      data_base_(data_base),
      next_(data_base),
      writeback_from_(data_base / kPageSize * kPageSize) {
  if (block.reserve(kWriteBuffer)) {
    buffer_ = block.get();
    capacity_ = block.capacity;
  }
  place();
}

std::expected<void, StoreError> SnapshotWriter::append(std::span<const char> bytes) {
  if (!buffer_) return std::unexpected(StoreError::Io);
  auto released = release_borrowed();
  if (!released) return released;
  if (used_ + bytes.size() > capacity_) {
    auto flushed = flush();
    if (!flushed) return flushed;
  }
  if (used_ + bytes.size() > capacity_) {
    // Larger than the whole buffer: straight to the file.
    auto written = io_->write_at(fd_, next_, bytes);
    if (!written) return written;
    advance(bytes.size());
    return {};
  }
  std::memcpy(buffer_ + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
  return {};
}

std::expected<void, StoreError> SnapshotWriter::append_borrowed(std::span<const char> bytes) {
  if (!buffer_) return std::unexpected(StoreError::Io);
  if (run_length_ > 0 && bytes.data() == run_ + run_length_) {
    run_length_ += bytes.size();
    return {};
  }
  auto released = release_borrowed();
  if (!released) return released;
  if (used_ > placement_) return append(bytes);
  run_ = bytes.data();
  run_length_ = bytes.size();
  return {};
}

std::expected<void, StoreError> SnapshotWriter::release_borrowed() {
  if (run_length_ == 0) return {};
  const std::span<const char> run(run_, run_length_);
  run_length_ = 0;
  if (run.size() < kMinDirectRun && run.size() <= capacity_ - used_) {
    std::memcpy(buffer_ + used_, run.data(), run.size());
    used_ += run.size();
    return {};
  }
  auto written = io_->write_at(fd_, next_, run);
  if (!written) return written;
  advance(run.size());
  return {};
}

std::expected<void, StoreError> SnapshotWriter::append_record(std::string_view key,
                                                              std::string_view value) {
  auto released = release_borrowed();
  if (!released) return released;
  const std::uint64_t length = record_size(key.size(), value.size());
  if (buffer_ && used_ + length <= capacity_) {
    encode_record(key, value, std::span<char>(buffer_ + used_, length));
    used_ += length;
    return {};
  }
  const std::string encoded = encode_record(key, value);
  return append(std::span<const char>(encoded.data(), encoded.size()));
}

std::expected<void, StoreError> SnapshotWriter::flush() {
  if (!buffer_) return std::unexpected(StoreError::Io);
  auto released = release_borrowed();
  if (!released) return released;
  const std::size_t pending = used_ - placement_;
  if (pending > 0) {
    auto written = io_->write_at(fd_, next_, std::span<const char>(buffer_ + placement_, pending));
    if (!written) return written;
    advance(pending);
  }
  return {};
}

std::expected<void, StoreError> SnapshotWriter::seek(std::uint64_t offset) {
  const std::uint64_t to = data_base_ + offset;
  if (to == next_ + (used_ - placement_) + run_length_) return {};
  auto flushed = flush();
  if (!flushed) return flushed;
  next_ = to;
  place();
  return {};
}

// After `bytes` more have been written at next_: hands the disk every whole
// page written since the last hand-over once there are enough of them, so
// the disk writes while the merge goes on and the sync at the end waits only
// for the last stretch.
void SnapshotWriter::advance(std::uint64_t bytes) {
  next_ += bytes;
  const std::uint64_t complete = next_ / kPageSize * kPageSize;
  if (complete >= writeback_from_ + kWritebackStep) {
    io_->start_writeback(fd_, writeback_from_, complete - writeback_from_);
    writeback_from_ = complete;
  }
  place();
}

// The next file byte goes at the buffer position with the same page offset.
void SnapshotWriter::place() {
  placement_ = static_cast<std::size_t>(next_ % kPageSize);
  used_ = placement_;
}

}  // namespace tovik::snapshot_io
