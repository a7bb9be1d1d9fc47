// Backup and restore: the copy procedure against real files in a temporary
// directory, with faults and fixed process ids brought in through the
// procedure's file seam.
#include "cli/maintenance.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/store.h"
#include "document/documents.h"
#include "temp_dir.h"

namespace tovik::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

// Small files keep the tests fast; 100,000-byte slots still make the copy
// take several 64 KiB pieces and end on a partial one.
constexpr std::uint64_t kSlotSize = 100'000;
constexpr std::uint64_t kFileSize = 2 * kSlotSize;
constexpr StoreConfig kConfig{kSlotSize, 1'024, 262'144};
static_assert(kFileSize % kCopyBufferSize != 0 && kFileSize > 2 * kCopyBufferSize);

std::string document_text(const std::string& id, const std::string& body) {
  return "{\"body\":\"" + body + "\",\"id\":\"" + id + "\"}";
}

// A seam that can fail one kind of call, fix the process id and watch what
// the procedure creates.
class FaultyIo : public MaintenanceIo {
 public:
  std::optional<std::uint64_t> pid;
  int fail_read = 0, fail_write = 0, fail_sync = 0, fail_link = 0, fail_dir_sync = 0,
      fail_remove = 0;
  // Called with each piece written to the staging file and its offset; may
  // change the bytes that land on disk.
  std::function<void(std::span<std::byte>, std::uint64_t)> tamper;
  // Runs just before the link, to let a rival publish first.
  std::function<void()> before_link;
  std::vector<std::string> created;

  std::expected<UniqueFd, int> create_exclusive(const std::string& path) override {
    auto fd = MaintenanceIo::create_exclusive(path);
    if (fd) created.push_back(fs::path(path).filename().string());
    return fd;
  }
  std::expected<std::size_t, int> read_at(int fd, std::span<std::byte> buffer,
                                          std::uint64_t offset) override {
    if (fail_read) return std::unexpected(fail_read);
    return MaintenanceIo::read_at(fd, buffer, offset);
  }
  std::expected<std::size_t, int> write(int fd, std::span<const std::byte> data) override {
    if (fail_write) return std::unexpected(fail_write);
    if (!tamper) return MaintenanceIo::write(fd, data);
    std::vector<std::byte> copy(data.begin(), data.end());
    tamper(copy, written_);
    auto n = MaintenanceIo::write(fd, copy);
    if (n) written_ += *n;
    return n;
  }
  std::expected<void, int> sync(int fd) override {
    if (fail_sync) return std::unexpected(fail_sync);
    return MaintenanceIo::sync(fd);
  }
  std::expected<void, int> link(const std::string& existing, const std::string& target) override {
    if (before_link) before_link();
    if (fail_link) return std::unexpected(fail_link);
    return MaintenanceIo::link(existing, target);
  }
  std::expected<void, int> remove(const std::string& path) override {
    if (fail_remove) return std::unexpected(fail_remove);
    return MaintenanceIo::remove(path);
  }
  std::expected<void, int> sync_directory(const std::string& path) override {
    if (fail_dir_sync) return std::unexpected(fail_dir_sync);
    return MaintenanceIo::sync_directory(path);
  }
  std::uint64_t process_id() override { return pid ? *pid : MaintenanceIo::process_id(); }
  bool process_gone(std::uint64_t p) override {
    return gone.empty() ? MaintenanceIo::process_gone(p) : gone.contains(p);
  }
  std::set<std::uint64_t> gone;  // when not empty: exactly these processes have ended

 private:
  std::uint64_t written_ = 0;
};

