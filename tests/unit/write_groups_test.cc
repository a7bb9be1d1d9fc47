// Group commit against a real store whose syncs can be held: a write is
// kept inside its commit while others queue behind it, so each test knows
// exactly which writes shared a commit.
#include "server/write_groups.h"

#include <errno.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "document/documents.h"
#include "document/keys.h"
#include "temp_dir.h"

#include <stdlib.h>

namespace tovik::server {
namespace {

// Real file calls; the nth sync (counted from arming) waits until released,
// and writes go through `faults`.
class GateIo : public FileSystem {
 public:
  std::expected<void, int> write_at(int fd, std::uint64_t offset,
                                    std::span<const char> data) override {
    return faults.write_at(fd, offset, data);
  }
  std::expected<void, int> sync(int) override {
    std::unique_lock lock(mutex_);
    ++syncs;
    if (syncs == hold_at) {
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_; });
    }
    return {};
  }
  void hold_sync(int nth) {
    std::lock_guard lock(mutex_);
    hold_at = syncs + nth;
  }
  void wait_until_held() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }

  // Armed only while no commit runs, or before release() hands the held one on.
  FaultyFileSystem faults{real_file_system()};
  int syncs = 0;
  int hold_at = -1;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
};

class WriteGroupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    open(StoreConfig{});
    session_.warren = "default";
    session_.den = "d";
  }
  void TearDown() override {
    groups_.reset();
    store_.reset();
  }

  void open(StoreConfig config, GroupLimits limits = {}) {
    groups_.reset();
    store_.reset();
    auto fd = std::filesystem::exists(dir_ + "/db.tovik")
                  ? open_existing_database(dir_ + "/db.tovik")
                  : open_database_file(dir_ + "/db.tovik", true);
    ASSERT_TRUE(fd.has_value());
    io_ = std::make_shared<GateIo>();
    auto store = Store::open(std::move(*fd), config, kDefaultIndexEntries, *io_);
    ASSERT_TRUE(store.has_value());
    store_.emplace(std::move(*store));
    groups_.emplace(*store_, lock_, kNoDocumentLimit, limits);
  }

  // The syncs of one commit, so a test can hold the last one.
  int syncs_per_commit() {
    const int before = io_->syncs;
    EXPECT_TRUE(write(Put{"probe", Json::object()}).ok);
    return io_->syncs - before;
  }

  Response write(const Command& command) {
    auto response = groups_->write(session_, command);
    EXPECT_TRUE(response.has_value());
    return response ? *response : Response{};
  }

  // Starts `first` and holds it inside the last sync of its commit, then
  // queues `rest` behind it; returns once they all wait. Answers land in
  // `answers` in the order of the commands, first included.
  void queue_behind_a_held_commit(const Command& first, const std::vector<Command>& rest,
                                  int syncs) {
    answers_.assign(rest.size() + 1, Response{});
    io_->hold_sync(syncs);
    threads_.emplace_back([this, first] { answers_[0] = write(first); });
    io_->wait_until_held();
    // One at a time, so that they queue in the order given.
    for (std::size_t i = 0; i < rest.size(); ++i) {
      threads_.emplace_back([this, i, command = rest[i]] { answers_[i + 1] = write(command); });
      while (groups_->queued() < i + 2) std::this_thread::yield();
    }
  }
  void join() {
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

  std::optional<std::string> stored(std::string_view id) {
    auto value = store_->get(*document_key("default", "d", id));
    EXPECT_TRUE(value.has_value());
    return value ? *value : std::nullopt;
  }

  static std::string text(const Response& response) {
    if (!response.ok) return response.error ? response.error->message : "<no answer>";
    return encode_data(response.data);
  }

  TempDir temp_{"tovik-groups-test"};
  std::string dir_ = temp_.path();
  std::shared_ptr<GateIo> io_;
  std::optional<Store> store_;
  GuardedLock lock_;
  std::optional<WriteGroups> groups_;
  SessionState session_;
  std::vector<Response> answers_;
  std::vector<std::thread> threads_;
};

Command put(const std::string& id, std::size_t pad = 1) {
  return Put{id, Json{{"pad", std::string(pad, 'x')}}};
}

