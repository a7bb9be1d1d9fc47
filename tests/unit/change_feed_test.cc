// The change feed on its own: positions within and between commits, the
// reader's place and filter, its bounds, and waiting.
#include "server/change_feed.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "document/json.h"
#include "document/keys.h"

namespace tovik::server {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct Write {
  std::string den;
  std::string id;
  std::optional<std::string> document;  // none: a delete
  std::string warren = "w";
};

// Commits `writes` as the store would report them: in key order.
void commit(ChangeFeed& feed, std::uint64_t generation, const std::vector<Write>& writes) {
  std::vector<Mutation> mutations;
  for (const Write& w : writes) {
    mutations.push_back(Mutation{*document_key(w.warren, w.den, w.id), w.document});
  }
  std::sort(mutations.begin(), mutations.end(),
            [](const Mutation& a, const Mutation& b) { return a.key < b.key; });
  std::vector<const Mutation*> changed;
  for (const Mutation& m : mutations) changed.push_back(&m);
  feed.committed(generation, changed);
}

std::string doc(std::string_view id, int n) {
  return "{\"id\":\"" + std::string(id) + "\",\"n\":" + std::to_string(n) + "}";
}

// "gen:id" of each change, and the next position as "after/skip".
std::string listed(const std::expected<ChangesPage, std::string>& page) {
  if (!page) return page.error();
  std::string out;
  for (const auto& change : page->changes) {
    out += std::to_string(change->generation) + ":" + change->id +
           (change->kind == ChangeKind::Delete ? "- " : " ");
  }
  return out + "next " + std::to_string(page->next.after) + "/" + std::to_string(page->next.skip);
}

// A feed started at generation 10: 11 writes a, b, c in den d; 12 only
// moves the generation (a marker); 13 deletes b and writes x in den e.
void fill(ChangeFeed& feed) {
  commit(feed, 11, {{"d", "a", doc("a", 1)}, {"d", "b", doc("b", 2)}, {"d", "c", doc("c", 3)}});
  std::vector<Mutation> marker{Mutation{*marker_key("w", std::string_view("z")), ""}};
  std::vector<const Mutation*> changed{&marker[0]};
  feed.committed(12, changed);
  commit(feed, 13, {{"d", "b", std::nullopt}, {"e", "x", doc("x", 4)}});
}

TEST(ChangeFeed, PositionsCountWithinAndBetweenCommits) {
  ChangeFeed feed(10, {});
  fill(feed);
  struct Row {
    FeedPosition from;
    std::size_t limit;
    std::string expected;
  };
  const Row rows[] = {
      {{10, 0}, 100, "11:a 11:b 11:c 13:b- 13:x next 13/0"},
      {{10, 0}, 2, "11:a 11:b next 11/2"},
      {{11, 2}, 2, "11:c 13:b- next 13/1"},
      {{11, 3}, 100, "13:b- 13:x next 13/0"},  // every change of 11 seen
      {{11, 0}, 1, "13:b- next 13/1"},
      {{12, 0}, 100, "13:b- 13:x next 13/0"},
      {{13, 0}, 100, "next 13/0"},
      {{9, 0}, 100, "changes after generation 9 are no longer available; the oldest is 10"},
      {{10, 1}, 100, "changes after generation 10 are no longer available; the oldest is 10"},
      {{14, 0},
       100,
       "changes after generation 14 are not available yet; the current generation is 13"},
  };
  for (const Row& row : rows) {
    FeedSelection selection;
    selection.limit = row.limit;
    selection.byte_budget = 1 << 20;
    EXPECT_EQ(listed(feed.read(row.from, selection)), row.expected)
        << row.from.after << "/" << row.from.skip << " limit " << row.limit;
  }
}

TEST(ChangeFeed, PlaceFilterAndBudgetSelectButThePositionPassesOver) {
  ChangeFeed feed(10, {});
  fill(feed);
  commit(feed, 14, {{"d", "q", doc("q", 5), "v"}});
  auto filter = QueryFilter::compile(Json{{"n", Json{{"$gte", 3}}}});
  ASSERT_TRUE(filter.has_value());
  struct Row {
    FeedScope scope;
    bool filtered;
    std::size_t budget;
    std::string expected;
  };
  const Row rows[] = {
      {{"w", "d"}, false, 1 << 20, "11:a 11:b 11:c 13:b- next 14/0"},
      {{"w", std::nullopt}, false, 1 << 20, "11:a 11:b 11:c 13:b- 13:x next 14/0"},
      {{"v", std::nullopt}, false, 1 << 20, "14:q next 14/0"},
      {{}, true, 1 << 20, "11:c 13:b- 13:x 14:q next 14/0"},  // deletes always pass
      {{"w", "e"}, true, 1 << 20, "13:x next 14/0"},
      // A budget smaller than one change still answers one.
      {{}, false, 1, "11:a next 11/1"},
  };
  for (const Row& row : rows) {
    FeedSelection selection;
    selection.scope = row.scope;
    selection.filter = row.filtered ? &*filter : nullptr;
    selection.byte_budget = row.budget;
    EXPECT_EQ(listed(feed.read({10, 0}, selection)), row.expected) << row.expected;
  }
  // A put keeps its text; a delete has none.
  FeedSelection all;
  all.byte_budget = 1 << 20;
  auto page = feed.read({12, 0}, all);
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->changes[0]->document, "");
  EXPECT_EQ(page->changes[1]->document, doc("x", 4));
  EXPECT_EQ(page->changes[1]->warren, "w");
  EXPECT_EQ(page->changes[1]->den, "e");
}

