#include "cli/query_lines.h"

#include <gtest/gtest.h>

#include "cli/shell.h"

namespace tovik::cli {
namespace {

TEST(QueryLine, TheFilterEndsWhereItsBracketsBalance) {
  const struct {
    const char* line;
    const char* filter;
    const char* fields;  // "" for none
  } rows[] = {
      {R"(query {"a b": "} ]", "c": [1, {"d": 2}]})", R"({"a b":"} ]","c":[1,{"d":2}]})", ""},
      {R"(query   {"x":"\"}"}   ["a.b", "c d"]  )", R"({"x":"\"}"})", R"(["a.b","c d"])"},
      {R"(query [1] ["a"])", "[1]", R"(["a"])"},
      {R"(query 5 [])", "5", "[]"},
  };
  for (const auto& row : rows) {
    auto command = parse_shell_line(row.line);
    ASSERT_TRUE(command.has_value()) << row.line << ": " << command.error().text();
    const auto& query = std::get<server::Query>(*command);
    EXPECT_EQ(dump_compact(query.filter), row.filter);
    EXPECT_EQ(query.fields ? dump_compact(Json(*query.fields)) : "", row.fields);
    EXPECT_EQ(query.limit, kShellQueryLimit);
    EXPECT_FALSE(query.after.has_value());
  }
  for (const char* line : {"query", "query {} {}", R"(query {} [1])", "count"}) {
    EXPECT_TRUE(parse_shell_line(line).error().text().starts_with("usage: ")) << line;
  }
  EXPECT_EQ(parse_shell_line("query {\"a\":").error().text(),
            "EOF while parsing a value at line 1 column 6");
  EXPECT_TRUE(ends_inside_json(R"(query {"a": [)"));
  EXPECT_FALSE(ends_inside_json(R"(count {"a": 1})"));
}

TEST(QueryLine, SortSkipAndLimitFollowTheFilterInAnyOrder) {
  const struct {
    const char* line;
    const char* sort;  // compact JSON, "" for none
    std::optional<std::uint64_t> skip;
    std::uint64_t limit;
  } rows[] = {
      {"query {} sort -total,name", R"(["-total","name"])", std::nullopt, kShellQueryLimit},
      {R"(query {"a":1} ["b"] limit 5 sort ["x,y", "-z"] skip 0)", R"(["x,y","-z"])", 0, 5},
      {"query {} skip +7", "", 7, kShellQueryLimit},
      {"query {} sort a,,b", R"(["a","","b"])", std::nullopt, kShellQueryLimit},
  };
  for (const auto& row : rows) {
    auto command = parse_shell_line(row.line);
    ASSERT_TRUE(command.has_value()) << row.line << ": " << command.error().text();
    const auto& query = std::get<server::Query>(*command);
    EXPECT_EQ(query.sort ? dump_compact(Json(*query.sort)) : "", row.sort) << row.line;
    EXPECT_EQ(query.skip, row.skip) << row.line;
    EXPECT_EQ(query.limit, row.limit) << row.line;
  }
  const struct {
    const char* line;
    const char* refusal;
  } refusals[] = {
      {"query {} sort", "usage: query"},
      {"query {} sort a skip 1 sort b", "usage: query"},
      {"query {} order a", "usage: query"},
      {"query {} sort [1]", "usage: sort"},
      {"query {} skip -1", "invalid digit found in string"},
      {"query {} limit 0", "limit must be at least 1"},
      {R"(query {} sort ["a")", "EOF while parsing"},
  };
  for (const auto& row : refusals) {
    auto command = parse_shell_line(row.line);
    ASSERT_FALSE(command.has_value()) << row.line;
    EXPECT_TRUE(command.error().text().starts_with(row.refusal)) << command.error().text();
  }
}

