// Shared fixture for the storage engine's tests: a temporary directory with
// one database file, verbs to open, reopen, damage and inspect it, and a file
// seam that records or fails individual calls.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/file_format.h"
#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "temp_dir.h"

#include <stdlib.h>

namespace tovik::testing {

// A slot small enough to keep crafted files tiny.
inline constexpr StoreConfig kSmallConfig{4096, 1024, 262'144};

using Records = std::vector<std::pair<std::string, std::string>>;

// Records every call the Store makes on its file and fails the chosen ones
// through `faults`, the FaultyFileSystem it forwards to. Counters are 0-based
// over the calls of each kind since the last arm().
class ScriptedIo : public FileSystem {
 public:
  struct Event {
    enum Kind { Read, Write, Sync, Truncate, Writeback } kind;
    std::uint64_t offset = 0;
    std::string bytes;         // what a write wrote
    std::uint64_t length = 0;  // the range a writeback hint names
  };

  std::expected<std::size_t, int> read_at(int fd, std::span<std::byte> buffer,
                                          std::uint64_t offset) override {
    ++reads;
    return faults.read_at(fd, buffer, offset);
  }
  std::expected<void, int> write_at(int fd, std::uint64_t offset,
                                    std::span<const char> data) override {
    ++writes;
    if (recording) events.push_back({Event::Write, offset, std::string(data.data(), data.size())});
    return faults.write_at(fd, offset, data);
  }
  std::expected<void, int> sync(int fd) override {
    ++syncs;
    if (recording) events.push_back({Event::Sync, 0, {}});
    return faults.sync(fd);
  }
  void start_writeback(int fd, std::uint64_t offset, std::uint64_t length) override {
    if (recording) events.push_back({Event::Writeback, offset, {}, length});
    faults.start_writeback(fd, offset, length);
  }
  std::expected<void, int> truncate(int fd, std::uint64_t length) override {
    if (recording) events.push_back({Event::Truncate, length, {}});
    return faults.truncate(fd, length);
  }
  std::expected<std::uint64_t, int> file_size(int fd) override { return faults.file_size(fd); }

  // Resets the counters and disarms the fault; starts recording if asked.
  void arm(bool record = false) {
    reads = writes = syncs = 0;
    faults.disarm();
    recording = record;
    events.clear();
  }
  // Fails the nth call (0-based, since arm) of `operation` with EIO.
  void fail(std::string_view operation, int nth) {
    faults.arm(operation, static_cast<unsigned>(nth + 1), EIO);
  }
  // Fails every call of `operation`, or every one after the first call of `after`.
  void fail_all(std::string_view operation, std::string_view after = {}) {
    faults.arm(operation, 1, EIO, FaultyFileSystem::Repeat::Always, after);
  }
  int sync_count() const {
    int n = 0;
    for (const auto& e : events) n += e.kind == Event::Sync;
    return n;
  }

  FaultyFileSystem faults{real_file_system()};
  int reads = 0, writes = 0, syncs = 0;
  bool recording = false;
  std::vector<Event> events;
};

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ + "/db.tovik";
    io_ = std::make_shared<ScriptedIo>();
  }
  void TearDown() override { store_.reset(); }

  // Opens path_ (creating it when missing) as a Store through the scripted seam.
  std::expected<Store, StoreError> open_store() {
    auto fd = open_database_file(path_, !std::filesystem::exists(path_));
    if (!fd) return std::unexpected(fd.error());
    return Store::open(std::move(*fd), config_, index_entries_, *io_);
  }
  // Opens (or reopens) the fixture's Store, which must succeed.
  Store& reopen() {
    store_.reset();
    auto opened = open_store();
    EXPECT_TRUE(opened.has_value()) << "open failed: " << static_cast<int>(opened.error());
    if (opened) store_.emplace(std::move(*opened));
    return *store_;
  }
  Store& store() { return *store_; }
  void close() { store_.reset(); }

  // The error an open of the file fails with; the file must be left untouched.
  StoreError open_error() {
    store_.reset();
    const std::string before = file_bytes();
    auto opened = open_store();
    EXPECT_FALSE(opened.has_value());
    EXPECT_EQ(file_bytes(), before) << "a failed open changed the file";
    return opened ? StoreError::Io : opened.error();
  }