class Backup : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = (dir_ / "source.tovik").string();
    make_database(source_, {{"orders\0a1"sv, "a1"}, {"orders\0b2"sv, "b2"}, {"users\0u"sv, "u"}});
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // A database holding one document per (key, id) pair, committed one by one
  // so the generation moves past 1 and both slots carry data.
  static void make_database(const std::string& file,
                            std::vector<std::pair<std::string_view, std::string>> docs,
                            const StoreConfig& config = kConfig) {
    auto fd = open_database_file(file, true);
    ASSERT_TRUE(fd.has_value());
    auto store = Store::open(std::move(*fd), config);
    ASSERT_TRUE(store.has_value());
    for (auto& [key, id] : docs) {
      std::vector<Mutation> batch{{std::string(key), document_text(id, "payload")}};
      ASSERT_TRUE(store->apply(batch).has_value());
    }
  }

  static std::expected<CopyResult, Failure> copy_from(const std::string& from,
                                                      const std::string& to, MaintenanceIo& io) {
    return copy_database(
        from, to, io, [] { return make_document_validator(); }, kConfig);
  }
  std::expected<CopyResult, Failure> copy(const std::string& to) {
    return copy_from(source_, to, io_);
  }

  struct Opened {
    StoreStats stats;
    std::vector<std::pair<std::string, std::string>> records;
  };
  static std::expected<Opened, StoreError> open_and_read(const std::string& file,
                                                         const StoreConfig& config = kConfig) {
    auto fd = open_existing_database(file);
    if (!fd) return std::unexpected(fd.error());
    auto store = Store::open(std::move(*fd), config);
    if (!store) return std::unexpected(store.error());
    Opened result{store->stats(), {}};
    auto cursor = store->scan_from("");
    if (!cursor) return std::unexpected(cursor.error());
    for (;;) {
      auto more = cursor->next();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      result.records.emplace_back(cursor->key(), cursor->value());
    }
    if (auto ok = store->verify(make_document_validator()); !ok) {
      return std::unexpected(ok.error());
    }
    return result;
  }

  // Everything in the directory that a copy may have left behind.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(kStagingPrefix)) names.push_back(name);
    }
    return names;
  }

  std::string read_file(const std::string& file) const {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The source must come out of every attempt unchanged and unlocked.
  void expect_source_untouched(const std::string& before) {
    EXPECT_EQ(read_file(source_), before);
    auto fd = open_existing_database(source_);
    EXPECT_TRUE(fd.has_value()) << "source still locked";
  }

  TempDir temp_{"tovik-maint"};
  fs::path dir_ = temp_.path();
  std::string source_;
  FaultyIo io_;
};

TEST(BackupNames, StagingNameAndDestinationDirectory) {
  EXPECT_EQ(staging_name(4242, 0), ".tovik-copy-4242-0.tmp");
  EXPECT_EQ(staging_name(1, 127), ".tovik-copy-1-127.tmp");

  EXPECT_EQ(destination_directory("backup.tovik"), ".");
  EXPECT_EQ(destination_directory("a/b.tovik"), "a");
  EXPECT_EQ(destination_directory("a//b.tovik"), "a");
  EXPECT_EQ(destination_directory("/b.tovik"), "/");
  EXPECT_EQ(destination_directory("/srv/db/b.tovik/"), "/srv/db");
  EXPECT_EQ(destination_directory(""), ".");

  EXPECT_EQ(final_name("a/b.tovik"), "b.tovik");
  EXPECT_EQ(final_name("b.tovik"), "b.tovik");
  EXPECT_EQ(final_name("a/b/"), "b");
  EXPECT_EQ(final_name("a/.."), "");
  EXPECT_EQ(final_name("/"), "");
}

TEST(BackupNames, ResultIsCompactSortedJson) {
  EXPECT_EQ(format_copy_result({33'554'432, "dir/\"x\".tovik"}),
            R"({"bytes":33554432,"ok":true,"path":"dir/\"x\".tovik"})");
}

