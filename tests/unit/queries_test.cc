#include "document/queries.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/documents.h"
#include "server/protocol.h"

namespace tovik {
namespace {

using namespace std::string_literals;
using testing::DocFixture;
using testing::parse;

constexpr std::size_t kBudget = server::kResponseDocumentBytes;

// The results are read as clients see them: through the response encoders.
class Queries : public DocFixture {
 protected:
  Json query(std::string_view den, std::optional<Filter> filter = std::nullopt,
             std::string_view warren = "w") {
    auto result = query_documents(store(), warren, den, filter, kBudget);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text());
    return result ? parse(server::query_data(*result).text) : Json();
  }

  Json page(std::uint64_t limit, std::optional<std::string> cursor = std::nullopt,
            std::optional<Filter> filter = std::nullopt) {
    auto result = page_documents(store(), "w", "d", limit, cursor, filter, kBudget);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().text());
    return result ? parse(server::page_data(*result).text) : Json();
  }

  static std::vector<std::string> ids(const Json& documents) {
    std::vector<std::string> out;
    for (const auto& document : documents) out.push_back(document["id"].get<std::string>());
    return out;
  }

  void seed_ids(std::string_view den, std::initializer_list<const char*> ids,
                const Json& members = Json::object()) {
    std::vector<Mutation> records;
    for (const char* id : ids) records.push_back(doc_record("w", den, id, members));
    put_raw(std::move(records));
  }
};

Filter where(std::string field, const char* value) {
  return Filter{std::move(field), parse(value)};
}

TEST_F(Queries, ResultLimitTruncatesOnlyWhenMoreRemain) {
  seed_documents("w", "d", 150);
  seed_documents("w", "e", 100);
  seed_documents("w", "c", 3);  // sorts before "d": never met
  Json result = query("d");
  EXPECT_EQ(result["documents"].size(), 100u);
  EXPECT_EQ(result["documents"][0], parse(R"({"id":"00000"})"));
  EXPECT_EQ(result["documents"][99]["id"], "00099");
  EXPECT_EQ(result["examined"], 100);
  EXPECT_EQ(result["possibly_truncated"], true);
  EXPECT_EQ(result["byte_limited"], false);
  EXPECT_EQ(result["result_limit"], 100);
  EXPECT_EQ(result["examination_limit"], 10000);

  result = query("e");
  EXPECT_EQ(result["documents"].size(), 100u);
  EXPECT_EQ(result["possibly_truncated"], false);
}