TEST(QueryLine, FilteredWritesAndDistinct) {
  const auto many = std::get<server::UpdateMany>(
      *parse_shell_line(R"(update-many {"a": {"$gt": 1}} {"$set": {"b": 2}})"));
  EXPECT_EQ(dump_compact(many.filter), R"({"a":{"$gt":1}})");
  EXPECT_EQ(dump_compact(many.update), R"({"$set":{"b":2}})");
  EXPECT_EQ(dump_compact(std::get<server::DeleteMany>(*parse_shell_line("delete-many {}")).filter),
            "{}");
  const auto distinct = std::get<server::Distinct>(*parse_shell_line(R"(distinct a.b {"c":1})"));
  EXPECT_EQ(distinct.path, "a.b");
  EXPECT_EQ(dump_compact(distinct.filter), R"({"c":1})");
  EXPECT_TRUE(std::get<server::Distinct>(*parse_shell_line("distinct a")).filter.is_null());
  for (const char* line : {"update-many {}", "update-many {} [1]", "delete-many", "distinct"}) {
    EXPECT_TRUE(parse_shell_line(line).error().text().starts_with("usage: ")) << line;
  }
  EXPECT_EQ(parse_shell_line(R"(delete-many {"a":1,"a":2})").error().text(),
            "repeated key a in filter at top level");
  EXPECT_TRUE(ends_inside_json(R"(update-many {"a":1} {"$set":)"));
  EXPECT_TRUE(ends_inside_json(R"(distinct a {"b":)"));
  EXPECT_EQ(update_many_text(Json{{"matched", 5}, {"modified", 3}}),
            "Updated 3 of 5 matching shinies");
  EXPECT_EQ(delete_many_text(Json{{"deleted", 2}}), "Deleted 2 shinies");
  EXPECT_EQ(distinct_text(Json{{"values", {1, "a", nullptr}}, {"truncated", true}}),
            "1\n\"a\"\nnull\nValues truncated: the first 3 are shown.");
  EXPECT_EQ(distinct_text(Json{{"values", Json::array()}}), "No values.");
}

TEST(QueryLine, MoreContinuesFromTheLastCursorOnly) {
  QueryContinuation queries;
  EXPECT_EQ(queries.more().error().text(), "no query to continue; run query first");
  const server::Command first = *parse_shell_line(R"(query {"a":1} ["b"])");
  queries.answered(first, server::success(Json{{"next_after", "k7"}}));
  queries.answered(server::Stats{}, server::success(Json::object()));  // leaves it
  auto more = queries.more();
  ASSERT_TRUE(more.has_value());
  const auto& next = std::get<server::Query>(*more);
  EXPECT_EQ(next.after, "k7");
  EXPECT_EQ(next.fields, std::vector<std::string>{"b"});
  EXPECT_EQ(more_hint(Json{{"next_after", "k7"}}), "\nType \"more\" for more.");
  queries.answered(*more, server::success(Json{{"next_after", nullptr}}));
  EXPECT_FALSE(queries.more().has_value());
  EXPECT_EQ(more_hint(Json{{"next_after", nullptr}}), "");
  EXPECT_EQ(count_text(Json{{"complete", true}, {"count", 3}}), "3 shinies");
  EXPECT_EQ(count_text(Json{{"complete", false}, {"count", 1234}, {"examined", 100000}}),
            "at least 1234 shinies (examined 100,000 records)");
}

TEST(QueryLine, MovingElsewhereEndsTheContinuation) {
  const server::Command query = *parse_shell_line("query {}");
  const Json shop_orders{{"den", "orders"}, {"warren", "shop"}};
  const struct {
    const char* name;
    server::Command command;
    server::Response response;
    bool continues;
  } rows[] = {
      {"use elsewhere", server::Navigate{"items"},
       server::success(Json{{"den", "items"}, {"warren", "shop"}}), false},
      {"use the same den", server::Navigate{"orders"}, server::success(shop_orders), false},
      {"use up", server::Navigate{".."},
       server::success(Json{{"den", nullptr}, {"warren", "shop"}}), false},
      {"a refused use", server::Navigate{"x/y/z"}, server::failure("invalid_name", "no"), true},
      {"drop of another den", server::DropEmpty{server::NamespaceKind::Den, "old"},
       server::success(shop_orders), true},
      {"drop that moves up", server::DropEmpty{server::NamespaceKind::Warren, "shop"},
       server::success(Json{{"den", nullptr}, {"warren", nullptr}}), false},
      {"create", server::Create{server::NamespaceKind::Den, "new"}, server::success(Json{}), true},
      {"drop with contents that moves up", server::Drop{server::NamespaceKind::Den, "orders"},
       server::success(Json{{"den", nullptr}, {"warren", "shop"}}), false},
  };
  for (const auto& row : rows) {
    QueryContinuation queries;
    queries.answered(server::Navigate{"/shop/orders"}, server::success(shop_orders));
    queries.answered(query, server::success(Json{{"next_after", "k7"}}));
    queries.answered(row.command, row.response);
    EXPECT_EQ(queries.more().has_value(), row.continues) << row.name;
  }
  QueryContinuation queries;
  queries.answered(query, server::success(Json{{"next_after", "k7"}}));
  queries.restart();
  EXPECT_EQ(queries.more().error().text(), "no query to continue; run query first");
}

}  // namespace
}  // namespace tovik::cli