TEST_F(WriteGroupsTest, QueuedWritesShareBoundedCommitsEachWithItsOwnAnswer) {
  open(StoreConfig{}, GroupLimits{4, 1 << 20});
  ASSERT_TRUE(write(put("taken")).ok);
  const int syncs = syncs_per_commit();
  const std::uint64_t generation = store_->generation();
  std::vector<Command> rest;
  for (int i = 1; i <= 6; ++i) rest.push_back(put("b" + std::to_string(i)));
  rest.insert(rest.begin() + 2, Insert{"taken", Json::object()});
  queue_behind_a_held_commit(put("a"), rest, syncs);

  // A reader waits for the store lock: it sees no group, or a whole one.
  std::vector<bool> seen;
  std::thread reader([&] {
    std::lock_guard lock(lock_.mutex);
    for (int i = 1; i <= 6; ++i) seen.push_back(stored("b" + std::to_string(i)).has_value());
  });
  io_->release();
  join();
  reader.join();

  EXPECT_EQ(text(answers_[0]), R"({"stored":"a"})");
  EXPECT_EQ(text(answers_[3]), "shiny already exists");
  for (std::size_t i : {1, 2, 4, 5, 6, 7}) {
    EXPECT_EQ(text(answers_[i]), R"({"stored":"b)" + std::to_string(i < 3 ? i : i - 1) + R"("})");
  }
  // a alone, then b1 b2 insert b3 (four), then b4 b5 b6.
  EXPECT_EQ(store_->generation(), generation + 3);
  const bool first_group = seen[0];
  EXPECT_EQ(seen,
            (std::vector<bool>{first_group, first_group, first_group, seen[3], seen[3], seen[3]}));
  for (int i = 1; i <= 6; ++i) EXPECT_TRUE(stored("b" + std::to_string(i)).has_value());
}

TEST_F(WriteGroupsTest, AFailedCommitAnswersEveryWriteOfItsGroupAndKeepsNone) {
  const int syncs = syncs_per_commit();
  queue_behind_a_held_commit(put("a"), {put("b1"), Delete{"probe"}, put("b2")}, syncs);
  io_->faults.arm("write_at", 1, EIO, FaultyFileSystem::Repeat::Always);
  io_->release();
  join();
  EXPECT_EQ(text(answers_[0]), R"({"stored":"a"})");
  for (std::size_t i = 1; i < answers_.size(); ++i) {
    EXPECT_EQ(text(answers_[i]), "storage I/O or locking failure");
  }
  EXPECT_EQ(text(write(put("c"))), "commit failed; close and reopen before further access");
  open(StoreConfig{});
  EXPECT_TRUE(stored("a").has_value());
  EXPECT_TRUE(stored("probe").has_value());
  EXPECT_FALSE(stored("b1").has_value() || stored("b2").has_value());
}

// A multi-document write is one member of a group: its operations land
// with the group or, when one fails, none of them does.
TEST_F(WriteGroupsTest, AWriteRequestGoesIntoAGroupWholeOrNotAtAll) {
  const int syncs = syncs_per_commit();
  const auto op = [](WriteKind kind, const char* id) {
    return DocumentWrite{kind, id, Json::object()};
  };
  queue_behind_a_held_commit(put("a"),
                             {Write{{op(WriteKind::Put, "x"), op(WriteKind::Insert, "probe")}},
                              Write{{op(WriteKind::Put, "y"), op(WriteKind::Put, "z")}}, put("w")},
                             syncs);
  const std::uint64_t generation = store_->generation();
  io_->release();
  join();
  EXPECT_EQ(text(answers_[1]), "operation 2: shiny already exists");
  EXPECT_EQ(text(answers_[2]),
            R"({"generation":)" + std::to_string(generation + 2) + R"(,"written":2})");
  EXPECT_EQ(store_->generation(), generation + 2);
  EXPECT_FALSE(stored("x").has_value());
  for (const char* id : {"a", "y", "z", "w"}) EXPECT_TRUE(stored(id).has_value()) << id;
}

TEST_F(WriteGroupsTest, AGroupThatDoesNotFitIsCommittedWriteByWrite) {
  groups_.reset();
  store_.reset();
  std::filesystem::remove(dir_ + "/db.tovik");
  open(StoreConfig{64 * 1024, 1024, 32 * 1024});
  const int syncs = syncs_per_commit();
  queue_behind_a_held_commit(
      put("a"),
      {put("big1", 17'000), put("big2", 17'000), put("big3", 17'000), put("big4", 17'000)}, syncs);
  io_->release();
  join();
  std::vector<std::string> got;
  for (const Response& answer : answers_) got.push_back(text(answer));
  EXPECT_EQ(got, (std::vector<std::string>{R"({"stored":"a"})", R"({"stored":"big1"})",
                                           R"({"stored":"big2"})", R"({"stored":"big3"})",
                                           "configured database capacity exceeded"}));
}

}  // namespace
}  // namespace tovik::server
