// The reading paths that build nothing (outline_json, json_text_equal, the
// stored-document checks) must always agree with the full parser: the
// integrity check, find and get would otherwise disagree about the same
// bytes. These tests compare both paths over generated and damaged texts.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/documents.h"
#include "document/json.h"
#include "document/json_scan.h"
#include "document/queries.h"
#include "json_mutation.h"

namespace tovik {
namespace {

const char* const kNumbers[] = {"0",
                                "-0",
                                "1",
                                "-1",
                                "1.0",
                                "1e2",
                                "1E+2",
                                "100",
                                "2.5e-3",
                                "-9223372036854775808",
                                "9223372036854775807",
                                "18446744073709551615",
                                "18446744073709551616",
                                "-9223372036854775809",
                                "1e308",
                                "0.00000000000000000000000000000000000001e-300",
                                "123456789012345678901234567890"};
const char* const kStrings[] = {R"("")",
                                R"("active")",
                                R"("a\"b")",
                                R"("\u0061")",
                                R"("x\/y")",
                                R"("\ud83d\ude00")",
                                "\"\xC3\xA9t\xC3\xA9\"",
                                R"("long text that crosses several words")",
                                R"("\n\t")"};
const char* const kKeys[] = {"id", "status", "n", "tags", "s\\u0074atus", "a", "\xC3\xA9"};

std::string object_text(Random& random, int depth);

// A random JSON value of the forms stored documents and filters take.
std::string value_text(Random& random, int depth) {
  const std::size_t kind = random.below(depth > 3 ? 5 : 7);
  switch (kind) {
    case 0:
      return kNumbers[random.below(std::size(kNumbers))];
    case 1:
    case 2:
      return kStrings[random.below(std::size(kStrings))];
    case 3: {
      const char* const literals[] = {"true", "false", "null"};
      return literals[random.below(3)];
    }
    case 4: {
      std::string text(2 + random.below(40), 'x');
      text.front() = text.back() = '"';
      return text;
    }
    case 5: {
      std::string text = "[";
      for (std::size_t i = random.below(4); i > 0; --i) {
        text += value_text(random, depth + 1);
        if (i > 1) text += random.below(4) == 0 ? " , " : ",";
      }
      return text + "]";
    }
    default:
      return object_text(random, depth);
  }
}

std::string object_text(Random& random, int depth) {
  std::string text = "{";
  for (std::size_t i = random.below(5); i > 0; --i) {
    text += "\"";
    text += kKeys[random.below(std::size(kKeys))];
    text += random.below(4) == 0 ? "\" : " : "\":";
    text += value_text(random, depth + 1);
    if (i > 1) text += ",";
  }
  return text + "}";
}

// Filter values to compare members against: every kind, and the integer and
// float forms that equality must keep apart.
std::vector<Json> probe_values() {
  std::vector<Json> probes = {Json(std::uint64_t{0}),
                              Json(std::int64_t{0}),
                              Json(std::uint64_t{1}),
                              Json(std::int64_t{-1}),
                              Json(1.0),
                              Json(100.0),
                              Json(std::uint64_t{100}),
                              Json(std::uint64_t{18446744073709551615u}),
                              Json(18446744073709551616.0),
                              Json(INT64_MIN),
                              Json("active"),
                              Json("a"),
                              Json("a\"b"),
                              Json(""),
                              Json(true),
                              Json(false),
                              Json(nullptr),
                              Json::array(),
                              Json::object()};
  for (const char* text : kStrings) probes.push_back(*parse_json(text));
  return probes;
}

// Both readers must accept and refuse the same texts, with the same error,
// and the outlined member must be exactly the parsed one.
void expect_agreement(const std::string& text, const std::vector<Json>& probes) {
  const std::string_view names[] = {"id", "status", "n", "a"};
  std::optional<std::string_view> raw[4];
  const auto parsed = parse_json(text);
  const auto outlined = outline_json(text, names, raw);
  ASSERT_EQ(parsed.has_value(), outlined.has_value()) << text;
  if (!parsed) {
    EXPECT_EQ(parsed.error().message, outlined.error().message) << text;
    EXPECT_EQ(parsed.error().line, outlined.error().line) << text;
    EXPECT_EQ(parsed.error().column, outlined.error().column) << text;
    return;
  }
  ASSERT_EQ(parsed->is_object(), *outlined) << text;
  if (!parsed->is_object()) return;
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const auto found = parsed->find(std::string(names[i]));
    ASSERT_EQ(found != parsed->end(), raw[i].has_value()) << text << " member " << names[i];
    if (!raw[i]) continue;
    const auto member = parse_json(*raw[i]);
    ASSERT_TRUE(member.has_value()) << *raw[i];
    EXPECT_EQ(dump_compact(*member), dump_compact(*found)) << text;
    for (const Json& probe : probes) {
      EXPECT_EQ(json_text_equal(*raw[i], probe), json_equal(*found, probe))
          << *raw[i] << " vs " << dump_compact(probe);
    }
  }
}

