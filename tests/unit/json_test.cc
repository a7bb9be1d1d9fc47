#include "document/json.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "json_mutation.h"

namespace tovik {
namespace {

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

JsonParseError parse_failure(std::string_view text) {
  auto parsed = parse_json(text);
  EXPECT_FALSE(parsed.has_value()) << text;
  return parsed ? JsonParseError{} : parsed.error();
}

TEST(JsonParse, NestingLimitCountsTheOutermostLevel) {
  EXPECT_TRUE(parse_json(nested_arrays(127)).has_value());
  EXPECT_EQ(parse_failure(nested_arrays(128)).message, "nesting too deep");

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  EXPECT_TRUE(parse_json(objects + "1" + std::string(127, '}')).has_value());
  EXPECT_EQ(parse_failure("[" + objects + "1" + std::string(127, '}') + "]").message,
            "nesting too deep");
}

TEST(JsonParse, HugeNestingIsRefusedAtTheFirstLevelTooDeep) {
  const std::string text(100'000, '[');
  const auto started = std::chrono::steady_clock::now();
  const JsonParseError error = parse_failure(text);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(error.message, "nesting too deep");
  EXPECT_EQ(error.column, 128u);
  // Not a timing assertion of speed, only a guard against walking the input
  // quadratically or building it first: the refusal is immediate.
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(JsonParse, RepeatedKeyKeepsLastValueUnlessRefused) {
  EXPECT_EQ(dump_compact(*parse_json(R"({"a":1,"b":2,"a":{"x":3}})")), R"({"a":{"x":3},"b":2})");
  auto refused = parse_json(R"({"a":1,"a":2})", JsonParseOptions{.reject_duplicate_keys = true});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message, "duplicate key");
  EXPECT_EQ(refused.error().column, 8u);
}

TEST(JsonParse, NumbersKeepTheirKind) {
  auto value = parse_json(R"([1, -1, 1.0, 1e2, 18446744073709551615, -9223372036854775808,
                              18446744073709551616.0, -0, 1e-400])");
  ASSERT_TRUE(value.has_value());
  const Json& v = *value;
  EXPECT_TRUE(v[0].is_number_unsigned());
  EXPECT_TRUE(v[1].is_number_integer() && !v[1].is_number_unsigned());
  EXPECT_TRUE(v[2].is_number_float());
  EXPECT_TRUE(v[3].is_number_float());
  EXPECT_EQ(v[4].get<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(v[5].get<std::int64_t>(), INT64_MIN);
  EXPECT_TRUE(v[6].is_number_float());
  EXPECT_EQ(v[7], Json(0));
  EXPECT_EQ(v[8].get<double>(), 0.0);
  // Integers never silently become floating-point numbers.
  for (const char* big : {"1e400", "18446744073709551616", "-9223372036854775809",
                          "[123456789012345678901234567890]", "{\"n\":99999999999999999999}"}) {
    EXPECT_EQ(parse_failure(big).message, "number out of range") << big;
    std::array<std::optional<std::string_view>, 1> member;
    EXPECT_FALSE(outline_json(big, std::array<std::string_view, 1>{"n"}, member)) << big;
  }
  for (const char* bad : {"01", "1.", ".5", "-", "1e", "+1", "0x10"}) {
    EXPECT_FALSE(parse_json(bad).has_value()) << bad;
  }
}

TEST(JsonParse, StringsAreStrictUtf8AndEscapesDecode) {
  EXPECT_EQ(*parse_json(R"("a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")"),
            Json("a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80"));
  EXPECT_EQ(*parse_json("\"\xC3\xA9\""), Json("\xC3\xA9"));
  for (const char* bad :
       {"\"\xC3\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xFF\""}) {
    EXPECT_EQ(parse_failure(bad).message, "invalid UTF-8") << bad;
  }
  EXPECT_EQ(parse_failure(R"("\ud800")").message, "lone surrogate in string");
  EXPECT_EQ(parse_failure(R"("\udc00x")").message, "lone surrogate in string");
  EXPECT_EQ(parse_failure(R"("\x")").message, "invalid escape");
  EXPECT_EQ(parse_failure("\"a\tb\"").message, "control character in string");
}

TEST(JsonParse, FailuresNameTheProblemAndWhereItIs) {
  struct Case {
    const char* text;
    const char* message;
    std::size_t line;
    std::size_t column;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value", 1, 1},
      {"  \n ", "EOF while parsing a value", 2, 2},
      {"{\"a\":1,\n  \"b\" 2}", "expected `:`", 2, 7},
      {"[1,\n2,\n]", "trailing comma", 3, 1},
      {"{\"a\":1} x", "trailing characters", 1, 9},
      {"\"abc", "EOF while parsing a string", 1, 5},
      {"[1 2]", "expected `,` or `]`", 1, 4},
      {"{1:2}", "key must be a string", 1, 2},
      {"tru", "EOF while parsing a value", 1, 4},
      {"nul!", "invalid literal", 1, 4},
      {"[", "EOF while parsing a list", 1, 2},
      {"{\"a\":1", "EOF while parsing an object", 1, 7},
      {"?", "expected value", 1, 1},
  };
  for (const Case& c : cases) {
    const JsonParseError error = parse_failure(c.text);
    EXPECT_EQ(error.message, c.message) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_EQ(error.column, c.column) << c.text;
  }
  EXPECT_EQ(json_parse_error_text(JsonParseError{"expected value", 3, 14}),
            "expected value at line 3 column 14");
}

TEST(JsonParse, SurroundingWhitespaceIsAllowed) {
  EXPECT_EQ(*parse_json(" \t\r\n{\"a\" : [ 1 , 2 ] }\n "), parse_json(R"({"a":[1,2]})").value());
}

TEST(JsonOutline, ChecksLikeParseAndFindsTopLevelMembers) {
  const std::string_view names[] = {"id", "k"};
  std::optional<std::string_view> values[2];
  auto outlined =
      outline_json(R"( {"id":"x","o":{"k":1},"k":[1, 2],"id":"\u0079"} )", names, values);
  ASSERT_TRUE(outlined.has_value());
  EXPECT_TRUE(*outlined);
  EXPECT_EQ(values[0], R"("\u0079")");  // the last occurrence, raw
  EXPECT_EQ(values[1], "[1, 2]");       // not the nested "k"

  outlined = outline_json(R"([{"id":1}])", names, values);
  ASSERT_TRUE(outlined.has_value());
  EXPECT_FALSE(*outlined);
  EXPECT_FALSE(values[0].has_value());

  for (const std::string& bad :
       {nested_arrays(128), std::string("{\"id\":1} x"), std::string("{\"a\":\"\xC3\"}"),
        std::string("{\"a\":1e400}"), std::string("{\"a\":[1,]}")}) {
    auto checked = outline_json(bad, names, values);
    ASSERT_FALSE(checked.has_value()) << bad;
    EXPECT_EQ(checked.error().message, parse_json(bad).error().message) << bad;
  }
}

// The integrity check reads through outline_json, get through parse_json:
// on damaged text they must agree, and neither may crash or throw.
TEST(JsonOutline, AgreesWithParseOnMutatedText) {
  const std::string seed = R"({"id":"a\u00e9","n":[1,-2.5e3,true,null],"o":{"k":"v\n"},"s":"x/"})";
  Random random(42);
  const std::string_view names[] = {"id"};
  std::optional<std::string_view> values[1];
  for (int round = 0; round < 20'000; ++round) {
    std::string text = seed;
    mutate(random, text);
    const auto parsed = parse_json(text);
    const auto outlined = outline_json(text, names, values);
    ASSERT_EQ(parsed.has_value(), outlined.has_value()) << text;
    if (!parsed) {
      EXPECT_EQ(parsed.error().message, outlined.error().message) << text;
      continue;
    }
    EXPECT_EQ(parsed->is_object(), *outlined) << text;
    EXPECT_TRUE(json_equal(*parse_json(dump_compact(*parsed)), *parsed)) << text;
  }
}

// Reads hand stored text out as it is only when the outline found it to be
// exactly the compact form of its value; that is the definition checked.
TEST(JsonOutline, TellsWhetherTextIsTheCompactForm) {
  const std::string_view names[] = {"id"};
  std::optional<std::string_view> values[1];
  const auto check = [&](const std::string& text) {
    bool canonical = false;
    const auto parsed = parse_json(text);
    const auto outlined = outline_json(text, names, values, &canonical);
    ASSERT_EQ(parsed.has_value(), outlined.has_value()) << text;
    if (parsed) {
      EXPECT_EQ(canonical, dump_compact(*parsed) == text) << text;
    }
  };
  for (const char* text : {R"({"a":1,"b":[true,null,"x"]})",
                           R"({ "a":1})",
                           R"({"a":1} )",
                           R"([1, 2])",
                           R"({"b":1,"a":2})",
                           R"({"a":1,"a":1})",
                           R"({"a":{"d":1,"c":2}})",
                           R"({"a\"":1,"a#":2})",
                           R"({"a#":1,"a\"":2})",
                           R"({"\u0061":1})",
                           R"("\/")",
                           R"("\u0041")",
                           R"("\u001f")",
                           R"("\u001F")",
                           R"("\u0008")",
                           R"("\b\t\n\f\r\"\\")",
                           R"("\u00e9")",
                           "\"\xC3\xA9\x7f\"",
                           "1.5",
                           "1.50",
                           "1e5",
                           "100000.0",
                           "1E+2",
                           "0.1",
                           "-0.0",
                           "1e-400",
                           "-0",
                           "0",
                           "-1",
                           "1.0e0",
                           "12345678901234567890",
                           "[]",
                           "{}",
                           "[ ]"}) {
    check(text);
  }
  const std::string seed =
      R"({"a":[1,-2500.0,true,null],"id":"a\u0001\"","o":{"k":"v\n","l":0.25},"s":"x/"})";
  Random random(7);
  for (int round = 0; round < 20'000; ++round) {
    std::string text = seed;
    mutate(random, text);
    check(text);
  }
}

