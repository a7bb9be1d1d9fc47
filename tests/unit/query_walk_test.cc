// query and count over a real store, read as clients see them: through the
// executor and the protocol's encoders.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/jsonl.h"
#include "document/keys.h"
#include "document/queries.h"
#include "server/dispatch.h"
#include "server/protocol.h"

namespace tovik::server {
namespace {

using tovik::testing::parse;

class QueryWalk : public tovik::testing::DocFixture {
 protected:
  void SetUp() override {
    DocFixture::SetUp();
    session_.warren = "w";
    session_.den = "d";
  }

  ExecuteResult run(const Command& command) { return execute(store(), session_, command); }

  Json ok(const Command& command) {
    ExecuteResult result = run(command);
    EXPECT_TRUE(result.has_value()) << result.error();
    return result ? parse(encode_data(*result)) : Json();
  }

  Json query(std::string_view filter, std::uint64_t limit = 100,
             std::optional<std::string> after = std::nullopt,
             std::optional<std::vector<std::string>> fields = std::nullopt) {
    return ok(Query{parse(filter), std::move(fields), limit, std::move(after)});
  }

  Json count(std::string_view filter) { return ok(Count{parse(filter)}); }

  static std::string ids(const Json& data) {
    std::string out;
    for (const Json& document : data["documents"]) {
      if (!out.empty()) out += ' ';
      out += document["id"].get<std::string>();
    }
    return out;
  }

  // Every id a filter selects, page by page, with the pages' examined counts.
  std::vector<std::string> all_pages(std::string_view filter, std::uint64_t limit,
                                     std::vector<std::uint64_t>* examined = nullptr) {
    std::vector<std::string> pages;
    std::optional<std::string> after;
    do {
      const Json page = query(filter, limit, after);
      pages.push_back(ids(page));
      if (examined != nullptr) examined->push_back(page["examined"].get<std::uint64_t>());
      after = page["next_after"].is_null() ? std::nullopt
                                           : std::optional(page["next_after"].get<std::string>());
    } while (after && pages.size() < 100);
    return pages;
  }

