#include "document/sort_order.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"

namespace tovik {
namespace {

using testing::parse;

constexpr const char* kMissing = "<missing>";

SortValue value(const std::string& text) {
  if (text == kMissing) return SortValue::of(nullptr);
  const Json json = parse(text);
  return SortValue::of(&json);
}

int sign(int n) { return n < 0 ? -1 : n > 0 ? 1 : 0; }

TEST(SortOrder, EveryKindPairInOrder) {
  // Ascending; the values of one group are equal.
  const std::vector<std::vector<std::string>> groups = {
      {kMissing, "null"},
      {"-9223372036854775808"},
      {"-1.5"},
      {"-1", "-1.0"},
      {"0", "0.0", "-0.0"},
      {"0.5"},
      {"9007199254740992", "9007199254740992.0"},
      {"9007199254740993"},  // beyond a double's precision, still above
      {"18446744073709551615"},
      {"1e300"},
      {R"("")"},
      {R"("B")"},
      {R"("a")"},
      {R"("ab")"},
      {R"("é")", R"("\u00e9")"},
      // Containers by their compact text: "{}" sorts after {"a":1}.
      {R"({"a":1.0})"},
      {R"({"a":1})", R"({ "a" : 1 })"},
      {R"({"b":0})"},
      {"{}"},
      {"[1,2]"},
      {"[1]"},
      {"[2]"},
      {"[]"},
      {"false"},
      {"true"},
  };
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::size_t h = 0; h < groups.size(); ++h) {
      for (const auto& a : groups[g]) {
        for (const auto& b : groups[h]) {
          EXPECT_EQ(sign(compare_sort_values(value(a), value(b))), g < h   ? -1
                                                                   : g > h ? 1
                                                                           : 0)
              << a << " vs " << b;
        }
      }
    }
  }
}

TEST(SortOrder, CompileRefusals) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{}, std::string(kSortEmpty)},
      {std::vector<std::string>(9, "a"), std::string(kSortTooManyPaths)},
      {{"a", ""}, "empty path"},
      {{"-"}, "empty path"},
      {{"-a..b"}, "empty step in path a..b"},
      {{"a."}, "empty step in path a."},
  };
  for (const auto& [paths, message] : rows) {
    auto order = SortOrder::compile(paths);
    ASSERT_FALSE(order.has_value()) << message;
    EXPECT_EQ(order.error(), message);
  }
  EXPECT_TRUE(SortOrder::compile(std::vector<std::string>(8, "-a.b")).has_value());
}

