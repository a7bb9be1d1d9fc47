// Opening, recovery, locking, reading through the sparse index, and verify.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.h"

namespace tovik::testing {
namespace {

class StoreOpen : public StoreFixture {};

TEST_F(StoreOpen, ZeroLengthFileBecomesNewDatabaseOfFullSize) {
  config_ = StoreConfig{};
  write_bytes(0, "");
  Store& s = reopen();
  EXPECT_EQ(s.generation(), 1u);
  EXPECT_EQ(s.test_slot(), 0u);
  EXPECT_EQ(s.live_bytes(), 0u);
  EXPECT_EQ(s.records(), 0u);
  EXPECT_EQ(std::filesystem::file_size(path_), 33'554'432u);
  const std::string bytes = file_bytes();
  const HeaderBytes expected = encode_header(CommitHeader{1, 1, 0, 0, 16'777'216});
  EXPECT_EQ(bytes.substr(0, 64), std::string(expected.data(), expected.size()));
  EXPECT_EQ(bytes.substr(16'777'216, 64), std::string(64, '\0'));
  EXPECT_TRUE(s.verify(nullptr).has_value());
}

TEST_F(StoreOpen, ExistingDatabaseRefusesMissingEmptyDirectoryAndCreateOverExisting) {
  EXPECT_EQ(open_existing_database(path_).error(), StoreError::Io);
  write_bytes(0, "");
  EXPECT_EQ(open_existing_database(path_).error(), StoreError::Corrupt);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u) << "must not initialise";
  EXPECT_EQ(open_database_file(path_, true).error(), StoreError::Io);
  EXPECT_EQ(open_existing_database(dir_).error(), StoreError::Io);
  EXPECT_EQ(open_database_file(dir_ + "/missing/x", true).error(), StoreError::Io);
}

TEST_F(StoreOpen, EveryFailingFileCallOfOpeningIsIo) {
  reopen();
  close();
  for (const char* call : {"open_locked", "sync_directory", "file_size"}) {
    FaultyFileSystem faulty(real_file_system(), call, 1, EIO);
    EXPECT_EQ(open_existing_database(path_, faulty).error(), StoreError::Io) << call;
    EXPECT_TRUE(faulty.fired()) << call;
  }
  EXPECT_TRUE(open_existing_database(path_).has_value()) << "each failure released the file";
}

TEST_F(StoreOpen, CreateNewMakesPrivateFile) {
  auto fd = open_database_file(path_, true);
  ASSERT_TRUE(fd.has_value());
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(StoreOpen, SecondOpenOfLockedFileFailsAtOnceUntilFirstCloses) {
  reopen();
  EXPECT_EQ(open_database_file(path_, false).error(), StoreError::Io);
  EXPECT_EQ(open_existing_database(path_).error(), StoreError::Io);
  close();
  EXPECT_TRUE(open_existing_database(path_).has_value());
}

TEST_F(StoreOpen, BadConfigurationIsInvalidAndReleasesTheLock) {
  reopen();
  close();
  for (StoreConfig bad : {StoreConfig{127, 1024, 0}, StoreConfig{0x8000'0000'0000'0000, 1024, 0},
                          StoreConfig{4096, 0, 0}, StoreConfig{4096, 0x1'0000'0000, 0},
                          StoreConfig{4096, 1024, 0x1'0000'0000}}) {
    config_ = bad;
    auto fd = open_existing_database(path_);
    ASSERT_TRUE(fd.has_value());
    EXPECT_EQ(Store::open(std::move(*fd), bad).error(), StoreError::Invalid);
  }
  EXPECT_TRUE(open_existing_database(path_).has_value()) << "descriptor was not closed";
}

TEST_F(StoreOpen, WrongFileLengthIsInvalid) {
  write_bytes(0, std::string(1000, 'x'));
  EXPECT_EQ(open_error(), StoreError::Invalid);
  write_bytes(2 * config_.slot_size - 1, std::string(2, '\0'));  // one byte too long
  EXPECT_EQ(open_error(), StoreError::Invalid);
}

// A file of another length than the configured one keeps the slot size its
// header records, when that is half its length; anything else is refused as
// before, the file untouched.
TEST_F(StoreOpen, FileKeepsTheSlotSizeItsHeaderRecords) {
  config_.slot_size = 8192;
  reopen();
  put("a", "1");
  close();
  config_.slot_size = 4096;
  EXPECT_EQ(reopen().config().slot_size, 8192u);
  expect_records(Records{{"a", "1"}});
  put("b", std::string(5000, 'b'));  // beyond a 4,096-byte slot
  EXPECT_EQ(reopen().records(), 2u);
  EXPECT_EQ(std::filesystem::file_size(path_), 16384u);

  auto craft_sized = [&](std::uint64_t slot, std::optional<CommitHeader> first,
                         std::optional<CommitHeader> second, std::uint64_t length) {
    std::filesystem::remove(path_);
    write_bytes(length - 1, std::string(1, '\0'));
    if (first) write_header(0, *first);
    if (second) write_bytes(slot, std::string(encode_header(*second).data(), kHeaderSize));
  };
  auto sized = [](std::uint64_t generation, std::uint64_t slot) {
    return CommitHeader{kStorageVersion, generation, 0, 0, slot};
  };
  craft_sized(8192, std::nullopt, sized(2, 8192), 16384);  // empty first header
  EXPECT_EQ(reopen().generation(), 2u);
  EXPECT_EQ(store().config().slot_size, 8192u);
  struct Row {
    const char* label;
    std::optional<CommitHeader> first, second;
    std::uint64_t length;
    StoreError error;
  };
  const std::vector<Row> rows = {
      {"header claims another size", sized(1, 16384), std::nullopt, 16384, StoreError::Invalid},
      {"odd length", sized(1, 8192), std::nullopt, 16385, StoreError::Invalid},
      {"no header at all", std::nullopt, std::nullopt, 16384, StoreError::Invalid},
      {"second header claims another size", std::nullopt, sized(2, 4096), 16384,
       StoreError::Invalid},
  };
  for (const Row& row : rows) {
    craft_sized(8192, row.first, row.second, row.length);
    EXPECT_EQ(open_error(), row.error) << row.label;
  }
  // A torn first header: the second gives the size, and the torn one makes
  // the file ambiguous, as with a file of the configured length.
  craft_sized(8192, std::nullopt, sized(2, 8192), 16384);
  write_bytes(0, "torn");
  EXPECT_EQ(open_error(), StoreError::Ambiguous);
}

TEST_F(StoreOpen, CommitsAlternateSlotsAndOpenChoosesTheNewest) {
  reopen();
  put("a", "1");
  close();
  const std::string bytes = file_bytes();
  EXPECT_EQ(decode_header(std::span<const char, 64>(bytes.data(), 64)).header.generation, 1u);
  EXPECT_EQ(decode_header(std::span<const char, 64>(bytes.data() + 4096, 64)).header.generation,
            2u);
  EXPECT_EQ(reopen().test_slot(), 1u);
  EXPECT_EQ(store().generation(), 2u);
  put("b", "2");
  EXPECT_EQ(reopen().test_slot(), 0u);
  EXPECT_EQ(store().generation(), 3u);
  expect_records(Records{{"a", "1"}, {"b", "2"}});
}

TEST_F(StoreOpen, HeaderRulesGiveTheirErrors) {
  craft(header(1), std::nullopt);
  EXPECT_EQ(reopen().generation(), 1u);

  CommitHeader v2 = header(1);
  v2.version = 2;
  craft(v2, header(2));
  EXPECT_EQ(open_error(), StoreError::Version);
  craft(header(1), v2);  // in either slot
  EXPECT_EQ(open_error(), StoreError::Version);

  CommitHeader other_size = header(1);
  other_size.slot_size = 8192;
  craft(other_size, std::nullopt);
  EXPECT_EQ(open_error(), StoreError::Invalid);

  craft(header(1, 4033), std::nullopt);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft(header(1, 24, 3), std::nullopt);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft(header(0), std::nullopt);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft(header(2), std::nullopt);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft(std::nullopt, header(3));
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft(header(5), header(8));
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft(std::nullopt, std::nullopt);
  EXPECT_EQ(open_error(), StoreError::Corrupt);

  craft(header(5), header(4));
  EXPECT_EQ(reopen().test_slot(), 0u);
  EXPECT_EQ(store().generation(), 5u);
}

TEST_F(StoreOpen, TornHeaderIsAmbiguousEvenBesideAValidSnapshot) {
  reopen();
  put("a", "1");
  close();
  for (std::uint64_t at : {std::uint64_t{17}, config_.slot_size + 60}) {
    corrupt(at);
    EXPECT_EQ(open_error(), StoreError::Ambiguous) << at;
    corrupt(at);
  }
  // The first failing valid header still ends the open before a torn one matters.
  CommitHeader v2 = header(2);
  v2.version = 2;
  craft(std::nullopt, v2);
  corrupt(3);
  EXPECT_EQ(open_error(), StoreError::Version);
}

TEST_F(StoreOpen, EmptiedTargetHeaderOpensAtThePreviousGeneration) {
  reopen();
  put("a", "1");
  put("b", "2");  // generation 3 in slot 0, generation 2 in slot 1
  close();
  // As a crash between emptying slot 0's header and publishing would leave it.
  write_bytes(0, std::string(64, '\0'));
  EXPECT_EQ(reopen().generation(), 2u);
  expect_records(Records{{"a", "1"}});
}

TEST_F(StoreOpen, DamagedRecordsAreCorrupt) {
  reopen();
  put("a", "1");
  put("b", "22");  // generation 3, slot 0: records at 0 ("a") and 14 ("b"), live_bytes 29
  close();
  for (std::uint64_t p : {0u, 4u, 9u, 12u, 13u, 14u, 27u}) {
    corrupt(data_at(0, p));
    EXPECT_EQ(open_error(), StoreError::Corrupt) << p;
    corrupt(data_at(0, p));
  }
  // Beyond live_bytes, and in the other slot's data, nothing is read.
  corrupt(data_at(0, 29));
  corrupt(data_at(1, 0));
  EXPECT_EQ(reopen().generation(), 3u);
}

TEST_F(StoreOpen, SnapshotShapeRulesAreEnforced) {
  auto craft_snapshot = [&](const Records& records, std::uint64_t extra_live,
                            std::uint64_t count_delta = 0) {
    std::uint64_t live = 0;
    for (const auto& [k, v] : records) live += record_size(k.size(), v.size());
    craft(header(1, live + extra_live, records.size() + count_delta), std::nullopt);
    write_records(0, records);
  };
  craft_snapshot({{"a", "1"}, {"ab", ""}, {"b", "x"}}, 0);
  EXPECT_EQ(reopen().records(), 3u);
  close();
  craft_snapshot({{"b", "1"}, {"a", "1"}}, 0);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft_snapshot({{"a", "1"}, {"a", "2"}}, 0);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  const std::string v(30, 'v');  // long enough that the header's count bound allows 3
  craft_snapshot({{"a", v}, {"b", v}}, 0, 1);
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft_snapshot({{"a", v}, {"b", v}}, 0, std::uint64_t(-1));
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft_snapshot({{"a", "1"}}, 13);  // live_bytes runs past the last record into zeros
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  craft_snapshot({{"a", "1"}}, 5);  // fewer than 12 bytes left for a record
  EXPECT_EQ(open_error(), StoreError::Corrupt);
}

TEST_F(StoreOpen, RecordLongerThanConfiguredLimitsIsCorrupt) {
  reopen();
  put("key", std::string(100, 'v'));
  close();
  config_.max_value_len = 99;
  EXPECT_EQ(open_error(), StoreError::Corrupt);
  config_.max_value_len = 100;
  config_.max_key_len = 2;
  EXPECT_EQ(open_error(), StoreError::Corrupt);
}

class StoreIndex : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    config_.slot_size = 1 << 20;
  }
};

TEST_F(StoreIndex, ThousandRecordsGiveStrideSixteenAndSixtyThreeEntries) {
  reopen();
  fill(1000, 20);                         // each record 12 + 9 + 20 = 41 bytes
  for (int pass = 0; pass < 2; ++pass) {  // as built by the commit, then by opening
    const auto& index = store().test_index();
    ASSERT_EQ(index.size(), 63u);
    for (std::size_t e = 0; e < index.size(); ++e) EXPECT_EQ(index[e], e * 16 * 41);
    reopen();
  }
  EXPECT_EQ(store().get(key_of(0)).value(), std::string(20, 'a'));
  EXPECT_EQ(store().get(key_of(999)).value(), std::string(20, 'a' + 999 % 26));
}

TEST_F(StoreIndex, LookupsReadAtMostTheSearchAndOneStride) {
  reopen();
  fill(1000, 20);
  Store& s = reopen();
  auto reads_of = [&](auto&& op) {
    const std::uint64_t before = s.test_record_reads();
    op();
    return s.test_record_reads() - before;
  };
  // Binary search over 63 entries reads at most 6 records, a stride at most 17.
  for (int i : {0, 1, 15, 16, 500, 991, 992, 999}) {
    EXPECT_LE(reads_of([&] { EXPECT_TRUE(s.get(key_of(i)).value().has_value()); }), 6u + 17u) << i;
  }
  EXPECT_EQ(s.test_locate("a").value(), 0u);
  // The search itself reads nothing: the index holds its keys.
  EXPECT_EQ(reads_of([&] { EXPECT_FALSE(s.get("a").value().has_value()); }), 1u);
  EXPECT_LE(reads_of([&] { EXPECT_FALSE(s.get("z").value().has_value()); }), 6u + 8u);
  EXPECT_EQ(s.test_locate("z").value(), 992u * 41);
  EXPECT_EQ(s.test_locate(key_of(20)).value(), 16u * 41);
}

TEST_F(StoreIndex, ZeroEntriesKeepsNoIndexAndScansFromTheStart) {
  index_entries_ = 0;
  reopen();
  fill(100, 5);
  Store& s = reopen();
  EXPECT_TRUE(s.test_index().empty());
  EXPECT_EQ(s.test_locate(key_of(99)).value(), 0u);
  const std::uint64_t before = s.test_record_reads();
  EXPECT_EQ(s.get(key_of(99)).value(), std::string(5, 'a' + 99 % 26));
  EXPECT_EQ(s.test_record_reads() - before, 100u);
  EXPECT_FALSE(s.get("zzz").value().has_value());
}

TEST_F(StoreIndex, ScanFromYieldsKeysAtOrAfterTheStart) {
  reopen();
  fill(100, 3);
  auto keys_from = [&](std::string_view start, std::size_t limit) {
    std::vector<std::string> keys;
    auto cursor = store().scan_from(start);
    EXPECT_TRUE(cursor.has_value());
    while (keys.size() < limit) {
      auto more = cursor->next();
      EXPECT_TRUE(more.has_value());
      if (!more || !*more) break;
      keys.emplace_back(cursor->key());
    }
    return keys;
  };
  EXPECT_EQ(keys_from("", 1000).size(), 100u);
  EXPECT_EQ(keys_from(key_of(40), 2), (std::vector<std::string>{key_of(40), key_of(41)}));
  EXPECT_EQ(keys_from(key_of(40) + "x", 1), (std::vector<std::string>{key_of(41)}));
  EXPECT_TRUE(keys_from("zzz", 10).empty());
  EXPECT_EQ(keys_from("a", 1), (std::vector<std::string>{key_of(0)}));
}

TEST_F(StoreIndex, CursorCarriesOnAfterACommit) {
  reopen();
  fill(50, 3);
  auto cursor = store().scan_from(key_of(10));
  ASSERT_TRUE(cursor.has_value());
  ASSERT_TRUE(cursor->next().value());
  EXPECT_EQ(cursor->key(), key_of(10));
  del(key_of(11));
  put(key_of(12) + "a", "new");
  std::vector<std::string> rest;
  while (cursor->next().value()) rest.emplace_back(cursor->key());
  ASSERT_GE(rest.size(), 3u);
  EXPECT_EQ(rest[0], key_of(12));
  EXPECT_EQ(rest[1], key_of(12) + "a");
  EXPECT_EQ(rest[2], key_of(13));
  EXPECT_EQ(rest.size(), 50u - 12u + 1u);
}

TEST_F(StoreIndex, ReadRecordAtChecksBoundsAndReturnsLength) {
  reopen();
  put("abc", "0123456789");
  auto record = store().test_read_record_at(0);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->key, "abc");
  EXPECT_EQ(record->value, "0123456789");
  EXPECT_EQ(record->length, 25u);
  EXPECT_EQ(store().test_read_record_at(25).error(), StoreError::Corrupt);
  EXPECT_EQ(store().test_read_record_at(1).error(), StoreError::Corrupt);
}