  SessionState session_;
};

TEST_F(QueryWalk, FailuresOfTheCommands) {
  seed_documents("w", "d", 3);
  const std::pair<Command, const char*> rows[] = {
      {Query{parse("[]"), std::nullopt, 5, std::nullopt}, "filter must be an object"},
      {Count{parse("null")}, "filter must be an object"},
      {Query{parse(R"({"a":{"$regex":"x"}})"), std::nullopt, 5, std::nullopt},
       "unknown query operator $regex at a"},
      {Query{parse("{}"), std::vector<std::string>{"a..b"}, 5, std::nullopt},
       "empty step in path a..b"},
      {Query{parse("{}"), std::nullopt, 0, std::nullopt}, "invalid input or configuration"},
      {Query{parse("{}"), std::nullopt, 101, std::nullopt}, "invalid input or configuration"},
      {Query{parse("{}"), std::nullopt, 5, std::string()}, "invalid input or configuration"},
  };
  for (const auto& [command, message] : rows) {
    ExecuteResult result = run(command);
    ASSERT_FALSE(result.has_value()) << message;
    EXPECT_EQ(result.error(), message);
  }
  session_.den.reset();
  EXPECT_EQ(run(Count{parse("{}")}).error(), "select a collection with use <collection>");
  EXPECT_EQ(run(Query{parse("{}"), std::nullopt, 5, std::nullopt}).error(),
            "select a collection with use <collection>");
}

// A value keeps the last of a repeated key, so the decoder hands the repeat
// to the executor, which refuses the filter in words that name it.
TEST_F(QueryWalk, RepeatedKeysOfAFilterAreRefused) {
  seed_documents("w", "d", 3, {{"v", 1}});
  const std::pair<std::string_view, const char*> rows[] = {
      {R"({"op":"count","filter":{"v":{"$gt":0},"v":{"$lt":0}}})",
       "repeated key v in filter at top level"},
      {R"({"op":"query","limit":5,"filter":{"v":{"$gt":0,"$gt":2}}})",
       "repeated key $gt in filter at v"},
      {R"({"op":"query","limit":5,"filter":{"$or":[{"v":1},{"o":{"p":{"q":1,"q":2}}}]}})",
       "repeated key q in filter at $or.1.o.p"},
      {R"(["count",{"$and":[{"v":1,"v":1}]}])", "repeated key v in filter at $and.0"},
  };
  for (const auto& [command, message] : rows) {
    auto request = decode_request(R"({"version":1,"command":)" + std::string(command) + "}");
    ASSERT_TRUE(request.has_value()) << command;
    ExecuteResult result = run(request->command);
    ASSERT_FALSE(result.has_value()) << command;
    EXPECT_EQ(result.error(), message);
  }
  auto request = decode_request(
      R"({"version":1,"command":{"op":"count","filter":{"v":{"$in":[{"a":1},{"a":2}]}}}})");
  ASSERT_TRUE(request.has_value());
  EXPECT_TRUE(run(request->command).has_value());
}

TEST_F(QueryWalk, PagesContinueFromTheirCursor) {
  std::vector<Mutation> records;
  for (int i = 0; i < 250; ++i) {
    records.push_back(doc_record("w", "d", numbered_id("", i), {{"n", i % 3}}));
  }
  put_raw(std::move(records));
  std::vector<std::uint64_t> examined;
  const auto pages = all_pages(R"({"n":0})", 40, &examined);
  ASSERT_EQ(pages.size(), 3u);  // 84 matches
  EXPECT_EQ(pages[0].substr(0, 11), "00000 00003");
  EXPECT_EQ(pages[2].substr(pages[2].size() - 5), "00249");
  EXPECT_EQ(examined, (std::vector<std::uint64_t>{118, 120, 12}));
  // A page that ends where the den ends says so.
  EXPECT_TRUE(query(R"({"n":0})", 4, "00237")["next_after"].is_null());
}

TEST_F(QueryWalk, ProjectedDocumentsAndTheByteBudget) {
  StoreConfig config;
  config.max_value_len = 1'000'000;
  reopen(config);
  const std::string pad(200'000, 'x');
  for (const char* id : {"a", "b", "c"}) {
    put_raw({doc_record("w", "d", id, {{"pad", pad}, {"dims", {{"w", 3}, {"h", 4}}}})});
  }
  const Json first = query("{}");
  EXPECT_EQ(ids(first), "a b");
  EXPECT_EQ(first["next_after"], "b");
  EXPECT_EQ(ids(query("{}", 100, "b")), "c");
  // Projections are what counts against the budget, and what is returned.
  const Json projected = query("{}", 100, std::nullopt, std::vector<std::string>{"dims.w"});
  EXPECT_EQ(projected["documents"], parse(R"([{"dims":{"w":3},"id":"a"},{"dims":{"w":3},"id":"b"},
                                              {"dims":{"w":3},"id":"c"}])"));
  EXPECT_TRUE(projected["next_after"].is_null());
}

TEST_F(QueryWalk, IdRangesSeekAndStop) {
  seed_documents("w", "d", 5'000, {{"n", 1}});
  const struct {
    const char* filter;
    std::uint64_t limit;
    const char* first;
    std::size_t returned;
    std::uint64_t examined;
    bool more;
  } rows[] = {
      // Records before the lower bound are never examined; the first record
      // past the upper bound is, and ends the walk.
      {R"({"id":{"$gte":"03000","$lt":"03100"}})", 100, "03000", 100, 101, false},
      {R"({"id":{"$gt":"03000","$lte":"03100"}})", 100, "03001", 100, 101, false},
      {R"({"id":{"$gt":"03000","$lte":"03101"}})", 100, "03001", 100, 100, true},
      {R"({"id":{"$prefix":"0420"},"n":1})", 100, "04200", 10, 11, false},
      {R"({"id":"01234"})", 100, "01234", 1, 2, false},
      {R"({"$and":[{"id":{"$gte":"04990"}}]})", 100, "04990", 10, 10, false},
      {R"({"id":{"$gte":"03000","$lt":"03020"}})", 20, "03000", 20, 21, false},
      {R"({"id":{"$gte":"9"}})", 100, "", 0, 0, false},
  };
  for (const auto& row : rows) {
    const std::uint64_t reads = store().test_record_reads();
    const Json page = query(row.filter, row.limit);
    EXPECT_EQ(page["documents"].size(), row.returned) << row.filter;
    if (row.returned > 0) {
      EXPECT_EQ(page["documents"][0]["id"], row.first) << row.filter;
    }
    EXPECT_EQ(page["examined"], row.examined) << row.filter;
    EXPECT_EQ(!page["next_after"].is_null(), row.more) << row.filter;
    // The seek reads at most one index interval before the range.
    EXPECT_LT(store().test_record_reads() - reads, row.examined + 200) << row.filter;
  }
  // A cursor beyond the lower bound wins, and the other way round.
  EXPECT_EQ(ids(query(R"({"id":{"$gte":"03000","$lt":"03003"}})", 100, "03001")), "03002");
  EXPECT_EQ(ids(query(R"({"id":{"$gt":"03001","$lt":"03003"}})", 100, "00001")), "03002");
  const Json counted = count(R"({"id":{"$gte":"02000","$lt":"02500"},"n":{"$gt":0}})");
  EXPECT_EQ(counted, parse(R"({"complete":true,"count":500,"examined":501})"));
}

TEST_F(QueryWalk, CountExaminesAtMostItsBudget) {
  seed_documents("w", "d", 100'001, {{"n", 1}}, "k");
  EXPECT_EQ(count(R"({"n":1})"), parse(R"({"complete":false,"count":100000,"examined":100000})"));
  EXPECT_EQ(count(R"({"n":{"$ne":1}})"),
            parse(R"({"complete":false,"count":0,"examined":100000})"));
  // The range ends within the budget, or the den ends exactly at it.
  // ("k100000" sorts between "k10000" and "k10001".)
  EXPECT_EQ(count(R"({"id":{"$lt":"k99999"}})"),
            parse(R"({"complete":true,"count":100000,"examined":100000})"));
  EXPECT_EQ(count(R"({"id":{"$gt":"k00000"}})"),
            parse(R"({"complete":true,"count":100000,"examined":100000})"));
}

// Records another tool wrote straight into the store: valid JSON, but not
// in the compact form. Every read, online and offline, gives each one as
// get does, and the export lines are built from that form.
TEST_F(QueryWalk, EveryReadGivesTheTextGetGives) {
  const std::vector<std::pair<std::string, std::string>> stored = {
      {"a", R"({ "id" : "a", "n" : 1 })"},
      {"b", R"({"z":[1, 2],"id":"b","n":1})"},
      {"c", R"({"id":"c","n":1,"s":"\u0041\/\u00e9"})"},
      {"d", R"({"f":1.50,"g":-0,"id":"d","n":1,"o":{"y":1,"x":2e0}})"},
      {"e", R"({"id":"e","n":1,"v":1,"v":2})"},
      {"f", R"({"id":"f","n":1,"t":"\u001F\b"})"},
      {"g", R"({"id":"g","n":1,"q":"\"\n\u0001"})"},  // already compact
  };
  std::vector<Mutation> records;
  for (const auto& [id, text] : stored) records.push_back({*document_key("w", "d", id), text});
  put_raw(records);
  std::vector<std::string> texts;  // as get gives them
  std::string array;
  for (const auto& [id, text] : stored) {
    auto got = run(Get{id});
    ASSERT_TRUE(got.has_value());
    texts.push_back(encode_data(*got));
    array += (array.empty() ? "[" : ",") + texts.back();
  }
  array += "]";
  EXPECT_EQ(texts.back(), stored.back().second);
  const std::string documents = "\"documents\":" + array;
  const auto filter = QueryFilter::compile(parse(R"({"n":1})"));
  for (const Command& command :
       {Command{Scan{}}, Command{Find{"n", 1}}, Command{Page{100, std::nullopt, std::nullopt}},
        Command{Page{100, std::nullopt, Filter{"n", 1}}},
        Command{Query{parse(R"({"n":1})"), std::nullopt, 100, std::nullopt}}}) {
    auto answer = run(command);
    ASSERT_TRUE(answer.has_value()) << op_name(command);
    EXPECT_NE(encode_data(*answer).find(documents), std::string::npos)
        << op_name(command) << ": " << encode_data(*answer);
  }

  std::vector<std::string> handed;
  const auto sink = [&handed](std::string_view text) { handed.emplace_back(text); };
  ASSERT_TRUE(walk_documents(store(), "w", "d", std::nullopt, 100, sink).has_value());
  ASSERT_TRUE(walk_documents(store(), "w", "d", Filter{"n", 1}, 100, sink).has_value());
  ASSERT_TRUE(walk_query(store(), "w", "d", *filter, 100, sink).has_value());
  std::vector<std::string> expected;
  for (int walk = 0; walk < 3; ++walk) expected.insert(expected.end(), texts.begin(), texts.end());
  EXPECT_EQ(handed, expected);

  std::vector<std::string> lines;
  std::vector<std::string> expected_lines;
  ASSERT_TRUE(walk_den(store(), "w", "d", [&](std::string_view id, std::string_view text) {
                auto line = document_export_line(text, "_id", id);
                if (!line)
                  return std::expected<void, std::string>(std::unexpected(line.error().text()));
                lines.push_back(std::move(*line));
                return std::expected<void, std::string>();
              }).has_value());
  ASSERT_TRUE(walk_database(store(), [&](std::string_view warren, std::string_view den,
                                         std::string_view text) {
                lines.push_back(database_export_line(warren, den, text));
                return std::expected<void, std::string>();
              }).has_value());
  for (const std::string& text : texts)
    expected_lines.push_back(*document_export_line(text, "_id"));
  for (const std::string& text : texts)
    expected_lines.push_back(database_export_line("w", "d", text));
  EXPECT_EQ(lines, expected_lines);
}

}  // namespace
}  // namespace tovik::server