TEST_F(Queries, ExaminationBudget) {
  seed_documents("w", "d", 20'000, {{"n", 1}});
  seed_documents("w", "e", 10'000, {{"n", 1}});
  Json result = query("d", where("n", "2"));
  EXPECT_EQ(result["documents"], Json::array());
  EXPECT_EQ(result["examined"], 10000);
  EXPECT_EQ(result["possibly_truncated"], true);
  result = query("e", where("n", "2"));
  EXPECT_EQ(result["examined"], 10000);
  EXPECT_EQ(result["possibly_truncated"], false);
}

TEST_F(Queries, ByteLimitDropsLaterMatches) {
  StoreConfig config;
  config.max_value_len = 1'000'000;
  reopen(config);
  const Json big = {{"p", std::string(200'000 - 20, 'x')}, {"k", 1}};
  seed_ids("d", {"a", "b", "c"}, big);
  seed_ids("d", {"s"}, {{"k", 1}});
  const Json result = query("d", where("k", "1"));
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(result["examined"], 4);
  EXPECT_EQ(result["byte_limited"], true);
  EXPECT_EQ(result["possibly_truncated"], true);
}

TEST_F(Queries, FilterUsesJsonEqualityOnTopLevelMembers) {
  seed_ids("d", {"int"}, parse(R"({"v":1,"a.b":true})"));
  seed_ids("d", {"float"}, parse(R"({"v":1.0})"));
  seed_ids("d", {"string"}, parse(R"({"v":"1","a":{"b":true}})"));
  seed_ids("d", {"nested"}, parse(R"({"v":{"x":[1,2]}})"));
  seed_ids("d", {"list"}, parse(R"({"v":[1,2]})"));  // equal whole, never by an element
  EXPECT_EQ(ids(query("d", where("v", "1"))["documents"]), (std::vector<std::string>{"int"}));
  EXPECT_EQ(ids(query("d", where("v", "1.0"))["documents"]), (std::vector<std::string>{"float"}));
  EXPECT_EQ(ids(query("d", where("v", R"("1")"))["documents"]),
            (std::vector<std::string>{"string"}));
  EXPECT_EQ(ids(query("d", where("v", R"({"x":[1,2]})"))["documents"]),
            (std::vector<std::string>{"nested"}));
  EXPECT_EQ(ids(query("d", where("a.b", "true"))["documents"]), (std::vector<std::string>{"int"}));
  EXPECT_EQ(ids(query("d", where("v", "[1,2]"))["documents"]), (std::vector<std::string>{"list"}));
  EXPECT_EQ(ids(query("d", where("id", R"("float")"))["documents"]),
            (std::vector<std::string>{"float"}));
}

TEST_F(Queries, DenNeverLeaksIntoTheNextDen) {
  put_raw({doc_record("default", "a", "1"), doc_record("default", "a", "2"),
           doc_record("default", "a b", "1"), doc_record("default", "a\x01", "1"),
           doc_record("default", "ab", "1")});
  EXPECT_EQ(query("a", std::nullopt, "default")["examined"], 2);
  EXPECT_EQ(query("a b", std::nullopt, "default")["examined"], 1);
  std::vector<std::string> seen;
  auto examined = walk_documents(store(), "default", "a", std::nullopt, 100,
                                 [&](std::string_view d) { seen.emplace_back(d); });
  EXPECT_EQ(*examined, 2u);
  EXPECT_EQ(seen, (std::vector<std::string>{R"({"id":"1"})", R"({"id":"2"})"}));
}

TEST_F(Queries, FindReadsOnlyAroundItsDen) {
  // 50,000 documents in "a", then three in "b": finding in "b" must start
  // at "b" through the index rather than walk "a".
  seed_documents("default", "a", 50'000);
  seed_documents("default", "b", 3);
  const auto before = store().test_record_reads();
  const Json result = query("b", where("id", R"("00001")"), "default");
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"00001"}));
  EXPECT_EQ(result["examined"], 3);
  // One index stride (50,003 / 64 records) plus the binary search.
  EXPECT_LT(store().test_record_reads() - before, 1'000u);
}

TEST_F(Queries, PageCursors) {
  seed_ids("d", {"a", "b", "c"});
  Json result = page(2);
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(result["next_after"], "b");
  EXPECT_EQ(result["examined"], 2);
  result = page(2, "b");
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"c"}));
  EXPECT_EQ(result["next_after"], nullptr);
  result = page(2, "bb");
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"c"}));
  result = page(100, "c");
  EXPECT_EQ(result, parse(R"({"documents":[],"examined":0,"next_after":null})"));
}

TEST_F(Queries, PageWithFilterCountsEveryExaminedRecord) {
  seed_ids("d", {"a", "b", "d"});
  seed_ids("d", {"c"}, {{"k", true}});
  seed_ids("e", {"x"}, {{"k", true}});
  Json result = page(2, std::nullopt, where("k", "true"));
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"c"}));
  EXPECT_EQ(result["examined"], 4);
  EXPECT_EQ(result["next_after"], nullptr);
  // A page that fills up names its last id, matching or not.
  result = page(1, std::nullopt, where("k", "true"));
  EXPECT_EQ(result["next_after"], "c");
}