  void put(const std::string& key, const std::string& value) {
    const std::vector<Mutation> batch{{key, value}};
    auto applied = store_->apply(batch);
    ASSERT_TRUE(applied.has_value()) << static_cast<int>(applied.error());
  }
  void del(const std::string& key) {
    const std::vector<Mutation> batch{{key, std::nullopt}};
    auto applied = store_->apply(batch);
    ASSERT_TRUE(applied.has_value()) << static_cast<int>(applied.error());
  }
  // Puts n records key000000.. with values of `value_len` bytes in one commit
  // per 1,024.
  void fill(int n, std::size_t value_len) {
    std::vector<Mutation> batch;
    for (int i = 0; i < n; ++i) {
      batch.push_back({key_of(i), std::string(value_len, static_cast<char>('a' + i % 26))});
      if (batch.size() == kMaxBatchMutations || i + 1 == n) {
        auto applied = store_->apply(batch);
        ASSERT_TRUE(applied.has_value()) << static_cast<int>(applied.error());
        batch.clear();
      }
    }
  }
  static std::string key_of(int i) {
    std::string digits = std::to_string(i);
    return "key" + std::string(6 - std::min<std::size_t>(6, digits.size()), '0') + digits;
  }

  Records all_records() {
    Records out;
    auto cursor = store_->scan_from("");
    EXPECT_TRUE(cursor.has_value());
    if (!cursor) return out;
    while (true) {
      auto more = cursor->next();
      EXPECT_TRUE(more.has_value());
      if (!more || !*more) break;
      out.emplace_back(std::string(cursor->key()), std::string(cursor->value()));
    }
    return out;
  }
  void expect_records(const Records& expected) { EXPECT_EQ(all_records(), expected); }
  void expect_records(const std::map<std::string, std::string>& model) {
    expect_records(Records(model.begin(), model.end()));
  }

  // Raw file access, bypassing the lock as a stray writer or bad disk would.
  std::string file_bytes() const {
    std::string out;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return out;
  }
  void write_bytes(std::uint64_t offset, const std::string& bytes) const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  void write_header(std::uint64_t slot, const CommitHeader& header) const {
    const HeaderBytes bytes = encode_header(header);
    write_bytes(slot * config_.slot_size, std::string(bytes.data(), bytes.size()));
  }
  void write_records(std::uint64_t slot, const Records& records) const {
    std::string bytes;
    for (const auto& [k, v] : records) bytes += encode_record(k, v);
    write_bytes(slot * config_.slot_size + kHeaderSize, bytes);
  }
  // A file of the configured size with the given headers (nullopt: all zero).
  void craft(std::optional<CommitHeader> slot0, std::optional<CommitHeader> slot1) const {
    std::filesystem::remove(path_);
    write_bytes(2 * config_.slot_size - 1, std::string(1, '\0'));
    if (slot0) write_header(0, *slot0);
    if (slot1) write_header(1, *slot1);
  }
  CommitHeader header(std::uint64_t generation, std::uint64_t live = 0,
                      std::uint64_t records = 0) const {
    return CommitHeader{kStorageVersion, generation, live, records, config_.slot_size};
  }
  void corrupt(std::uint64_t offset) const {
    std::string bytes = file_bytes();
    ASSERT_LT(offset, bytes.size());
    write_bytes(offset, std::string(1, static_cast<char>(bytes[offset] ^ 0x5A)));
  }
  // File offset of data-area offset p in slot k.
  std::uint64_t data_at(std::uint64_t slot, std::uint64_t p) const {
    return slot * config_.slot_size + kHeaderSize + p;
  }

  StoreConfig config_ = kSmallConfig;
  std::uint64_t index_entries_ = kDefaultIndexEntries;
  TempDir temp_{"tovik-store"};
  std::string dir_ = temp_.path();
  std::string path_;
  std::shared_ptr<ScriptedIo> io_;
  std::optional<Store> store_;
};

}  // namespace tovik::testing
