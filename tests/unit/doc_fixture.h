// Test fixture for the document layer: a real Store on a fresh database file
// in a temporary directory, with verbs to seed raw records, reopen with
// another configuration, and make the next commit fail.
//
// Syncs go through a seam that skips fsync (durability is the storage
// engine's concern and is tested there); everything else is the real file.
#pragma once

#include <errno.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/file_system.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "document/json.h"
#include "document/keys.h"
#include "temp_dir.h"

#include <stdlib.h>

namespace tovik::testing {

// The real file calls, minus fsync; write failures can be armed (through
// FaultyFileSystem) to poison the store mid-commit.
class TestIo : public FileSystem {
 public:
  std::expected<void, int> write_at(int fd, std::uint64_t offset,
                                    std::span<const char> data) override {
    return faults_.write_at(fd, offset, data);
  }
  std::expected<void, int> sync(int) override { return {}; }

  // Every write fails (EIO) until called again with false.
  void fail_writes(bool fail) {
    if (fail) {
      faults_.arm("write_at", 1, EIO, FaultyFileSystem::Repeat::Always);
    } else {
      faults_.disarm();
    }
  }

 private:
  FaultyFileSystem faults_{real_file_system()};
};

inline Json parse(std::string_view text) {
  auto value = parse_json(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value ? std::move(*value) : Json();
}

class DocFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ + "/test.tovik";
    auto fd = open_database_file(path_, true);
    ASSERT_TRUE(fd.has_value());
    open_store(std::move(*fd), StoreConfig{}, kDefaultIndexEntries);
  }

  void TearDown() override { store_.reset(); }

  Store& store() { return *store_; }
  TestIo& io() { return *io_; }

  void reopen(StoreConfig config = {}, std::uint64_t index_entries = kDefaultIndexEntries) {
    store_.reset();
    auto fd = open_existing_database(path_);
    ASSERT_TRUE(fd.has_value());
    open_store(std::move(*fd), config, index_entries);
  }

  // Commits records in ascending key order, 1,024 per commit.
  void put_raw(std::vector<Mutation> records) {
    std::sort(records.begin(), records.end(),
              [](const Mutation& a, const Mutation& b) { return a.key < b.key; });
    for (std::size_t start = 0; start < records.size(); start += kMaxBatchMutations) {
      const std::size_t count = std::min(kMaxBatchMutations, records.size() - start);
      auto applied = store().apply(std::span<const Mutation>(records.data() + start, count));
      ASSERT_TRUE(applied.has_value()) << store_error_text(applied.error());
    }
  }

  void put_raw(std::string key, std::string value) {
    put_raw(std::vector<Mutation>{Mutation{std::move(key), std::move(value)}});
  }

  // Stored record of a document with the given id and members.
  static Mutation doc_record(std::string_view warren, std::string_view den, std::string_view id,
                             Json members = Json::object()) {
    members["id"] = std::string(id);
    return Mutation{*document_key(warren, den, id), dump_compact(members)};
  }

  // count documents "<prefix>00000", "<prefix>00001", ... seeded directly.
  void seed_documents(std::string_view warren, std::string_view den, std::size_t count,
                      const Json& members = Json::object(), std::string_view prefix = "") {
    std::vector<Mutation> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      records.push_back(doc_record(warren, den, numbered_id(prefix, i), members));
    }
    put_raw(std::move(records));
  }

  static std::string numbered_id(std::string_view prefix, std::size_t n) {
    std::string digits = std::to_string(n);
    return std::string(prefix) + std::string(5 - std::min<std::size_t>(5, digits.size()), '0') +
           digits;
  }

  std::string path_;

 private:
  void open_store(UniqueFd fd, StoreConfig config, std::uint64_t index_entries) {
    io_ = std::make_shared<TestIo>();
    auto opened = Store::open(std::move(fd), config, index_entries, *io_);
    ASSERT_TRUE(opened.has_value());
    store_.emplace(std::move(*opened));
  }

  TempDir temp_{"tovik-doc"};
  std::string dir_ = temp_.path();
  std::shared_ptr<TestIo> io_;
  std::optional<Store> store_;
};

}  // namespace tovik::testing