TEST(JsonDump, CompactFormUsesOnlyTheStoredEscapes) {
  const Json value = {{"s", std::string("q\"b\\/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9")},
                      {"b", {1, 2.5, nullptr, true}}};
  EXPECT_EQ(
      dump_compact(value),
      "{\"b\":[1,2.5,null,true],\"s\":\"q\\\"b\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9\"}");
  EXPECT_EQ(dump_compact(Json("\x1a")), "\"\\u001a\"");
  EXPECT_EQ(json_string_literal_length("q\"\\/\n\x01\xC3\xA9"),
            dump_compact(Json("q\"\\/\n\x01\xC3\xA9")).size());
}

TEST(JsonDump, KeysAreInByteOrderAndFloatsReadBack) {
  const Json value = *parse_json(R"({"b":1,"a":2,"\u00e9":3,"B":4,"0.1":0.1,"big":1e300})");
  EXPECT_EQ(dump_compact(value),
            "{\"0.1\":0.1,\"B\":4,\"a\":2,\"b\":1,\"big\":1e+300,\"\xC3\xA9\":3}");
  EXPECT_TRUE(json_equal(*parse_json(dump_compact(value)), value));
  EXPECT_EQ(dump_pretty(*parse_json(R"({"a":[1],"b":{}})")),
            "{\n  \"a\": [\n    1\n  ],\n  \"b\": {}\n}");
}