TEST_F(Backup, CopyOpensAtTheSourceGenerationWithTheSameRecordsAndNothingElse) {
  std::ofstream(source_ + ".auth") << "{\"username\":\"admin\",\"hash\":\"x\"}";
  auto expected = open_and_read(source_);
  ASSERT_TRUE(expected.has_value());
  const std::string dest = path("copy.tovik");

  auto result = copy(dest);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(result->bytes, kFileSize);
  EXPECT_EQ(result->path, dest);

  auto copied = open_and_read(dest);
  ASSERT_TRUE(copied.has_value());
  EXPECT_EQ(copied->stats.generation, expected->stats.generation);
  EXPECT_EQ(copied->stats.generation, 4u);
  EXPECT_EQ(copied->records, expected->records);
  EXPECT_EQ(read_file(dest), read_file(source_)) << "the other slot is copied too";
  EXPECT_FALSE(fs::exists(dest + ".auth"));
  EXPECT_TRUE(leftovers().empty());

  struct stat st;
  ASSERT_EQ(::stat(dest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_nlink, 1u) << "the staging name is gone";
  // The lock went with the procedure.
  EXPECT_TRUE(open_existing_database(source_).has_value());

  // Restoring is the same procedure in the other direction.
  auto restored = copy_from(dest, path("restored.tovik"), io_);
  ASSERT_TRUE(restored.has_value()) << restored.error().text();
  EXPECT_EQ(read_file(path("restored.tovik")), read_file(source_));
}

TEST_F(Backup, FullSizeDatabaseCopiesAllOfItsBytes) {
  const std::string full = path("full.tovik");
  make_database(full, {{"orders\0a1"sv, "a1"}}, kBackupConfig);
  auto result =
      copy_database(full, path("copy.tovik"), io_, [] { return make_document_validator(); });
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(result->bytes, 33'554'432u);
  EXPECT_EQ(read_file(path("copy.tovik")), read_file(full));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, ExistingDestinationsAreRefusedBeforeTheSourceIsOpened) {
  const std::string before = read_file(source_);
  std::ofstream(path("file.tovik")) << "keep me";
  ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling.tovik").c_str()), 0);
  ASSERT_EQ(::mkdir(path("dir.tovik").c_str(), 0700), 0);
  std::ofstream(path("auth.tovik.auth")) << "{}";

  // Holding the source's lock shows the refusal comes before any open: a
  // later step would report the lock instead.
  auto held = open_existing_database(source_);
  ASSERT_TRUE(held.has_value());
  for (const char* name : {"file.tovik", "dangling.tovik", "dir.tovik"}) {
    auto result = copy(path(name));
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error().text(), "destination already exists: " + path(name));
  }
  auto result = copy(path("auth.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "destination already exists: " + path("auth.tovik.auth"));
  EXPECT_FALSE(fs::exists(path("auth.tovik")));
  held->reset();

  EXPECT_EQ(read_file(path("file.tovik")), "keep me");
  EXPECT_TRUE(fs::is_symlink(path("dangling.tovik")));
  EXPECT_FALSE(fs::exists(path("nowhere")));
  EXPECT_TRUE(io_.created.empty());
  expect_source_untouched(before);
}

TEST_F(Backup, LookupFailureOtherThanNotFoundIsTheSystemError) {
  std::ofstream(path("plain")) << "x";
  auto result = copy(path("plain/inside.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), Failure::os(ENOTDIR).text());
}

TEST_F(Backup, MissingOrEmptySourceIsRefusedAndAnEmptySourceStaysEmpty) {
  auto missing = copy_from(path("absent.tovik"), path("copy.tovik"), io_);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().text(), "storage I/O or locking failure");

  std::ofstream(path("empty.tovik")).close();
  auto empty = copy_from(path("empty.tovik"), path("copy.tovik"), io_);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().text(), "database corruption detected");
  // Opening would have initialised it; a backup must never write its source.
  EXPECT_EQ(fs::file_size(path("empty.tovik")), 0u);
  EXPECT_FALSE(fs::exists(path("copy.tovik")));
}

TEST_F(Backup, RecordThatIsNotADocumentFailsTheCheck) {
  {
    auto fd = open_existing_database(source_);
    ASSERT_TRUE(fd.has_value());
    auto store = Store::open(std::move(*fd), kConfig);
    ASSERT_TRUE(store.has_value());
    std::vector<Mutation> batch{{std::string("orders\0zz", 9), std::string("not json")}};
    ASSERT_TRUE(store->apply(batch).has_value());
  }
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "database corruption detected");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, TakenFirstStagingNameMovesToTheNextAttempt) {
  io_.pid = 777;
  std::ofstream(path(".tovik-copy-777-0.tmp")) << "someone else's";
  auto result = copy(path("copy.tovik"));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(io_.created, std::vector<std::string>{".tovik-copy-777-1.tmp"});
  EXPECT_EQ(read_file(path(".tovik-copy-777-0.tmp")), "someone else's");
  EXPECT_EQ(leftovers(), std::vector<std::string>{".tovik-copy-777-0.tmp"});
}

TEST_F(Backup, DestinationNamedLikeAStagingFileInOtherCaseSkipsThatAttempt) {
  io_.pid = 777;
  const std::string dest = path(".TOVIK-Copy-777-0.TMP");
  auto result = copy(dest);
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(io_.created, std::vector<std::string>{".tovik-copy-777-1.tmp"});
  EXPECT_EQ(read_file(dest), read_file(source_));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, AllStagingNamesTakenIsRefused) {
  io_.pid = 9;
  for (unsigned n = 0; n < kStagingAttempts; ++n) std::ofstream(path(staging_name(9, n))) << "";
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "no unused backup staging filename");
  EXPECT_EQ(leftovers().size(), kStagingAttempts);
  EXPECT_FALSE(fs::exists(path("copy.tovik")));
}

TEST(BackupNames, StagingNamesGiveTheirProcess) {
  EXPECT_EQ(staging_process(staging_name(4242, 7)), 4242u);
  EXPECT_EQ(staging_process(".tovik-copy-18446744073709551615-0.tmp"), UINT64_MAX);
  for (const char* other :
       {".tovik-copy-18446744073709551616-0.tmp", ".tovik-copy-12.tmp", ".tovik-copy--0.tmp",
        ".tovik-copy-1-.tmp", ".tovik-copy-+1-0.tmp", ".tovik-copy-1-0.tmp.bak",
        "tovik-copy-1-0.tmp", ".tovik-copy-1-0-0.tmp", ".tovik-copy-x-0.tmp"}) {
    EXPECT_FALSE(staging_process(other).has_value()) << other;
  }
}