TEST(JsonValidate, AgreesWithParseOnGeneratedAndDamagedDocuments) {
  const std::vector<Json> probes = probe_values();
  Random random(7);
  for (int round = 0; round < 3'000; ++round) {
    std::string text = random.below(4) == 0 ? value_text(random, 0) : object_text(random, 0);
    expect_agreement(text, probes);
    for (int damaged = 0; damaged < 2; ++damaged) {
      mutate(random, text);
      expect_agreement(text, probes);
    }
    if (HasFatalFailure()) return;
  }
}

// The text scanner skips plain bytes several at a time: whatever needs
// attention must be seen at every offset within a word.
TEST(JsonValidate, SpecialBytesAreSeenAtEveryOffset) {
  const std::vector<Json> probes = probe_values();
  const std::string specials[] = {"\x01", "\x1f", "\"",           "\\n",  "\\q", "\xC3\xA9",
                                  "\xC3", "\xFF", "\xED\xA0\x80", "\x7f", " "};
  for (const std::string& special : specials) {
    for (std::size_t at = 0; at < 20; ++at) {
      const std::string body = std::string(at, 'x') + special + std::string(19 - at, 'y');
      expect_agreement("{\"a\":\"" + body + "\",\"id\":\"k\"}", probes);
      expect_agreement("{\"" + body + "\":1}", probes);
    }
  }
}

TEST(JsonValidate, NumbersAreRangeCheckedOnlyWhereTheyCouldOverflow) {
  const std::vector<Json> probes = probe_values();
  for (const std::string& number :
       {std::string(308, '9'), std::string(309, '9'), std::string(309, '9') + ".5",
        std::string(308, '9') + ".99", std::string("1e308"), std::string("1e309"),
        std::string("-1e309"), std::string("1e-400"), "0." + std::string(400, '0') + "1"}) {
    expect_agreement("{\"n\":" + number + "}", probes);
  }
}

// The scanner finds boundaries only; quotes and brackets inside strings,
// escapes (also one cut off at the end) and unclosed text are its faults.
TEST(JsonScan, BracketsAndValueEndsIgnoreWhatStringsHold) {
  struct Row {
    std::string_view text;
    std::size_t depth, deepest;
    bool in_string, over_closed;
    std::size_t first_end;
  };
  const Row rows[] = {
      {R"({"a":[1,{"b":"]}"}]} x)", 0, 3, false, false, 20},
      {R"({"a":"\"}")", 1, 1, false, false, 10},
      {R"([1,"\)", 1, 1, true, false, 5},
      {R"(["x\"]", [)", 2, 2, false, false, 10},
      {R"(] [)", 0, 0, false, true, 1},
      {R"({}} {)", 0, 1, false, true, 2},
      {"12 {", 1, 1, false, false, 2},
      {"\"a b\"\tc", 0, 0, false, false, 2},
  };
  for (const Row& row : rows) {
    const BracketScan scan = scan_brackets(row.text);
    EXPECT_EQ(scan.depth, row.depth) << row.text;
    EXPECT_EQ(scan.deepest, row.deepest) << row.text;
    EXPECT_EQ(scan.in_string, row.in_string) << row.text;
    EXPECT_EQ(scan.over_closed, row.over_closed) << row.text;
    EXPECT_EQ(first_value_end(row.text), row.first_end) << row.text;
  }
  EXPECT_EQ(json_value_end(R"({"a":"}"} ,)", 0), 9u);
  EXPECT_EQ(json_value_end(R"("ab\")", 0), kJsonScanEnd);
  EXPECT_EQ(json_value_end("-1.5e3]", 0), 6u);
}

TEST(JsonScan, ItemsStopAtTheCloseOrWhereTheTextBreaks) {
  const auto items = [](std::string_view text) {
    std::string seen;
    JsonItemScan scan(text);
    while (scan.next()) {
      seen += std::string(scan.key()) + (scan.key_escaped() ? "~" : "") + "=" +
              std::string(scan.value()) + ";";
    }
    return seen + (scan.broken() ? "broken" : "end");
  };
  EXPECT_EQ(items(R"({ "a" : [1,"]"] , "b\"":{"c":{}} })"), R"(a=[1,"]"];b\"~={"c":{}};end)");
  EXPECT_EQ(items("{}"), "end");
  EXPECT_EQ(items("[ 1 ,true,\"x\" ]"), "=1;=true;=\"x\";end");
  EXPECT_EQ(items(R"({"a":1 "b":2})"), "a=1;broken");
  EXPECT_EQ(items(R"({"a":1,)"), "a=1;broken");
  EXPECT_EQ(items(R"({"a" 1})"), "broken");
  EXPECT_EQ(items(R"([{"a":1})"), R"(={"a":1};broken)");
  EXPECT_EQ(items("[1,2"), "=1;=2;broken");
}

