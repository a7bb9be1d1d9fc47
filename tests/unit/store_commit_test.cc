// Batch validation, merge semantics, capacity and the bytes a commit leaves.
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.h"

namespace tovik::testing {
namespace {

class StoreCommit : public StoreFixture {
 protected:
  // apply must refuse `batch` with `error` and leave Store and file as they were.
  void expect_refused(const std::vector<Mutation>& batch, StoreError error) {
    const std::string before = file_bytes();
    const StoreStats stats = store().stats();
    auto applied = store().apply(batch);
    ASSERT_FALSE(applied.has_value());
    EXPECT_EQ(applied.error(), error);
    EXPECT_FALSE(store().poisoned());
    EXPECT_EQ(store().generation(), stats.generation);
    EXPECT_EQ(store().live_bytes(), stats.live_bytes);
    EXPECT_EQ(file_bytes(), before) << "a refused batch touched the file";
  }
};

TEST_F(StoreCommit, EmptyBatchSucceedsWithoutWriting) {
  reopen();
  const std::string before = file_bytes();
  io_->arm();
  EXPECT_TRUE(store().apply({}).has_value());
  EXPECT_EQ(store().generation(), 1u);
  EXPECT_EQ(io_->writes + io_->syncs, 0);
  EXPECT_EQ(file_bytes(), before);
}

TEST_F(StoreCommit, BatchValidationRefusesBadShapes) {
  reopen();
  put("k", "v");
  expect_refused({{"a", "1"}, {"a", "2"}}, StoreError::Invalid);
  expect_refused({{"b", "1"}, {"a", "2"}}, StoreError::Invalid);
  expect_refused({{"ab", "1"}, {"a", std::nullopt}}, StoreError::Invalid);
  expect_refused({{"", "1"}}, StoreError::Invalid);
  expect_refused({{std::string(1025, 'k'), "1"}}, StoreError::Invalid);
  expect_refused({{"k", std::string(262'145, 'v')}}, StoreError::Invalid);
  // A delete carries no value, so only its key is bounded.
  EXPECT_TRUE(store().apply(std::vector<Mutation>{{std::string(1024, 'k'), std::nullopt}}));
}

TEST_F(StoreCommit, BatchSizeLimitIsExactlyOneThousandTwentyFour) {
  config_.slot_size = 1 << 20;
  reopen();
  std::vector<Mutation> batch;
  for (int i = 0; i < 1025; ++i) batch.push_back({key_of(i), "v"});
  expect_refused(batch, StoreError::Invalid);
  batch.pop_back();
  ASSERT_TRUE(store().apply(batch).has_value());
  EXPECT_EQ(store().records(), 1024u);
}

// The bulk form: any length, every other rule of apply, the same three
// syncs, and a commit that does not fit leaves the file alone.
TEST_F(StoreCommit, BulkCommitTakesAnyLengthUnderTheSameRules) {
  config_.slot_size = 1 << 20;
  reopen();
  put(key_of(5), "old");
  std::vector<Mutation> batch;
  for (int i = 0; i < 5000; ++i) batch.push_back({key_of(i), i % 7 == 0 ? "" : "v"});
  batch[5].value.reset();  // deletes the existing record
  io_->arm(/*record=*/true);
  ASSERT_TRUE(store().apply_bulk(batch).has_value());
  EXPECT_EQ(io_->sync_count(), 3);
  EXPECT_EQ(store().records(), 4999u);
  EXPECT_EQ(store().get(key_of(5))->has_value(), false);
  EXPECT_EQ(**store().get(key_of(4999)), "v");
  EXPECT_EQ(reopen().records(), 4999u);

  std::vector<Mutation> unsorted = {{"b", "1"}, {"a", "1"}};
  EXPECT_EQ(store().apply_bulk(unsorted).error(), StoreError::Invalid);
  std::vector<Mutation> too_long = {{"a", std::string(262'145, 'v')}};
  EXPECT_EQ(store().apply_bulk(too_long).error(), StoreError::Invalid);
  const std::string before = file_bytes();
  std::vector<Mutation> overflow;
  for (int i = 0; i < 5000; ++i) overflow.push_back({key_of(10'000 + i), std::string(200, 'v')});
  EXPECT_EQ(store().apply_bulk(overflow).error(), StoreError::Full);
  EXPECT_EQ(file_bytes(), before);
  EXPECT_FALSE(store().poisoned());
  // apply keeps its limit.
  EXPECT_EQ(store().apply(batch).error(), StoreError::Invalid);
}

TEST_F(StoreCommit, ShapeIsCheckedBeforeTheGenerationLimit) {
  const std::uint64_t last = std::numeric_limits<std::uint64_t>::max();  // odd: slot 0
  craft(header(last), header(last - 1));
  reopen();
  expect_refused({{"", "x"}}, StoreError::Invalid);
  expect_refused({{"a", "x"}}, StoreError::Full);
  EXPECT_TRUE(store().apply({}).has_value());
}

TEST_F(StoreCommit, DeleteOfMissingKeyStillAdvancesGeneration) {
  reopen();
  put("a", "1");
  const StoreStats before = store().stats();
  del("b");
  EXPECT_EQ(store().generation(), before.generation + 1);
  EXPECT_EQ(store().records(), before.records);
  EXPECT_EQ(store().live_bytes(), before.live_bytes);
  put("a", "1");  // identical value: still a whole commit
  EXPECT_EQ(store().generation(), before.generation + 2);
}

TEST_F(StoreCommit, ObserverHearsEachDurableCommitWithWhatItChanged) {
  reopen();
  std::vector<std::string> heard;
  store().set_commit_observer(
      [&](std::uint64_t generation, std::span<const Mutation* const> changed) {
        std::string line = std::to_string(generation) + ":";
        for (const Mutation* m : changed) line += " " + m->key + (m->value ? "=" + *m->value : "-");
        heard.push_back(line);
      });
  const std::uint64_t g = store().generation();
  put("a", "1");
  put("a", "1");  // the same bytes again: still a put
  ASSERT_TRUE(
      store()
          .apply(std::vector<Mutation>{{"a", std::nullopt}, {"b", std::nullopt}, {"c", "3"}})
          .has_value());
  del("zz");  // removes nothing, yet a commit
  expect_refused({{"d", std::string(5000, 'v')}}, StoreError::Full);
  EXPECT_TRUE(store().apply({}).has_value());
  const std::vector<std::string> expected{
      std::to_string(g + 1) + ": a=1", std::to_string(g + 2) + ": a=1",
      std::to_string(g + 3) + ": a- c=3", std::to_string(g + 4) + ":"};
  EXPECT_EQ(heard, expected);
}

TEST_F(StoreCommit, PutOverExistingChangesLiveBytesByTheValueDifference) {
  reopen();
  put("a", "1");
  put("b", "22");
  const StoreStats before = store().stats();
  put("a", "12345");
  EXPECT_EQ(store().records(), before.records);
  EXPECT_EQ(store().live_bytes(), before.live_bytes + 4);
  put("b", "");
  EXPECT_EQ(store().live_bytes(), before.live_bytes + 2);
  expect_records(Records{{"a", "12345"}, {"b", ""}});
}

TEST_F(StoreCommit, MergeMatchesAModelAcrossBatchesAndReopens) {
  config_.slot_size = 1 << 20;
  reopen();
  std::map<std::string, std::string> model;
  std::mt19937 rng(12345);
  for (int round = 0; round < 40; ++round) {
    std::map<std::string, std::optional<std::string>> batch_map;
    const int n = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      // Short keys over a small alphabet collide often, and some are prefixes of others.
      std::string key(1 + rng() % 3, 'a');
      for (char& c : key) c = static_cast<char>('a' + rng() % 4);
      if (rng() % 3 == 0) {
        batch_map[key] = std::nullopt;
      } else {
        batch_map[key] = std::string(rng() % 50, static_cast<char>('A' + round % 26));
      }
    }
    std::vector<Mutation> batch;
    for (const auto& [k, v] : batch_map) {
      batch.push_back({k, v});
      if (v) {
        model[k] = *v;
      } else {
        model.erase(k);
      }
    }
    const std::uint64_t generation = store().generation();
    ASSERT_TRUE(store().apply(batch).has_value());
    EXPECT_EQ(store().generation(), generation + 1);
    EXPECT_EQ(store().records(), model.size());
    if (round % 10 == 9) reopen();
    expect_records(model);
    for (const auto& [k, v] : model) EXPECT_EQ(store().get(k).value(), v);
    EXPECT_FALSE(store().get("zz").value().has_value());
  }
}

TEST_F(StoreCommit, FullIsRefusedBeforeAnythingIsWritten) {
  reopen();
  // Capacity 4032 bytes: three records of 12 + 1 + 1332 = 1345 bytes need 4035.
  const std::string big(1332, 'v');
  put("a", big);
  put("b", big);
  expect_refused({{"c", big}}, StoreError::Full);
  // Replacing a record with a larger one is sized by the difference.
  expect_refused({{"a", big + std::string(1343, 'v')}}, StoreError::Full);
  // The same batch fits once it also deletes a record.
  ASSERT_TRUE(store().apply(std::vector<Mutation>{{"a", std::nullopt}, {"c", big}}).has_value());
  expect_records(Records{{"b", big}, {"c", big}});
  // Exactly filling the data area is allowed.
  put("d", std::string(4032 - 2 * 1345 - 13, 'v'));
  EXPECT_EQ(store().live_bytes(), 4032u);
  expect_refused({{"e", ""}}, StoreError::Full);
  close();
  EXPECT_EQ(reopen().live_bytes(), 4032u);
}

TEST_F(StoreCommit, NewSnapshotIsTheConcatenationOfEncodedRecords) {
  // Large enough that the new snapshot goes out in several buffered writes.
  config_.slot_size = 16 << 20;
  reopen();
  std::map<std::string, std::string> model;
  std::vector<Mutation> batch;
  for (int i = 0; i < 1024; ++i) {
    std::string value(1000 + (i * 37) % 3000, static_cast<char>('a' + i % 26));
    model[key_of(i * 2)] = value;
    batch.push_back({key_of(i * 2), value});
  }
  ASSERT_TRUE(store().apply(batch).has_value());
  batch.clear();
  for (int i = 0; i < 1024; ++i) {  // interleave new keys, replace and delete old ones
    if (i % 3 == 0) {
      batch.push_back({key_of(i * 2), std::nullopt});
      model.erase(key_of(i * 2));
    } else if (i % 3 == 1) {
      batch.push_back({key_of(i * 2), "r"});
      model[key_of(i * 2)] = "r";
    } else {
      batch.push_back({key_of(i * 2 + 1), std::string(5000, 'n')});
      model[key_of(i * 2 + 1)] = std::string(5000, 'n');
    }
  }
  io_->arm(/*record=*/true);
  ASSERT_TRUE(store().apply(batch).has_value());
  // Early writeback hints name whole pages the commit has already written,
  // in order, and all come before the data sync.
  using E = ScriptedIo::Event;
  const std::uint64_t data_base = data_at(store().test_slot(), 0);
  std::uint64_t written_to = 0;  // end of the data written so far
  std::uint64_t hinted_to = data_base / 4096 * 4096;
  int hints = 0;
  bool synced = false;
  for (const auto& e : io_->events) {
    if (e.kind == E::Sync && written_to > 0) synced = true;
    if (e.kind == E::Write && e.offset >= data_base) {
      written_to = std::max<std::uint64_t>(written_to, e.offset + e.bytes.size());
    }
    if (e.kind != E::Writeback) continue;
    ++hints;
    EXPECT_FALSE(synced);
    EXPECT_EQ(e.offset % 4096, 0u);
    EXPECT_EQ(e.length % 4096, 0u);
    EXPECT_EQ(e.offset, hinted_to);
    EXPECT_LE(e.offset + e.length, written_to);
    hinted_to = e.offset + e.length;
  }
  EXPECT_GE(hints, 1);
  std::string expected;
  for (const auto& [k, v] : model) expected += encode_record(k, v);
  ASSERT_EQ(store().live_bytes(), expected.size());
  const std::string bytes = file_bytes();
  EXPECT_TRUE(bytes.compare(data_at(store().test_slot(), 0), expected.size(), expected) == 0);
}

// Each commit writes of its data only what the target slot (two generations
// back) does not already hold, and the slot still ends up exactly what a
// full rewrite would leave; after opening nothing is trusted.
TEST_F(StoreCommit, ACommitWritesOnlyWhatDiffersFromTheTargetSlot) {
  config_.slot_size = 1 << 20;
  reopen();
  fill(2000, 30);  // records of 12 + 9 + 30 = 51 bytes
  std::map<std::string, std::string> model;
  for (int i = 0; i < 2000; ++i)
    model[key_of(i)] = std::string(30, static_cast<char>('a' + i % 26));
  auto data_written = [&](const std::vector<Mutation>& batch) {
    for (const Mutation& m : batch) {
      if (m.value) {
        model[m.key] = *m.value;
      } else {
        model.erase(m.key);
      }
    }
    io_->arm(/*record=*/true);
    EXPECT_TRUE(store().apply(batch).has_value());
    std::uint64_t bytes = 0;
    for (const auto& e : io_->events) {
      if (e.kind == ScriptedIo::Event::Write && e.bytes.size() != kHeaderSize)
        bytes += e.bytes.size();
    }
    std::string expected;
    for (const auto& [k, v] : model) expected += encode_record(k, v);
    EXPECT_EQ(store().live_bytes(), expected.size());
    EXPECT_TRUE(file_bytes().compare(data_at(store().test_slot(), 0), expected.size(), expected) ==
                0);
    return bytes;
  };
  const std::string value(30, 'u');
  data_written({{key_of(5), value}});  // both slots now written by this Store
  data_written({{key_of(6), value}});
  struct Row {
    const char* label;
    std::vector<Mutation> batch;
    std::uint64_t at_most;
  };
  const std::vector<Row> rows = {
      {"same-size update", {{key_of(1000), value}}, 2 * 51},
      {"another one elsewhere", {{key_of(1500), value}}, 2 * 51},
      {"append", {{"zz1", value}}, 2 * 51 + 45},
      {"next append", {{"zz2", value}}, 2 * 45},
      {"insert shifts the tail", {{key_of(1900) + "a", value}}, 150 * 51},
      {"delete shifts the tail", {{key_of(1950), std::nullopt}}, 150 * 51},
  };
  for (const Row& row : rows) EXPECT_LE(data_written(row.batch), row.at_most) << row.label;
  reopen();
  EXPECT_GE(data_written({{key_of(7), value}}), store().live_bytes()) << "after opening";
  EXPECT_LE(data_written({{key_of(8), value}}), 2u * 51);
}

TEST_F(StoreCommit, ThreeSyncsSeparateEmptyingDataAndPublishing) {
  reopen();
  put("a", "1");
  io_->arm(/*record=*/true);
  put("b", "2");  // target slot 0
  const auto& ev = io_->events;
  ASSERT_GE(ev.size(), 6u);
  using E = ScriptedIo::Event;
  EXPECT_EQ(ev[0].kind, E::Write);
  EXPECT_EQ(ev[0].offset, 0u);
  EXPECT_EQ(ev[0].bytes, std::string(64, '\0'));
  EXPECT_EQ(ev[1].kind, E::Sync);
  std::size_t i = 2;
  for (; ev[i].kind == E::Write; ++i) EXPECT_GE(ev[i].offset, kHeaderSize);
  EXPECT_EQ(ev[i].kind, E::Sync);
  EXPECT_EQ(ev[i + 1].kind, E::Write);
  EXPECT_EQ(ev[i + 1].offset, 0u);
  EXPECT_EQ(ev[i + 1].bytes.size(), kHeaderSize);
  EXPECT_EQ(ev[i + 2].kind, E::Sync);
  EXPECT_EQ(ev.size(), i + 3);
  EXPECT_EQ(io_->sync_count(), 3);
}

TEST_F(StoreCommit, EveryPrefixOfACommitsWritesReopensAtOldOrNewGeneration) {
  reopen();
  put("a", "1");
  put("c", "3");
  close();
  const std::string original = file_bytes();
  reopen();
  io_->arm(/*record=*/true);
  ASSERT_TRUE(store().apply(std::vector<Mutation>{{"b", "2"}, {"c", std::nullopt}}).has_value());
  const std::vector<ScriptedIo::Event> events = io_->events;
  close();
  // Replay each prefix of the recorded writes onto the file as it was before.
  for (std::size_t n = 0; n <= events.size(); ++n) {
    write_bytes(0, original);
    for (std::size_t i = 0; i < n; ++i) {
      if (events[i].kind == ScriptedIo::Event::Write)
        write_bytes(events[i].offset, events[i].bytes);
    }
    Store& s = reopen();
    if (s.generation() == 3) {
      expect_records(Records{{"a", "1"}, {"c", "3"}});
    } else {
      EXPECT_EQ(s.generation(), 4u) << n;
      expect_records(Records{{"a", "1"}, {"b", "2"}});
    }
    EXPECT_EQ(s.generation() == 4, n == events.size() || n + 1 == events.size()) << n;
    close();
  }
}

}  // namespace
}  // namespace tovik::testing
