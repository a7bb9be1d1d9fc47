#include "document/sorted_query.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/distinct.h"
#include "document/documents.h"

namespace tovik {
namespace {

using testing::DocFixture;
using testing::parse;

constexpr std::size_t kBudget = 524'288;

class SortedQuery : public DocFixture {
 protected:
  QueryFilter filter(const char* text = "{}") { return *QueryFilter::compile(parse(text)); }
  SortOrder order(std::vector<std::string> paths) { return *SortOrder::compile(paths); }

  // One page; the ids of its documents in *ids.
  PageResult page(const SortOrder& sort, std::uint64_t skip, std::uint64_t limit,
                  const std::optional<std::string>& cursor, std::vector<std::string>* ids,
                  std::size_t budget = kBudget, const char* where = "{}") {
    auto result = sorted_query_page(store(), "w", "d", filter(where), sort, nullptr, skip, limit,
                                    cursor, budget);
    EXPECT_TRUE(result.has_value()) << result.error().text();
    if (!result) return {};
    for (const auto& text : result->documents) ids->push_back(parse(text)["id"]);
    return *result;
  }
  void put(const std::string& id, const char* members) {
    ASSERT_TRUE(put_document(store(), "w", "d", id, parse(members)).has_value());
  }
};

TEST_F(SortedQuery, SkipLimitAndRefusals) {
  for (int i = 0; i < 12; ++i) put("k" + std::to_string(i), i % 3 == 0 ? "{}" : "{\"n\":1}");
  put("z", R"({"n":null})");
  const auto sort = order({"-n"});
  std::vector<std::string> ids;
  // Descending: the 1s first (k1, k10, k11, k2, k4, then ids ascending),
  // then missing and null alike.
  PageResult first = page(sort, 5, 3, std::nullopt, &ids);
  EXPECT_EQ(ids, (std::vector<std::string>{"k5", "k7", "k8"}));
  EXPECT_FALSE(page(sort, 99, 5, first.next_after, &ids).next_after);  // skip is ignored
  EXPECT_EQ(ids, (std::vector<std::string>{"k5", "k7", "k8", "k0", "k3", "k6", "k9", "z"}));
  ids.clear();
  EXPECT_FALSE(page(sort, 0, 100, std::nullopt, &ids).next_after);
  EXPECT_EQ(ids.size(), 13u);
  EXPECT_TRUE(page(sort, 13, 1, std::nullopt, &ids).documents.empty());

  const auto refused = [&](std::uint64_t skip, std::uint64_t limit, std::string cursor) {
    auto result = sorted_query_page(store(), "w", "d", filter(), sort, nullptr, skip, limit,
                                    cursor.empty() ? std::nullopt : std::optional(cursor), kBudget);
    return result ? std::string("accepted") : result.error().text();
  };
  EXPECT_EQ(refused(kMaxSkip + 1, 1, ""), kSkipOutOfRange);
  EXPECT_EQ(refused(0, 0, ""), kSortedLimitOutOfRange);
  EXPECT_EQ(refused(0, 101, ""), kSortedLimitOutOfRange);
  EXPECT_EQ(refused(0, 1, "nonsense!"), kInvalidSortCursor);
}

TEST_F(SortedQuery, ByteBudgetFilterAndProjection) {
  put("a", R"({"n":3,"pad":"xxxxxxxxxxxxxxxxxxxx"})");
  put("b", R"({"n":1,"pad":"xxxxxxxxxxxxxxxxxxxx"})");
  put("c", R"({"n":2,"pad":"xxxxxxxxxxxxxxxxxxxx"})");
  std::vector<std::string> ids;
  const auto sort = order({"n"});
  // Room for two documents of 44 bytes: the third starts the next page.
  PageResult cut = page(sort, 0, 3, std::nullopt, &ids, 100);
  EXPECT_EQ(ids, (std::vector<std::string>{"b", "c"}));
  page(sort, 0, 3, cut.next_after, &ids, 100);
  EXPECT_EQ(ids.back(), "a");
  auto over = sorted_query_page(store(), "w", "d", filter(), sort, nullptr, 0, 3, std::nullopt, 20);
  EXPECT_EQ(over.error().text(), kDocumentOverPageBudget);

  const auto fields = *Projection::compile(std::vector<std::string>{"n"});
  auto projected = sorted_query_page(store(), "w", "d", filter(R"({"id":{"$gt":"a"}})"), sort,
                                     &fields, 0, 5, std::nullopt, kBudget);
  ASSERT_TRUE(projected.has_value());
  EXPECT_EQ(projected->documents,
            (std::vector<std::string>{R"({"id":"b","n":1})", R"({"id":"c","n":2})"}));
  EXPECT_EQ(projected->examined, 2u);  // the id range is sought
}

// Pages of 7 while documents are put, changed and deleted between pages:
// every document that stays unchanged throughout comes exactly once, and
// what comes is in order.
TEST_F(SortedQuery, CursorPagingUnderChange) {
  std::mt19937 random(11);
  std::map<std::string, int> live;
  for (int i = 0; i < 300; ++i) {
    const std::string id = numbered_id("d", i);
    live[id] = static_cast<int>(random() % 20);
    put(id, ("{\"n\":" + std::to_string(live[id]) + "}").c_str());
  }
  std::set<std::string> touched;
  const auto sort = order({"-n", "id"});
  std::vector<std::string> ids;
  std::optional<std::string> cursor;
  int fresh = 0;
  do {
    cursor = page(sort, 0, 7, cursor, &ids).next_after;
    for (int change = 0; change < 3; ++change) {
      auto it = std::next(live.begin(), static_cast<long>(random() % live.size()));
      touched.insert(it->first);
      if (change == 0) {
        ASSERT_TRUE(delete_document(store(), "w", "d", it->first).has_value());
        live.erase(it);
      } else {
        it->second = static_cast<int>(random() % 20);
        put(it->first, ("{\"n\":" + std::to_string(it->second) + "}").c_str());
      }
    }
    const std::string id = "new" + std::to_string(fresh++);
    live[id] = static_cast<int>(random() % 20);
    put(id, ("{\"n\":" + std::to_string(live[id]) + "}").c_str());
    touched.insert(id);
  } while (cursor);
  std::vector<std::string> unchanged;
  for (const auto& id : ids) {
    if (!touched.contains(id)) unchanged.push_back(id);
  }
  const std::set<std::string> seen(unchanged.begin(), unchanged.end());
  EXPECT_EQ(seen.size(), unchanged.size()) << "a document came twice";
  for (const auto& [id, n] : live) {
    EXPECT_TRUE(touched.contains(id) || seen.contains(id)) << "missed: " << id;
  }
  EXPECT_TRUE(std::is_sorted(unchanged.begin(), unchanged.end(), [&](auto& a, auto& b) {
    return live[a] != live[b] ? live[a] > live[b] : a < b;
  }));
}

TEST_F(SortedQuery, DistinctCountsArrayElementsAndTruncates) {
  put("a", R"({"t":[1,"x",[1]],"o":[{"k":2},{"k":[3,1.0]},5]})");
  put("b", R"({"t":null,"o":[{"k":{"z":1}},{"k":1}]})");
  put("c", R"({"t":[],"o":[]})");
  put("d", R"({"t":"x","u":1})");
  const auto values = [&](const char* path, const char* where = "{}") {
    auto result = distinct_values(store(), "w", "d", filter(where), path, kBudget);
    EXPECT_TRUE(result.has_value());
    return result ? dump_compact(Json(result->values)) : "";
  };
  EXPECT_EQ(values("t"), R"([null,1,"x",[1]])");
  EXPECT_EQ(values("o.k"), R"([1,1.0,2,3,{"z":1}])");
  EXPECT_EQ(values("t", R"({"u":1})"), R"(["x"])");
  EXPECT_EQ(distinct_values(store(), "w", "d", filter(), "o..k", kBudget).error().text(),
            "empty step in path o..k");

  std::vector<Mutation> many;
  for (int i = 0; i < 1'200; ++i) {
    many.push_back(doc_record("w", "many", numbered_id("", i), {{"v", 1'199 - i}}));
  }
  put_raw(std::move(many));
  auto capped = distinct_values(store(), "w", "many", filter(), "v", kBudget);
  ASSERT_TRUE(capped.has_value());
  EXPECT_TRUE(capped->truncated);
  ASSERT_EQ(capped->values.size(), kDistinctLimit);
  EXPECT_EQ(capped->values.front(), 0);
  EXPECT_EQ(capped->values.back(), 999);
  auto budgeted = distinct_values(store(), "w", "many", filter(), "v", 10);
  EXPECT_EQ(dump_compact(Json(budgeted->values)), "[0,1,2,3,4,5,6,7,8,9]");
  EXPECT_TRUE(budgeted->truncated);
}

}  // namespace
}  // namespace tovik
