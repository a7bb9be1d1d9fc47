// A simulated disk for crash tests: a FileSystem over an in-memory file that can
// record every write and sync a Store issues, and the verbs that turn such a
// recording into the files a crash could leave behind.
//
// The model of the operating system: a write is volatile until the next sync
// of the file; after a sync every earlier write is durable. At a crash the
// volatile writes may all be lost, all kept, kept for some 512-byte sectors
// and not others, or the last of them may be torn part-way. Nothing that a
// sync completed is ever lost.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <expected>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/file_system.h"
#include "core/store_error.h"

namespace tovik::testing {

// The unit a disk writes atomically; tearing inside one is modelled separately.
inline constexpr std::uint64_t kSectorSize = 512;

struct IoEvent {
  enum Kind { Write, Sync, Truncate } kind = Write;
  std::uint64_t offset = 0;  // the new length for Truncate
  std::string bytes;         // what a write wrote
};

// The file lives in `bytes`; the descriptor handed to the calls is ignored,
// so a Store may be opened on UniqueFd() with this seam.
class MemoryFile : public FileSystem {
 public:
  explicit MemoryFile(std::string bytes = {}) : bytes(std::move(bytes)) {}

  std::expected<std::size_t, int> read_at(int, std::span<std::byte> buf,
                                          std::uint64_t offset) override {
    if (offset >= bytes.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(buf.size(), bytes.size() - offset);
    std::memcpy(buf.data(), bytes.data() + offset, n);
    return n;
  }
  std::expected<void, int> write_at(int, std::uint64_t offset,
                                    std::span<const char> data) override {
    if (recording)
      events.push_back({IoEvent::Write, offset, std::string(data.data(), data.size())});
    if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size(), '\0');
    std::memcpy(bytes.data() + offset, data.data(), data.size());
    return {};
  }
  std::expected<void, int> sync(int) override {
    if (recording) events.push_back({IoEvent::Sync, 0, {}});
    return {};
  }
  // A hint only: what reaches the disk before a sync is any mix already.
  void start_writeback(int, std::uint64_t, std::uint64_t) override {}
  std::expected<void, int> truncate(int, std::uint64_t length) override {
    if (recording) events.push_back({IoEvent::Truncate, length, {}});
    bytes.resize(length, '\0');
    return {};
  }
  std::expected<std::uint64_t, int> file_size(int) override { return bytes.size(); }

  std::string bytes;
  bool recording = false;
  std::vector<IoEvent> events;
};

inline void apply_write(std::string& image, const IoEvent& write, std::size_t length) {
  if (image.size() < write.offset + length) image.resize(write.offset + length, '\0');
  std::memcpy(image.data() + write.offset, write.bytes.data(), length);
}

// What the disk holds at a crash that comes right after the first `count`
// recorded events: the durable bytes and the writes still volatile.
class CrashState {
 public:
  CrashState(const std::string& before, const std::vector<IoEvent>& events, std::size_t count)
      : durable_(before) {
    for (std::size_t i = 0; i < count; ++i) {
      const IoEvent& e = events[i];
      if (e.kind == IoEvent::Write) {
        pending_.push_back(&e);
      } else if (e.kind == IoEvent::Sync) {
        for (const IoEvent* w : pending_) apply_write(durable_, *w, w->bytes.size());
        pending_.clear();
      } else {
        durable_.resize(e.offset, '\0');  // the stores here only size a file before syncing it
      }
    }
  }

  bool has_pending() const { return !pending_.empty(); }
  const IoEvent& last_pending() const { return *pending_.back(); }

  // Every volatile write lost.
  const std::string& all_lost() const { return durable_; }

  // Every volatile write kept.
  std::string all_kept() const {
    std::string image = durable_;
    for (const IoEvent* w : pending_) apply_write(image, *w, w->bytes.size());
    return image;
  }

  // The sectors the volatile writes touch, ascending.
  std::vector<std::uint64_t> pending_sectors() const {
    std::set<std::uint64_t> sectors;
    for (const IoEvent* w : pending_) {
      if (w->bytes.empty()) continue;
      const std::uint64_t last = (w->offset + w->bytes.size() - 1) / kSectorSize;
      for (std::uint64_t s = w->offset / kSectorSize; s <= last; ++s) sectors.insert(s);
    }
    return {sectors.begin(), sectors.end()};
  }

  // The volatile contents reached the disk only for the sectors in `kept`.
  std::string sectors_kept(const std::vector<std::uint64_t>& kept) const {
    const std::string full = all_kept();
    std::string image = durable_;
    for (std::uint64_t s : kept) {
      const std::uint64_t from = s * kSectorSize;
      const std::uint64_t to = std::min<std::uint64_t>(from + kSectorSize, full.size());
      if (image.size() < to) image.resize(to, '\0');
      std::memcpy(image.data() + from, full.data() + from, to - from);
    }
    return image;
  }

  // Every volatile write kept except the last, of which only the first `cut`
  // bytes arrived.
  std::string last_torn(std::size_t cut) const {
    std::string image = durable_;
    for (std::size_t i = 0; i + 1 < pending_.size(); ++i) {
      apply_write(image, *pending_[i], pending_[i]->bytes.size());
    }
    apply_write(image, *pending_.back(), std::min(cut, pending_.back()->bytes.size()));
    return image;
  }

 private:
  std::string durable_;
  std::vector<const IoEvent*> pending_;
};

// A random subset of `sectors` (each kept with probability one half).
inline std::vector<std::uint64_t> random_subset(const std::vector<std::uint64_t>& sectors,
                                                std::mt19937_64& rng) {
  std::vector<std::uint64_t> kept;
  for (std::uint64_t s : sectors) {
    if (rng() & 1) kept.push_back(s);
  }
  return kept;
}

}  // namespace tovik::testing