TEST_F(Backup, StagingFilesOfEndedProcessesAreRemovedBeforeStaging) {
  io_.pid = 5;
  io_.gone = {3, 5};  // 5 is this process: its names are never stale
  for (const char* name : {".tovik-copy-3-0.tmp", ".tovik-copy-3-9.tmp", ".tovik-copy-4-0.tmp",
                           ".tovik-copy-5-0.tmp", ".tovik-copy-3-0.tmp.bak", "notes"}) {
    std::ofstream(path(name)) << "left over";
  }
  auto result = copy(path("copy.tovik"));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(io_.created, std::vector<std::string>{".tovik-copy-5-1.tmp"});
  std::vector<std::string> left = leftovers();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".tovik-copy-3-0.tmp.bak", ".tovik-copy-4-0.tmp",
                                            ".tovik-copy-5-0.tmp"}));
  EXPECT_TRUE(fs::exists(path("notes")));
  EXPECT_EQ(remove_stale_staging(path("no-such-dir"), io_), 0u);
}

TEST_F(Backup, ACredentialNameTooLongToExistIsNoObstacle) {
  const std::string name(255, 'n');
  auto result = copy(path(name));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(read_file(path(name)), read_file(source_));
}

TEST_F(Backup, MissingDestinationDirectoryIsTheSystemError) {
  auto result = copy(path("no/such/dir/copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), Failure::os(ENOENT).text());
}

struct Fault {
  const char* name;
  int FaultyIo::*field;
  int error;
  std::string text;
};

class BackupFault : public Backup, public ::testing::WithParamInterface<Fault> {};

TEST_P(BackupFault, LeavesNeitherDestinationNorStagingFile) {
  const std::string before = read_file(source_);
  io_.*(GetParam().field) = GetParam().error;
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), GetParam().text);
  EXPECT_FALSE(fs::exists(path("copy.tovik")));
  EXPECT_TRUE(leftovers().empty());
  EXPECT_EQ(io_.created.size(), 1u) << "the fault came after staging";
  expect_source_untouched(before);
}

INSTANTIATE_TEST_SUITE_P(
    CopySyncLink, BackupFault,
    ::testing::Values(Fault{"read", &FaultyIo::fail_read, EIO, "storage I/O or locking failure"},
                      Fault{"write", &FaultyIo::fail_write, ENOSPC, Failure::os(ENOSPC).text()},
                      Fault{"sync", &FaultyIo::fail_sync, EIO, Failure::os(EIO).text()},
                      Fault{"link", &FaultyIo::fail_link, EXDEV, Failure::os(EXDEV).text()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Backup, StagedCopyThatDiffersOutsideTheSnapshotIsNotPublished) {
  // Slot 0 holds generation 3, which opening the copy does not read; only
  // the comparison can see this.
  io_.tamper = [](std::span<std::byte> piece, std::uint64_t offset) {
    const std::uint64_t target = 64 + 5;
    if (target >= offset && target < offset + piece.size()) piece[target - offset] ^= std::byte{1};
  };
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "staged copy differs from the locked source");
  EXPECT_FALSE(fs::exists(path("copy.tovik")));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, StagedCopyThatFailsToOpenIsNotPublished) {
  io_.tamper = [](std::span<std::byte> piece, std::uint64_t offset) {
    // Inside the current snapshot's first record.
    const std::uint64_t target = kSlotSize + 64 + 20;
    if (target >= offset && target < offset + piece.size()) piece[target - offset] ^= std::byte{1};
  };
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "database corruption detected");
  EXPECT_FALSE(fs::exists(path("copy.tovik")));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, RivalThatPublishesFirstWinsAndIsNeverReplaced) {
  const std::string rival_source = path("rival.tovik");
  make_database(rival_source, {{"rival\0r"sv, "r"}});
  const std::string dest = path("copy.tovik");
  io_.pid = 1;
  std::optional<std::expected<CopyResult, Failure>> rival;
  io_.before_link = [&] {
    FaultyIo other;
    other.pid = 2;
    rival = copy_from(rival_source, dest, other);
  };
  auto result = copy(dest);
  ASSERT_TRUE(rival.has_value());
  ASSERT_TRUE(rival->has_value()) << (*rival).error().text();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), Failure::os(EEXIST).text());
  EXPECT_EQ(read_file(dest), read_file(rival_source));
  ASSERT_TRUE(open_and_read(dest).has_value());
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, DirectorySyncFailureAfterPublishingKeepsTheCompleteCopy) {
  io_.fail_dir_sync = EIO;
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), Failure::os(EIO).text());
  EXPECT_EQ(read_file(path("copy.tovik")), read_file(source_));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Backup, StagingNameThatCannotBeRemovedIsReported) {
  io_.fail_remove = EACCES;
  io_.pid = 5;
  auto result = copy(path("copy.tovik"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), Failure::os(EACCES).text());
  EXPECT_EQ(read_file(path("copy.tovik")), read_file(source_));
}

}  // namespace
}  // namespace tovik::cli
