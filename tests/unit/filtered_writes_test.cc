#include "document/filtered_writes.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/namespaces.h"

namespace tovik {
namespace {

using testing::DocFixture;
using testing::parse;

class FilteredWrites : public DocFixture {
 protected:
  QueryFilter filter(const char* text) { return *QueryFilter::compile(parse(text)); }

  // Every record, to show that a failed request changed nothing.
  std::vector<std::pair<std::string, std::string>> records() {
    std::vector<std::pair<std::string, std::string>> all;
    auto cursor = store().scan_from("");
    while (cursor && *cursor->next()) all.emplace_back(cursor->key(), cursor->value());
    return all;
  }
  std::string stored(std::string_view den, std::string_view id) {
    auto value = store().get(*document_key("w", den, id));
    return value && *value ? **value : "<none>";
  }
};

TEST_F(FilteredWrites, UpdateManyIsOneCommitBeyondTheBatchLimit) {
  seed_documents("w", "d", 1'500, {{"n", 1}});
  seed_documents("w", "d", 10, {{"n", 1}, {"done", true}}, "z");
  seed_documents("w", "e", 5, {{"n", 1}});
  const std::uint64_t before = store().generation();
  auto result =
      update_many(store(), "w", "d", filter(R"({"n":1})"), parse(R"({"$set":{"done":true}})"));
  ASSERT_TRUE(result.has_value()) << result.error().text();
  EXPECT_EQ(result->matched, 1'510u);
  EXPECT_EQ(result->modified, 1'500u);  // the z documents were done already
  EXPECT_EQ(result->generation, before + 1);
  EXPECT_EQ(store().generation(), before + 1);
  EXPECT_EQ(stored("d", "01499"), R"({"done":true,"id":"01499","n":1})");
  EXPECT_EQ(stored("e", "00000"), R"({"id":"00000","n":1})");
  EXPECT_TRUE(check_documents(store()).has_value());

  auto deleted = delete_many(store(), "w", "d", filter(R"({"id":{"$gte":"00010"}})"));
  ASSERT_TRUE(deleted.has_value());
  EXPECT_EQ(deleted->deleted, 1'500u);
  EXPECT_EQ(deleted->generation, before + 2);
  EXPECT_EQ(stored("d", "00009"), R"({"done":true,"id":"00009","n":1})");
  EXPECT_EQ(stored("d", "z00000"), "<none>");
}

TEST_F(FilteredWrites, NothingMatchedCommitsNothing) {
  seed_documents("w", "d", 20, {{"n", 1}});
  const std::uint64_t before = store().generation();
  auto updated = update_many(store(), "w", "d", filter(R"({"n":2})"), parse(R"({"n":3})"));
  ASSERT_TRUE(updated.has_value());
  EXPECT_EQ(updated->matched + updated->modified, 0u);
  auto same = update_many(store(), "w", "d", filter("{}"), parse(R"({"$set":{"n":1}})"));
  EXPECT_EQ(same->matched, 20u);
  EXPECT_EQ(same->modified, 0u);
  auto deleted = delete_many(store(), "w", "nowhere", filter("{}"));
  EXPECT_EQ(deleted->deleted, 0u);
  EXPECT_EQ(deleted->generation, before);
  EXPECT_EQ(store().generation(), before);
}

TEST_F(FilteredWrites, OneFailingDocumentFailsTheWholeRequest) {
  seed_documents("w", "d", 30, {{"n", 1}});
  put_raw({doc_record("w", "d", "00017", {{"n", "one"}})});
  put_raw({doc_record("w", "d", "big", {{"n", 2}, {"pad", std::string(100, 'x')}})});
  const auto all = records();
  const std::uint64_t before = store().generation();
  struct Row {
    std::string update;
    std::uint64_t max_bytes;
    std::string message;
  };
  const std::vector<Row> rows = {
      {R"({"$inc":{"n":1}})", kNoDocumentLimit, "document 00017: $inc needs a number at n"},
      {R"({"$set":{"m":1}})", 100, "document big: invalid input or configuration"},
      {R"({"$inc":{"n":"x"}})", kNoDocumentLimit, "$inc needs a number operand at n"},
  };
  for (const Row& row : rows) {
    auto result = update_many(store(), "w", "d", filter("{}"), parse(row.update), row.max_bytes);
    ASSERT_FALSE(result.has_value()) << row.update;
    EXPECT_EQ(result.error().text(), row.message);
  }
  // The stage form leaves what was staged before it as it was.
  WriteBatch batch(store());
  ASSERT_TRUE(batch.stage("w", "other", WriteKind::Put, "x", parse("{}")).has_value());
  EXPECT_FALSE(stage_update_many(batch, store(), "w", "d", filter("{}"), parse(rows[0].update)));
  EXPECT_EQ(batch.records(), 1u);
  EXPECT_EQ(store().generation(), before);
  EXPECT_EQ(records(), all);
}

TEST_F(FilteredWrites, DropNamespaceWithItsContents) {
  SessionState session{"w", "d"};
  ASSERT_TRUE(create_namespace(store(), NamespaceKind::Den, "d", session).has_value());
  ASSERT_TRUE(create_namespace(store(), NamespaceKind::Den, "e", session).has_value());
  seed_documents("w", "d", 1'100);
  seed_documents("w", "d2", 3);
  seed_documents("w", "e", 2);
  seed_documents("w2", "d", 4);
  seed_documents(kDefaultWarren, "d", 5);

  auto den = drop_namespace(store(), NamespaceKind::Den, "d", session);
  ASSERT_TRUE(den.has_value()) << den.error().text();
  EXPECT_EQ(dump_compact(*den), R"({"dropped":"d","shinies":1100})");
  EXPECT_EQ(session.warren, "w");
  EXPECT_FALSE(session.den);
  EXPECT_EQ(stored("d2", "00000"), R"({"id":"00000"})");
  EXPECT_EQ(drop_namespace(store(), NamespaceKind::Den, "d", session).error().text(),
            kNamespaceDoesNotExist);

  const std::uint64_t before = store().generation();
  auto warren = drop_namespace(store(), NamespaceKind::Warren, "w", session);
  EXPECT_EQ(dump_compact(*warren), R"({"dropped":"w","shinies":5})");
  EXPECT_EQ(store().generation(), before + 1);
  EXPECT_FALSE(session.warren);
  EXPECT_EQ(list_names(store(), ListingKind::Warrens, session)->names,
            (std::vector<std::string>{"default", "w2"}));
  EXPECT_EQ(dump_compact(*drop_namespace(store(), NamespaceKind::Warren, "default", session)),
            R"({"dropped":"default","shinies":5})");
  EXPECT_TRUE(check_documents(store()).has_value());

  EXPECT_EQ(drop_namespace(store(), NamespaceKind::Den, "x", session).error().text(),
            kSelectWarrenFirst);
  EXPECT_EQ(drop_namespace(store(), NamespaceKind::Warren, "a/b", session).error().text(),
            kInvalidNamespaceName);
  EXPECT_EQ(drop_namespace(store(), NamespaceKind::Warren, "w", session).error().text(),
            kNamespaceDoesNotExist);
}

}  // namespace
}  // namespace tovik