TEST(SortOrder, StoredTextAndTreeAgreeOnPaths) {
  auto order = *SortOrder::compile(std::vector<std::string>{"o.n", "t", "o.x.y", "s", "m"});
  // Blanks, escapes and unsorted keys: the stored text is not compact.
  const std::string stored =
      R"({ "\u0073":"a\"b", "t":[2, {"z":1,"a":2}], "o":{"x":[{"y":1}],"n":-2.5}, "id":"k"})";
  SortKey from_text;
  ASSERT_TRUE(order.key_of_stored(stored, from_text).has_value());
  const SortKey from_tree = order.key_of(parse(stored));
  const std::vector<std::string> expected = {"-2.5", R"([2,{"a":2,"z":1}])", kMissing, R"("a\"b")",
                                             kMissing};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(compare_sort_values(from_text[i], value(expected[i])), 0) << i;
    EXPECT_EQ(compare_sort_values(from_tree[i], value(expected[i])), 0) << i;
  }
  // Text that breaks off is refused, never read past its end.
  for (const char* broken : {R"({"s":)", R"({"s":"ab)", R"({"a":[1,{"b":"]"})", R"({"s")",
                             R"({"a":1,)", "[1]", "", R"({"a":"x\)"}) {
    EXPECT_EQ(order.key_of_stored(broken, from_text).error(), StoreError::Corrupt) << broken;
  }
}

TEST(SortOrder, DescendingKeepsTheIdTieBreakAscending) {
  auto order = *SortOrder::compile(std::vector<std::string>{"-n"});
  const SortKey one{value("1")}, two{value("2")};
  EXPECT_LT(order.compare(two, "b", one, "a"), 0);
  EXPECT_LT(order.compare(one, "a", one, "b"), 0);
  EXPECT_EQ(order.compare(one, "a", SortKey{value("1.0")}, "a"), 0);
}

TEST(SortOrder, CursorRoundTripsAndRefusesOthers) {
  auto order = *SortOrder::compile(std::vector<std::string>{"a", "-b", "c", "d", "e"});
  SortPosition position{{value(R"("x\u0000\"y")"), value("18446744073709551615"), value("0.1"),
                         value(R"({"k":[true,null]})"), value(kMissing)},
                        "id/with \"quotes\""};
  const std::string cursor = order.encode_cursor(position);
  EXPECT_EQ(
      cursor.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
      std::string::npos);
  auto back = order.decode_cursor(cursor);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(order.compare(*back, position), 0);
  EXPECT_EQ(back->id, position.id);

  auto shorter = *SortOrder::compile(std::vector<std::string>{"a"});
  for (const std::string& bad : {std::string(), std::string("a"), std::string("e30="),
                                 shorter.encode_cursor({{value("1")}, "x"}).substr(1),
                                 order.encode_cursor({{value("1"), value("2")}, "x"}),
                                 shorter.encode_cursor({{value("1")}, ""})}) {
    EXPECT_EQ(shorter.decode_cursor(bad).error(), kInvalidSortCursor) << bad;
  }
}

// A reference order written independently: kinds by rank, numbers through
// long double (exact for every 64-bit integer and every double), others
// by their compact text or bytes.
int reference(const Json& a, const Json& b) {
  const auto rank = [](const Json& v) {
    return v.is_null()     ? 0
           : v.is_number() ? 1
           : v.is_string() ? 2
           : v.is_object() ? 3
           : v.is_array()  ? 4
                           : 5;
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (a.is_number()) {
    const auto n = [](const Json& v) {
      return v.is_number_unsigned()  ? static_cast<long double>(v.get<std::uint64_t>())
             : v.is_number_integer() ? static_cast<long double>(v.get<std::int64_t>())
                                     : static_cast<long double>(v.get<double>());
    };
    return n(a) < n(b) ? -1 : n(b) < n(a) ? 1 : 0;
  }
  if (a.is_boolean()) return sign(int(a.get<bool>()) - int(b.get<bool>()));
  const std::string x = a.is_string() ? a.get<std::string>() : dump_compact(a);
  const std::string y = b.is_string() ? b.get<std::string>() : dump_compact(b);
  return sign(x.compare(y));
}

TEST(SortOrder, AgreesWithAReferenceOrder) {
  const std::vector<std::string> pool = {"null",
                                         "true",
                                         "false",
                                         "0",
                                         "-1",
                                         "1",
                                         "1.0",
                                         "2.5",
                                         "-2.5",
                                         "9223372036854775807",
                                         "9223372036854775808",
                                         "9223372036854775807.0",
                                         "-9223372036854775808",
                                         "1e19",
                                         R"("")",
                                         R"("a")",
                                         R"("b")",
                                         R"("ab")",
                                         "[]",
                                         "[0]",
                                         "[\"a\"]",
                                         "{}",
                                         R"({"a":[]})"};
  std::mt19937 random(7);
  auto order = *SortOrder::compile(std::vector<std::string>{"v", "-w"});
  for (int round = 0; round < 2000; ++round) {
    Json a = {{"id", "a"}}, b = {{"id", "b"}};
    for (Json* doc : {&a, &b}) {
      for (const char* member : {"v", "w"}) {
        const std::size_t pick = random() % (pool.size() + 1);
        if (pick < pool.size()) (*doc)[member] = parse(pool[pick]);
      }
    }
    const auto at = [](const Json& doc, const char* m) { return doc.value(m, Json()); };
    int expected = reference(at(a, "v"), at(b, "v"));
    if (expected == 0) expected = -reference(at(a, "w"), at(b, "w"));
    if (expected == 0) expected = -1;  // ids "a" < "b"
    SortKey x, y;
    ASSERT_TRUE(order.key_of_stored(dump_compact(a), x) && order.key_of_stored(dump_compact(b), y));
    const int got = order.compare(x, "a", y, "b");
    ASSERT_EQ(sign(got), expected) << dump_compact(a) << " vs " << dump_compact(b);
  }
}

}  // namespace
}  // namespace tovik
