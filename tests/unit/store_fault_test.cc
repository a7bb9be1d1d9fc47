// I/O failures through the file seam: poisoning, recovery, and reads that fail.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.h"

namespace tovik::testing {
namespace {

class StoreFault : public StoreFixture {
 protected:
  // A store at generation 3 holding a=1 and b=2, current in slot 0.
  void prepare() {
    reopen();
    put("a", "1");
    put("b", "2");
  }
  void expect_poisoned_everywhere() {
    Store& s = store();
    EXPECT_TRUE(s.poisoned());
    EXPECT_EQ(s.apply({}).error(), StoreError::Poisoned);
    EXPECT_EQ(s.apply(std::vector<Mutation>{{"z", "9"}}).error(), StoreError::Poisoned);
    EXPECT_EQ(s.get("a").error(), StoreError::Poisoned);
    EXPECT_EQ(s.test_locate("a").error(), StoreError::Poisoned);
    EXPECT_EQ(s.test_read_record_at(0).error(), StoreError::Poisoned);
    EXPECT_EQ(s.scan_from("").error(), StoreError::Poisoned);
    EXPECT_EQ(s.verify(nullptr).error(), StoreError::Poisoned);
  }
};

TEST_F(StoreFault, FailedWriteOrSyncPoisonsAndFileReopensAtPreviousGeneration) {
  // Commit order: write (empty header), sync, write (data), sync, write (header), sync.
  struct Case {
    int write;
    int sync;
  };
  for (Case c : {Case{0, -1}, Case{-1, 0}, Case{1, -1}, Case{-1, 1}, Case{2, -1}}) {
    prepare();
    io_->arm();
    if (c.write >= 0) io_->fail("write_at", c.write);
    if (c.sync >= 0) io_->fail("sync", c.sync);
    auto applied = store().apply(std::vector<Mutation>{{"c", "3"}});
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error(), StoreError::Io);
    expect_poisoned_everywhere();
    io_->arm();
    EXPECT_EQ(reopen().generation(), 3u) << c.write << "/" << c.sync;
    expect_records(Records{{"a", "1"}, {"b", "2"}});
    close();
    std::filesystem::remove(path_);
  }
}

TEST_F(StoreFault, FailedFinalSyncPoisonsButWrittenHeaderStillOpensCleanly) {
  prepare();
  io_->arm();
  io_->fail("sync", 2);
  EXPECT_EQ(store().apply(std::vector<Mutation>{{"c", "3"}}).error(), StoreError::Io);
  expect_poisoned_everywhere();
  io_->arm();
  // The header reached the file (if not the disk): either snapshot is whole.
  EXPECT_EQ(reopen().generation(), 4u);
  expect_records(Records{{"a", "1"}, {"b", "2"}, {"c", "3"}});
}

TEST_F(StoreFault, ReadFailureDuringCommitPoisonsButDuringLookupDoesNot) {
  config_.slot_size = 1 << 20;
  reopen();
  fill(200, 10);
  io_->arm();
  io_->fail_all("read_at");
  EXPECT_EQ(store().get(key_of(5)).error(), StoreError::Io);
  // Positioning reads nothing (the index holds its keys); the cursor's first
  // step is its first read.
  EXPECT_TRUE(store().test_locate(key_of(5)).has_value());
  EXPECT_EQ(store().verify(nullptr).error(), StoreError::Io);
  auto cursor = store().scan_from("");
  ASSERT_TRUE(cursor.has_value());
  EXPECT_EQ(cursor->next().error(), StoreError::Io);
  EXPECT_FALSE(store().poisoned());
  // The lookups sizing the batch fail before the file is touched.
  EXPECT_EQ(store().apply(std::vector<Mutation>{{key_of(5), "x"}}).error(), StoreError::Io);
  EXPECT_FALSE(store().poisoned());
  // The merge's own read of the snapshot fails after the header was emptied.
  io_->arm();
  io_->fail_all("read_at", /*after=*/"write_at");
  EXPECT_EQ(store().apply(std::vector<Mutation>{{key_of(5), "x"}}).error(), StoreError::Io);
  expect_poisoned_everywhere();
  io_->arm();
  EXPECT_EQ(reopen().records(), 200u);
}

TEST_F(StoreFault, DamageMetOnlyByTheMergeIsCorruptAndPoisons) {
  config_.slot_size = 1 << 20;
  reopen();
  fill(200, 10);           // generation 2, slot 1
  corrupt(data_at(1, 3));  // the first record; the batch's lookup looks far from it
  EXPECT_EQ(store().apply(std::vector<Mutation>{{key_of(199), "x"}}).error(), StoreError::Corrupt);
  expect_poisoned_everywhere();
  close();
  EXPECT_EQ(open_error(), StoreError::Corrupt);
}

TEST_F(StoreFault, DamageMetByTheBatchLookupIsRefusedWithoutPoisoning) {
  reopen();
  put("a", "1");
  corrupt(data_at(1, 13));
  EXPECT_EQ(store().apply(std::vector<Mutation>{{"a", "2"}}).error(), StoreError::Corrupt);
  EXPECT_FALSE(store().poisoned());
  EXPECT_EQ(store().get("a").error(), StoreError::Corrupt);
}

TEST_F(StoreFault, OpeningFailuresAreIo) {
  reopen();
  close();
  io_->arm();
  io_->fail("read_at", 0);
  EXPECT_EQ(open_error(), StoreError::Io);
  io_->arm();
  io_->fail("read_at", 1);
  EXPECT_EQ(open_error(), StoreError::Io);
  io_->arm();
  io_->fail("read_at", 2);  // the snapshot itself (empty here: nothing more to read)
  EXPECT_TRUE(open_store().has_value());
}

TEST_F(StoreFault, FailedInitialisationLeavesAnEmptyFileToRetry) {
  write_bytes(0, "");
  io_->arm();
  io_->fail_all("truncate");
  EXPECT_EQ(open_store().error(), StoreError::Io);
  // Failing after the length was set (or even after the header was written)
  // puts the length back, rather than leaving a headerless file that no open
  // would ever accept again.
  for (int failing_sync : {0, 1}) {
    io_->arm();
    io_->fail("sync", failing_sync);
    EXPECT_EQ(open_store().error(), StoreError::Io);
    EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  }
  io_->arm();
  io_->fail("write_at", 0);
  EXPECT_EQ(open_store().error(), StoreError::Io);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  io_->arm();
  EXPECT_EQ(reopen().generation(), 1u);
}

TEST(PosixFile, ShortReadAtEndOfFileAndParentDirectory) {
  const TempDir temp("tovik-posix");
  const std::string& templ = temp.path();
  const std::string path = templ + "/f";
  {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_TRUE(pwrite_full(fd.get(), 3, std::span<const char>("abc", 3)).has_value());
    char buf[10];
    auto n = pread_full(fd.get(), 0, buf);
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(*n, 6u);
    EXPECT_EQ(std::string(buf + 3, 3), "abc");
    EXPECT_EQ(FileIo(real_file_system()).read_at(fd.get(), 0, buf).error(), StoreError::Io);
    EXPECT_EQ(FileIo(real_file_system()).size(fd.get()).value(), 6u);
  }
  EXPECT_EQ(parent_directory("db"), ".");
  EXPECT_EQ(parent_directory("/db"), "/");
  EXPECT_EQ(parent_directory("a/b/db"), "a/b");
  EXPECT_TRUE(sync_directory(templ).has_value());
  EXPECT_FALSE(sync_directory(templ + "/missing").has_value());
}

}  // namespace
}  // namespace tovik::testing