TEST(ChangeFeed, OldestCommitsGoWholeAndTheirPositionsAreRefused) {
  ChangeFeed feed(10, FeedLimits{4, 1 << 20});
  fill(feed);
  // Five changes held are one too many: commit 11 (three changes) goes.
  FeedSelection all;
  all.byte_budget = 1 << 20;
  EXPECT_EQ(listed(feed.read({10, 0}, all)),
            "changes after generation 10 are no longer available; the oldest is 11");
  EXPECT_EQ(listed(feed.read({11, 0}, all)), "13:b- 13:x next 13/0");
  FeedFigures figures = feed.figures();
  EXPECT_EQ(figures.changes, 2u);
  EXPECT_EQ(figures.oldest, 11u);
  EXPECT_GT(figures.bytes, 0u);
  // A commit larger than the bound leaves nothing held, and no position
  // before it.
  commit(feed, 14,
         {{"d", "1", std::nullopt},
          {"d", "2", std::nullopt},
          {"d", "3", std::nullopt},
          {"d", "4", std::nullopt},
          {"d", "5", std::nullopt}});
  EXPECT_EQ(feed.figures().changes, 0u);
  EXPECT_EQ(listed(feed.read({13, 0}, all)),
            "changes after generation 13 are no longer available; the oldest is 14");
  EXPECT_EQ(listed(feed.read({14, 0}, all)), "next 14/0");
  // The byte bound counts the texts.
  ChangeFeed small(0, FeedLimits{100, 600});
  commit(small, 1, {{"d", "a", std::string(300, ' ')}});
  commit(small, 2, {{"d", "b", std::string(300, ' ')}});
  EXPECT_EQ(small.figures().oldest, 1u);
}

TEST(ChangeFeed, WaitsEndWithACommitATimeoutAnAbandonOrClose) {
  ChangeFeed feed(5, {});
  const auto soon = [] { return steady_clock::now() + milliseconds{5'000}; };
  // A commit already beyond the generation: no wait at all.
  EXPECT_TRUE(feed.wait_beyond(4, steady_clock::now(), milliseconds{10}, {}));
  EXPECT_FALSE(feed.wait_beyond(5, steady_clock::now() + milliseconds{30}, milliseconds{10}, {}));

  std::thread committer([&] {
    while (feed.figures().waiting == 0) std::this_thread::yield();
    commit(feed, 6, {{"d", "a", doc("a", 1)}});
  });
  EXPECT_TRUE(feed.wait_beyond(5, soon(), milliseconds{1'000}, {}));
  committer.join();
  EXPECT_EQ(feed.figures().waiting, 0u);

  std::atomic<bool> gone{false};
  std::thread leaver([&] {
    while (feed.figures().waiting == 0) std::this_thread::yield();
    gone = true;
  });
  const auto started = steady_clock::now();
  EXPECT_FALSE(feed.wait_beyond(6, soon(), milliseconds{10}, [&] { return gone.load(); }));
  leaver.join();

  std::thread closer([&] {
    while (feed.figures().waiting == 0) std::this_thread::yield();
    feed.close();
  });
  EXPECT_FALSE(feed.wait_beyond(6, soon(), milliseconds{1'000}, {}));
  closer.join();
  EXPECT_LT(steady_clock::now() - started, milliseconds{4'000});
  // Closed: later waits do not start.
  EXPECT_FALSE(feed.wait_beyond(6, soon(), milliseconds{1'000}, {}));
}

}  // namespace
}  // namespace tovik::server