TEST(JsonTextEqual, KindsStayApartAndIntegersCompareByValue) {
  EXPECT_TRUE(json_text_equal("1", Json(std::int64_t{1})));
  EXPECT_FALSE(json_text_equal("1", Json(1.0)));
  EXPECT_FALSE(json_text_equal("1.0", Json(std::uint64_t{1})));
  EXPECT_TRUE(json_text_equal("1.0", Json(1.0)));
  EXPECT_TRUE(json_text_equal("1e2", Json(100.0)));
  EXPECT_FALSE(json_text_equal("1e2", Json(std::uint64_t{100})));
  EXPECT_TRUE(json_text_equal("-0", Json(std::uint64_t{0})));
  EXPECT_FALSE(json_text_equal("-1", Json(std::uint64_t{18446744073709551615u})));
  // Beyond 64 bits the text is refused by the parser: it equals nothing.
  EXPECT_FALSE(json_text_equal("18446744073709551616", Json(std::uint64_t{0})));
  EXPECT_FALSE(json_text_equal("18446744073709551616", Json(18446744073709551616.0)));
  EXPECT_TRUE(json_text_equal(R"("\u0061")", Json("a")));
  EXPECT_FALSE(json_text_equal(R"("a")", Json("a\"")));
  EXPECT_TRUE(json_text_equal(R"({"b":[1, 2.0]})", *parse_json(R"({"b":[1,2.0]})")));
  EXPECT_FALSE(json_text_equal("null", Json(false)));
  EXPECT_FALSE(json_text_equal("[]", Json::object()));
}

TEST(StoredDocument, FastChecksAgreeWithTheFullRead) {
  const std::vector<Json> probes = probe_values();
  Random random(11);
  for (int round = 0; round < 2'000; ++round) {
    std::string text = object_text(random, 1);
    const std::string member = R"("id":"k)" + std::to_string(round % 3) + "\"";
    const std::string comma = text.size() == 2 ? "" : ",";
    if (random.below(2) == 0) {
      text.insert(1, member + comma);
    } else {
      text.insert(text.size() - 1, comma + member);
    }
    if (random.below(2) == 0) mutate(random, text);
    for (const std::string_view id : {"k0", "k1"}) {
      const auto full = read_stored_document(text, id);
      ASSERT_EQ(is_stored_document(text, id), full.has_value()) << text;
      const auto member = read_stored_member_text(text, id, "status");
      ASSERT_EQ(member.has_value(), full.has_value()) << text;
      if (!full) continue;
      const auto found = full->find("status");
      ASSERT_EQ(member->has_value(), found != full->end()) << text;
      if (!*member) continue;
      for (const Json& probe : probes) {
        EXPECT_EQ(json_text_equal(**member, probe), json_equal(*found, probe)) << text;
      }
    }
  }
}

using DenKeys = testing::DocFixture;

// The check and the queries decode each den's prefix once and then only its
// ids: a bad id after good ones in the same den must still be refused.
TEST_F(DenKeys, BadIdAfterGoodOnesIsCorruption) {
  const std::string ns = *collection_prefix("w", "d");
  put_raw({Mutation{*marker_key("w", std::nullopt), ""}, Mutation{*marker_key("w", "d"), ""},
           Mutation{ns + "a", R"({"id":"a"})"},
           Mutation{std::string("orders") + '\0' + "a", R"({"id":"a"})"}});
  ASSERT_TRUE(check_documents(store()).has_value());
  for (const bool namespaced : {false, true}) {
    const std::string prefix = namespaced ? ns : std::string("orders") + '\0';
    for (const std::string& bad_id :
         {std::string("b\xFF"), std::string("b\0c", 3), std::string("b\xC3")}) {
      put_raw(prefix + bad_id, R"({"id":"b"})");
      EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt) << bad_id;
      auto found = query_documents(store(), namespaced ? "w" : "default",
                                   namespaced ? "d" : "orders", std::nullopt, SIZE_MAX);
      ASSERT_FALSE(found.has_value()) << bad_id;
      EXPECT_EQ(found.error(), DocError(StoreError::Corrupt));
      put_raw({Mutation{prefix + bad_id, std::nullopt}});
      ASSERT_TRUE(check_documents(store()).has_value());
    }
  }
}

}  // namespace
}  // namespace tovik