class StoreVerify : public StoreFixture {};

TEST_F(StoreVerify, StatsOfOnePut) {
  reopen();
  put("abc", "0123456789");
  const StoreStats stats = store().stats();
  EXPECT_EQ(stats.records, 1u);
  EXPECT_EQ(stats.live_bytes, 25u);
  EXPECT_EQ(stats.generation, 2u);
}

TEST_F(StoreVerify, CatchesDamageAfterOpenButNotBeyondLiveBytes) {
  reopen();
  put("abc", "0123456789");
  put("abd", "x");  // slot 0 now current
  const StoreStats before = store().stats();
  corrupt(data_at(0, 41));  // beyond live_bytes 41
  corrupt(data_at(1, 3));   // the other slot
  EXPECT_TRUE(store().verify(nullptr).has_value());
  corrupt(data_at(0, 20));  // a value byte of the first record
  EXPECT_EQ(store().verify(nullptr).error(), StoreError::Corrupt);
  EXPECT_FALSE(store().poisoned());
  EXPECT_EQ(store().stats().live_bytes, before.live_bytes);
  EXPECT_EQ(store().stats().generation, before.generation);
}

TEST_F(StoreVerify, CallerValidatorSeesEveryRecordAndCanReject) {
  reopen();
  put("a", "1");
  put("b", "bad");
  put("c", "3");
  std::vector<std::string> seen;
  EXPECT_TRUE(store()
                  .verify([&](std::string_view k, std::string_view) {
                    seen.emplace_back(k);
                    return true;
                  })
                  .has_value());
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(store().verify([](std::string_view, std::string_view v) { return v != "bad"; }).error(),
            StoreError::Corrupt);
}

}  // namespace
}  // namespace tovik::testing