TEST(JsonDump, InvalidUtf8DoesNotThrow) {
  EXPECT_EQ(dump_compact(Json(std::string("a\xFF"))), "\"a\xEF\xBF\xBD\"");
}

TEST(JsonEqual, IntegersAndFloatsAreDistinct) {
  EXPECT_FALSE(json_equal(Json(1), Json(1.0)));
  EXPECT_FALSE(json_equal(Json(1), Json("1")));
  EXPECT_TRUE(json_equal(Json(1u), Json(1)));
  EXPECT_TRUE(json_equal(Json(std::int64_t{-1}), Json(std::int64_t{-1})));
  EXPECT_FALSE(json_equal(Json(std::int64_t{-1}), Json(std::uint64_t{18446744073709551615u})));
  EXPECT_TRUE(json_equal(Json(0.5), Json(0.5)));
  EXPECT_FALSE(json_equal(Json(true), Json(1)));
  EXPECT_TRUE(json_equal(Json(nullptr), Json(nullptr)));
}

TEST(JsonEqual, ContainersCompareRecursively) {
  EXPECT_TRUE(json_equal(*parse_json(R"({"a":[1,{"b":2}]})"), *parse_json(R"({"a":[1,{"b":2}]})")));
  EXPECT_FALSE(
      json_equal(*parse_json(R"({"a":[1,{"b":2}]})"), *parse_json(R"({"a":[1,{"b":2.0}]})")));
  EXPECT_FALSE(json_equal(*parse_json("[1,2]"), *parse_json("[1,2,3]")));
  EXPECT_FALSE(json_equal(*parse_json(R"({"a":1})"), *parse_json(R"({"a":1,"b":1})")));
  EXPECT_FALSE(json_equal(*parse_json(R"({"a":1})"), *parse_json(R"({"b":1})")));
  EXPECT_FALSE(json_equal(*parse_json("[]"), *parse_json("{}")));
}

}  // namespace
}  // namespace tovik