TEST_F(Queries, PagingVisitsEveryDocumentOnce) {
  seed_documents("w", "d", 250);
  std::vector<std::string> seen;
  std::optional<std::string> cursor;
  for (int pages = 0; pages < 10; ++pages) {
    const Json result = page(100, cursor);
    for (const auto& id : ids(result["documents"])) seen.push_back(id);
    if (result["next_after"].is_null()) break;
    cursor = result["next_after"].get<std::string>();
  }
  ASSERT_EQ(seen.size(), 250u);
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], numbered_id("", i));
}

TEST_F(Queries, PageByteLimits) {
  StoreConfig config;
  config.max_value_len = 1'000'000;
  reopen(config);
  seed_ids("d", {"a", "b", "c"}, {{"p", std::string(200'000, 'x')}});
  seed_ids("d", {"z"}, {{"p", std::string(600'000, 'x')}});
  Json result = page(100);
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(result["next_after"], "b");
  // A document no page could hold fails the page that meets it, in the
  // words clients have always been given.
  EXPECT_EQ(page_documents(store(), "w", "d", 100, "b"s, std::nullopt, kBudget).error(),
            DocError::message(kDocumentOverPageBudget));
  EXPECT_EQ(kDocumentOverPageBudget, "configured database capacity exceeded");
  result = page(1, "b");
  EXPECT_EQ(ids(result["documents"]), (std::vector<std::string>{"c"}));
  EXPECT_EQ(result["next_after"], "c");
}

TEST_F(Queries, PageRefusesBadLimitsAndCursors) {
  for (std::uint64_t limit : {0u, 101u}) {
    EXPECT_EQ(page_documents(store(), "w", "d", limit, std::nullopt, std::nullopt, kBudget)
                  .error()
                  .text(),
              "invalid input or configuration");
  }
  EXPECT_EQ(page_documents(store(), "w", "d", 1, ""s, std::nullopt, kBudget).error(),
            DocError(StoreError::Invalid));
  EXPECT_EQ(page_documents(store(), "w", "d", 1, "a\0"s, std::nullopt, kBudget).error(),
            DocError(StoreError::Invalid));
}

TEST_F(Queries, OfflineWalkHonoursItsLimit) {
  seed_documents("default", "d", 12'000, {{"n", 1}});
  std::size_t handed = 0;
  const auto count = [&](std::string_view) { ++handed; };
  EXPECT_EQ(*walk_documents(store(), "default", "d", std::nullopt, 0, count), 0u);
  EXPECT_EQ(handed, 0u);
  EXPECT_EQ(*walk_documents(store(), "default", "d", std::nullopt, 5, count), 5u);
  EXPECT_EQ(handed, 5u);
  handed = 0;
  EXPECT_EQ(*walk_documents(store(), "default", "d", std::nullopt, 1'000'000, count), 10'000u);
  EXPECT_EQ(handed, 10'000u);
  handed = 0;
  EXPECT_EQ(*walk_documents(store(), "default", "d", Filter{"n", 2}, 10, count), 10'000u);
  EXPECT_EQ(handed, 0u);
}

TEST_F(Queries, CorruptDocumentEndsTheQuery) {
  seed_ids("d", {"a"});
  put_raw(*document_key("w", "d", "b"), R"({"id":"c"})");
  EXPECT_EQ(query_documents(store(), "w", "d", std::nullopt, kBudget).error(),
            DocError(StoreError::Corrupt));
  EXPECT_EQ(page(1).at("next_after"), "a");
  EXPECT_EQ(page_documents(store(), "w", "d", 2, std::nullopt, std::nullopt, kBudget).error(),
            DocError(StoreError::Corrupt));
  EXPECT_EQ(query_documents(store(), "w", "", std::nullopt, kBudget).error(),
            DocError(StoreError::Invalid));
  // find reads every record it examines in full, matching or not.
  put_raw(*document_key("w", "e", "a"), "{\"id\":\"a\",\"x\":\"\x01\"}");
  EXPECT_EQ(query_documents(store(), "w", "e", where("v", "1"), kBudget).error(),
            DocError(StoreError::Corrupt));
}

}  // namespace
}  // namespace tovik
