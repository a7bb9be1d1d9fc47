#include "document/filter.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "document/json.h"
#include "json_mutation.h"

namespace tovik {
namespace {

Json parse(std::string_view text) {
  auto value = parse_json(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value ? std::move(*value) : Json();
}

// Both readings of a compiled filter on one document, which must agree.
bool matches_both(const QueryFilter& filter, Json document, const std::string& id) {
  document["id"] = id;
  auto stored = filter.matches_stored(dump_compact(document), id);
  EXPECT_TRUE(stored.has_value());
  const bool tree = filter.matches(document);
  EXPECT_EQ(stored.value_or(!tree), tree) << dump_compact(document);
  return tree;
}

// The ids (d1 ... d5) of the documents below that a filter selects.
std::string selected(std::string_view filter_text) {
  static const std::vector<Json> documents = {
      parse(R"({"qty":5,"name":"tea","tags":["x","y"],"dims":{"w":3,"h":[1,2]},
                "items":[{"sku":"a","n":1},{"sku":"b","n":2}],"big":9007199254740993,
                "f":2.5,"u":18446744073709551615,"n":null,"ok":true,"e":"caf\u00e9"})"),
      parse(R"({"qty":5.0,"name":"Tea","tags":[],"dims":{"w":"3"},"items":[[{"sku":"a"}]],
                "big":9007199254740992.0,"s":-9223372036854775808,"e":"cafe"})"),
      parse(R"({"qty":"5","tags":"x","dims":[{"w":7},{"w":1},[{"w":3}]],"f":-0.5,
                "a.b":1,"m":[[1,2],3]})"),
      parse(R"({"qty":[4,6],"tags":["x",["y"]],"u":1.8446744073709552e19})"),
      parse(R"({})"),
  };
  auto filter = QueryFilter::compile(parse(filter_text));
  if (!filter) return "refused: " + filter.error().text();
  std::string ids;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    if (!matches_both(*filter, documents[i], "d" + std::to_string(i + 1))) continue;
    if (!ids.empty()) ids += ' ';
    ids += "d" + std::to_string(i + 1);
  }
  return ids;
}

struct Row {
  const char* filter;
  const char* ids;
};

TEST(Filter, OperatorsOnMatchingMissingAndWrongTypedFields) {
  const Row rows[] = {
      {R"({})", "d1 d2 d3 d4 d5"},
      // Equality: same type, integers apart from floats, arrays by element or whole.
      {R"({"qty":5})", "d1"},
      {R"({"qty":5.0})", "d2"},
      {R"({"qty":"5"})", "d3"},
      {R"({"qty":{"$eq":6}})", "d4"},
      {R"({"qty":[4,6]})", "d4"},
      {R"({"qty":[6,4]})", ""},
      {R"({"tags":"x"})", "d1 d3 d4"},
      {R"({"tags":["x","y"]})", "d1"},
      {R"({"tags":["y"]})", "d4"},
      {R"({"tags":"y"})", "d1"},
      {R"({"tags":[]})", "d2"},
      {R"({"n":null})", "d1"},
      {R"({"dims":{"w":3,"h":[1,2]}})", "d1"},
      {R"({"dims":{}})", ""},
      {R"({"e":"caf\u00e9"})", "d1"},
      // Negations hold where the field is missing, and are whole negations.
      {R"({"qty":{"$ne":5}})", "d2 d3 d4 d5"},
      {R"({"tags":{"$ne":"x"}})", "d2 d5"},
      {R"({"qty":{"$in":[5,"5"]}})", "d1 d3"},
      {R"({"qty":{"$in":[]}})", ""},
      {R"({"tags":{"$in":[["y"],"nope"]}})", "d4"},
      {R"({"qty":{"$nin":[5,4]}})", "d2 d3 d5"},
      {R"({"name":{"$exists":true}})", "d1 d2"},
      {R"({"name":{"$exists":false}})", "d3 d4 d5"},
      {R"({"n":{"$exists":true}})", "d1"},
      // Types look at the value itself, not at array elements.
      {R"({"tags":{"$type":"array"}})", "d1 d2 d4"},
      {R"({"tags":{"$type":"string"}})", "d3"},
      {R"({"qty":{"$type":"number"}})", "d1 d2"},
      {R"({"n":{"$type":"null"}})", "d1"},
      {R"({"ok":{"$type":"boolean"}})", "d1"},
      {R"({"dims":{"$type":"object"}})", "d1 d2"},
      // Ordering: numbers by value, strings bytewise, no other pairing.
      {R"({"qty":{"$gt":4}})", "d1 d2 d4"},
      {R"({"qty":{"$gte":5,"$lte":5}})", "d1 d2 d4"},
      {R"({"qty":{"$lt":5}})", "d4"},
      {R"({"qty":{"$gt":"4"}})", "d3"},
      {R"({"qty":{"$gt":4.5,"$lt":5.5}})", "d1 d2 d4"},
      {R"({"qty":{"$gt":5,"$lt":5}})", "d4"},  // different elements may satisfy each
      {R"({"qty":{"$gt":null}})", ""},
      {R"({"name":{"$gt":"TEA"}})", "d1 d2"},
      {R"({"name":{"$lt":"tea"}})", "d2"},
      {R"({"e":{"$gt":"cafe"}})", "d1"},
      {R"({"e":{"$gt":"cafz"}})", "d1"},  // é is above z bytewise
      {R"({"f":{"$lt":0}})", "d3"},
      {R"({"f":{"$gt":2,"$lt":3}})", "d1"},
      // Beyond 2^53 integers stay exact, also against floating-point numbers.
      {R"({"big":{"$gt":9007199254740992}})", "d1"},
      {R"({"big":{"$gt":9007199254740992.0}})", "d1"},
      {R"({"big":{"$lte":9007199254740992}})", "d2"},
      {R"({"big":9007199254740993})", "d1"},
      {R"({"u":{"$gt":18446744073709551614}})", "d1 d4"},
      {R"({"u":{"$lt":1.8446744073709552e19}})", "d1"},
      {R"({"u":{"$gte":1.8446744073709552e19}})", "d4"},
      {R"({"s":{"$lt":-9223372036854775807}})", "d2"},
      {R"({"s":{"$lt":-9.2233720368547758e18}})", ""},
      {R"({"s":{"$gte":-9.2233720368547758e18}})", "d2"},
      {R"({"s":{"$lt":-9.3e18}})", ""},
      {R"({"f":{"$gt":-1,"$lt":0}})", "d3"},
      // Prefixes only of strings, bytewise.
      {R"({"name":{"$prefix":"te"}})", "d1"},
      {R"({"tags":{"$prefix":""}})", "d1 d3 d4"},
      {R"({"e":{"$prefix":"caf\u00e9"}})", "d1"},
      // Nested paths through objects and arrays, one level per step.
      {R"({"dims.w":3})", "d1"},
      {R"({"dims.w":"3"})", "d2"},
      {R"({"dims.w":{"$gt":5}})", "d3"},
      {R"({"dims.w":{"$lt":2}})", "d3"},
      {R"({"dims.w":{"$lt":5}})", "d1 d3"},
      {R"({"dims.h":2})", "d1"},
      {R"({"items.sku":"b"})", "d1"},
      {R"({"items.sku":"a"})", "d1"},
      {R"({"items.sku":{"$exists":true}})", "d1"},
      {R"({"dims.w":{"$exists":false}})", "d4 d5"},
      {R"({"items.n":{"$in":[2]}})", "d1"},
      {R"({"m":3})", "d3"},
      {R"({"m":1})", ""},
      {R"({"m":[1,2]})", "d3"},
      {R"({"a.b":1})", ""},  // a member named "a.b" is not addressable
      {R"({"qty.x":{"$exists":false}})", "d1 d2 d3 d4 d5"},
      // Logic.
      {R"({"$and":[{"qty":5},{"name":"tea"}]})", "d1"},
      {R"({"$or":[{"qty":5},{"qty":"5"}]})", "d1 d3"},
      {R"({"$not":{"qty":5}})", "d2 d3 d4 d5"},
      {R"({"$not":{}})", ""},
      {R"({"$or":[{"$and":[{"tags":"x"},{"$not":{"tags":{"$type":"array"}}}]},{"e":"cafe"}]})",
       "d2 d3"},
      {R"({"qty":5,"$or":[{"name":"tea"},{"name":"Tea"}]})", "d1"},
      // An object with no $ keys, or {}, is an operand.
      {R"({"dims":{"w":"3"}})", "d2"},
      {R"({"id":"d3"})", "d3"},
      {R"({"id":{"$gte":"d2","$lt":"d4"}})", "d2 d3"},
  };
  for (const Row& row : rows) EXPECT_EQ(selected(row.filter), row.ids) << row.filter;
}

TEST(Filter, RefusalsNameTheProblemAndWhere) {
  const std::pair<const char*, const char*> rows[] = {
      {R"([])", "filter must be an object"},
      {R"("x")", "filter must be an object"},
      {R"({"qty":{"$regex":"a"}})", "unknown query operator $regex at qty"},
      {R"({"$where":"1"})", "unknown query operator $where"},
      {R"({"tags":{"$in":"x"}})", "$in needs an array at tags"},
      {R"({"tags":{"$nin":{}}})", "$nin needs an array at tags"},
      {R"({"$and":[]})", "$and needs a non-empty array"},
      {R"({"$or":{}})", "$or needs a non-empty array"},
      {R"({"$or":[1]})", "$or needs an array of objects"},
      {R"({"$not":[]})", "$not needs an object"},
      {R"({"a":{"$exists":1}})", "$exists needs true or false at a"},
      {R"({"a.b":{"$type":"int"}})",
       "$type needs one of null, boolean, number, string, array, object at a.b"},
      {R"({"a":{"$prefix":1}})", "$prefix needs a string at a"},
      {R"({"dims":{"$gt":1,"w":2}})", "cannot mix operators and fields at dims"},
      {R"({"":1})", "empty path"},
      {R"({"a..b":1})", "empty step in path a..b"},
      {R"({"a.":1})", "empty step in path a."},
      {R"({"$and":[{"x":{"$ne":1,"$bad":2}}]})", "unknown query operator $bad at x"},
  };
  for (const auto& [text, message] : rows) {
    auto filter = QueryFilter::compile(parse(text));
    ASSERT_FALSE(filter.has_value()) << text;
    EXPECT_EQ(filter.error(), message) << text;
  }
}

TEST(FilterText, RefusesTheFirstRepeatedKeyWhereverItIs) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"v":{"$gt":0},"v":{"$lt":0}})", "repeated key v in filter at top level"},
      {R"({"a.b":{"$gt":1,"$gt":2}})", "repeated key $gt in filter at a.b"},
      {R"({"$or":[{"x":1},{"y":1,"y":2}]})", "repeated key y in filter at $or.1"},
      {R"({"o":{"p":{"q":1,"q":1}},"o":2})", "repeated key q in filter at o.p"},
      {R"([{"a":1,"a":1}])", "repeated key a in filter at 0"},
  };
  for (const auto& [text, message] : rows) {
    auto value = parse_filter_text(text);
    ASSERT_FALSE(value.has_value()) << text;
    EXPECT_FALSE(value.error().json.has_value()) << text;
    EXPECT_EQ(value.error().message, message) << text;
  }
  EXPECT_EQ(parse_filter_text(R"({"a":[{"b":1},{"b":2}],"c":{"b":1}})").value(),
            parse(R"({"a":[{"b":1},{"b":2}],"c":{"b":1}})"));
  auto broken = parse_filter_text(R"({"a":})");
  ASSERT_FALSE(broken.has_value());
  ASSERT_TRUE(broken.error().json.has_value());
  EXPECT_EQ(broken.error().json->message, "expected value");
}

TEST(Filter, MoreThan256ConditionsAreTooComplex) {
  const auto wide = [](std::size_t values) {
    Json in = Json::array();
    for (std::size_t i = 0; i < values; ++i) in.push_back(i);
    return Json{{"a", {{"$in", in}}}};
  };
  EXPECT_TRUE(QueryFilter::compile(wide(255)).has_value());  // the operator and 255 values
  EXPECT_EQ(QueryFilter::compile(wide(256)).error(), kFilterTooComplex);
  Json many = Json::object();
  for (int i = 0; i < 257; ++i) many["f" + std::to_string(i)] = i;
  EXPECT_EQ(QueryFilter::compile(many).error(), kFilterTooComplex);
  // As deep as the reader allows: $not inside $not.
  std::string deep;
  for (int i = 0; i < 126; ++i) deep += R"({"$not":)";
  deep += "{}";
  deep += std::string(126, '}');
  auto nested = QueryFilter::compile(parse(deep));
  ASSERT_TRUE(nested.has_value());
  EXPECT_TRUE(nested->matches(Json::object()));
}

TEST(Filter, IdBoundsOfTheTopLevelConjunction) {
  struct IdRow {
    const char* filter;
    const char* start;  // "" when none; "(" marks a strict start
    std::vector<std::pair<const char*, bool>> past;
  };
  const IdRow rows[] = {
      {R"({"id":{"$gte":"2026-01","$lt":"2026-02"}})",
       "2026-01",
       {{"2026-01-31", false}, {"2026-02", true}}},
      {R"({"id":{"$gt":"b","$lte":"d"}})", "(b", {{"d", false}, {"d0", true}}},
      {R"({"id":"k"})", "k", {{"k", false}, {"k0", true}}},
      {R"({"id":{"$prefix":"ab"}})", "ab", {{"ab\xff", false}, {"ac", true}, {"aa", false}}},
      {R"({"$and":[{"id":{"$gt":"a"}},{"id":{"$gte":"c"}}],"id":{"$gte":"b"}})", "c", {}},
      {R"({"id":{"$gte":"c","$gt":"c"}})", "(c", {}},
      {R"({"$or":[{"id":{"$gt":"a"}}]})", "", {}},
      {R"({"id":{"$ne":"a"}})", "", {}},
      {R"({"id":{"$gt":5}})", "", {}},
      {R"({"id.x":{"$gt":"a"}})", "", {}},
  };
  for (const IdRow& row : rows) {
    auto filter = QueryFilter::compile(parse(row.filter));
    ASSERT_TRUE(filter.has_value()) << row.filter;
    std::string start;
    if (const auto& bound = filter->id_start()) start = (bound->strict ? "(" : "") + bound->id;
    EXPECT_EQ(start, row.start) << row.filter;
    for (const auto& [id, past] : row.past) EXPECT_EQ(filter->past_id_range(id), past) << id;
  }
}

TEST(Filter, StoredTextMustBeTheDocument) {
  auto filter = QueryFilter::compile(parse(R"({"a":1})"));
  ASSERT_TRUE(filter.has_value());
  EXPECT_EQ(filter->matches_stored(R"({"a":1,"id":"x"})", "y").error(), StoreError::Corrupt);
  EXPECT_EQ(filter->matches_stored(R"({"a":1,"id":"x")", "x").error(), StoreError::Corrupt);
  EXPECT_EQ(filter->matches_stored(R"({"a":1,"id":"\u0078"})", "x"), true);
}

TEST(Projection, KeepsIdAndTheListedPathsThatExist) {
  const Json document = parse(R"({"id":"o1","dims":{"w":3,"h":4},"items":[{"n":1,"s":"a"},5,
                                   {"s":"b"},{"n":2}],"tags":["x"],"q":1})");
  const std::pair<std::vector<std::string>, const char*> rows[] = {
      {{}, R"({"id":"o1"})"},
      {{"dims.w"}, R"({"dims":{"w":3},"id":"o1"})"},
      {{"dims.w", "dims.w", "q"}, R"({"dims":{"w":3},"id":"o1","q":1})"},
      {{"dims", "dims.w"}, R"({"dims":{"h":4,"w":3},"id":"o1"})"},
      {{"items.n"}, R"({"id":"o1","items":[{"n":1},{"n":2}]})"},
      {{"dims.x", "missing", "tags.x", "q.r"}, R"({"id":"o1"})"},
      {{"tags", "id"}, R"({"id":"o1","tags":["x"]})"},
  };
  for (const auto& [paths, expected] : rows) {
    auto projection = Projection::compile(paths);
    ASSERT_TRUE(projection.has_value());
    EXPECT_EQ(projection->apply_stored(dump_compact(document)).value_or("?"), expected);
  }
  const std::vector<std::string> bad{"a", "b..c"};
  EXPECT_EQ(Projection::compile(bad).error(), "empty step in path b..c");
}

// ---------------------------------------------------------------------------
// A reference reading over trees, written apart from the module: it gathers
// every value a path reaches, then applies the operator to the gathered set.

void reach(const Json& value, const std::vector<std::string>& steps, std::size_t step,
           std::vector<const Json*>& out) {
  if (step == steps.size()) {
    out.push_back(&value);
    return;
  }
  const auto from_object = [&](const Json& object) {
    if (object.is_object() && object.contains(steps[step])) {
      reach(object.at(steps[step]), steps, step + 1, out);
    }
  };
  if (value.is_array()) {
    for (const Json& element : value) from_object(element);
  } else {
    from_object(value);
  }
}

// long double holds every 64-bit integer and every double exactly here.
bool ordered(const Json& a, const Json& b, const std::string& op) {
  int order = 0;
  if (a.is_number() && b.is_number()) {
    const auto as_long = [](const Json& n) -> long double {
      if (n.is_number_unsigned()) return static_cast<long double>(n.get<std::uint64_t>());
      if (n.is_number_integer()) return static_cast<long double>(n.get<std::int64_t>());
      return n.get<double>();
    };
    const long double x = as_long(a);
    const long double y = as_long(b);
    order = x < y ? -1 : x > y ? 1 : 0;
  } else if (a.is_string() && b.is_string()) {
    order = a.get<std::string>().compare(b.get<std::string>());
  } else {
    return false;
  }
  if (op == "$gt") return order > 0;
  if (op == "$gte") return order >= 0;
  if (op == "$lt") return order < 0;
  return order <= 0;
}

const char* type_name(const Json& v) {
  if (v.is_null()) return "null";
  if (v.is_boolean()) return "boolean";
  if (v.is_number()) return "number";
  if (v.is_string()) return "string";
  return v.is_array() ? "array" : "object";
}

bool reference_operator(const std::string& op, const Json& operand,
                        const std::vector<const Json*>& values) {
  if (op == "$exists") return values.empty() != operand.get<bool>();
  if (op == "$ne") return !reference_operator("$eq", operand, values);
  if (op == "$nin") return !reference_operator("$in", operand, values);
  if (op == "$type") {
    for (const Json* v : values) {
      if (operand == type_name(*v)) return true;
    }
    return false;
  }
  std::vector<const Json*> candidates = values;
  for (const Json* v : values) {
    if (v->is_array()) {
      for (const Json& element : *v) candidates.push_back(&element);
    }
  }
  for (const Json* c : candidates) {
    if (op == "$eq" && json_equal(*c, operand)) return true;
    if (op == "$in") {
      for (const Json& o : operand) {
        if (json_equal(*c, o)) return true;
      }
    }
    if (op == "$prefix" && c->is_string() &&
        c->get<std::string>().starts_with(operand.get<std::string>())) {
      return true;
    }
    if (op.size() <= 4 && op != "$eq" && op != "$in" && ordered(*c, operand, op)) return true;
  }
  return false;
}

bool reference_matches(const Json& filter, const Json& document) {
  for (const auto& [key, value] : filter.items()) {
    bool held = true;
    if (key == "$and" || key == "$or") {
      held = key == "$and";
      for (const Json& sub : value) {
        if (reference_matches(sub, document) != held) {
          held = !held;
          break;
        }
      }
    } else if (key == "$not") {
      held = !reference_matches(value, document);
    } else {
      std::vector<std::string> steps;
      for (std::size_t start = 0, dot = 0; dot != std::string::npos; start = dot + 1) {
        dot = key.find('.', start);
        steps.push_back(key.substr(start, dot - start));
      }
      std::vector<const Json*> values;
      reach(document, steps, 0, values);
      if (value.is_object() && !value.empty() && value.begin().key().starts_with('$')) {
        for (const auto& [op, operand] : value.items()) {
          held = held && reference_operator(op, operand, values);
        }
      } else {
        held = reference_operator("$eq", value, values);
      }
    }
    if (!held) return false;
  }
  return true;
}

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : random_(seed) {}

  Json value(int depth) {
    static const char* const kScalars[] = {"0",
                                           "1",
                                           "-1",
                                           "2",
                                           "1.0",
                                           "2.5",
                                           "-0.5",
                                           "9007199254740992",
                                           "9007199254740993",
                                           "9007199254740992.0",
                                           "18446744073709551615",
                                           "1.8446744073709552e19",
                                           "-9223372036854775808",
                                           "1e300",
                                           "\"\"",
                                           "\"a\"",
                                           "\"ab\"",
                                           "\"b\"",
                                           "\"a\\\"b\"",
                                           "\"\\u00e9\"",
                                           "true",
                                           "false",
                                           "null"};
    const std::size_t pick = random_.below(depth > 0 ? 10 : 7);
    if (pick < 7) return parse_json(kScalars[random_.below(std::size(kScalars))]).value();
    if (pick < 9) {
      Json array = Json::array();
      for (std::size_t n = random_.below(4); n > 0; --n) array.push_back(value(depth - 1));
      return array;
    }
    return object(depth - 1);
  }

  Json object(int depth) {
    Json object = Json::object();
    for (std::size_t n = random_.below(4); n > 0; --n) object[name()] = value(depth);
    return object;
  }

  std::string path() {
    std::string path = name();
    while (random_.below(3) == 0) path += "." + name();
    return path;
  }

  Json filter(int depth) {
    Json filter = Json::object();
    for (std::size_t n = 1 + random_.below(2); n > 0; --n) {
      const std::size_t pick = random_.below(depth > 0 ? 12 : 9);
      if (pick < 3) {
        filter[path()] = value(1);
      } else if (pick < 9) {
        filter[path()] = operators();
      } else if (pick < 11) {
        Json list = Json::array();
        for (std::size_t k = 1 + random_.below(3); k > 0; --k)
          list.push_back(this->filter(depth - 1));
        filter[pick == 9 ? "$and" : "$or"] = list;
      } else {
        filter["$not"] = this->filter(depth - 1);
      }
    }
    return filter;
  }

 private:
  std::string name() {
    static const char* const kNames[] = {"a", "b", "c"};
    return kNames[random_.below(3)];
  }

  Json operators() {
    static const char* const kOps[] = {"$eq", "$ne",  "$gt",     "$gte",  "$lt",    "$lte",
                                       "$in", "$nin", "$exists", "$type", "$prefix"};
    static const char* const kTypes[] = {"null", "boolean", "number", "string", "array", "object"};
    Json ops = Json::object();
    for (std::size_t n = 1 + random_.below(2); n > 0; --n) {
      const std::string op = kOps[random_.below(std::size(kOps))];
      if (op == "$in" || op == "$nin") {
        Json list = Json::array();
        for (std::size_t k = random_.below(3); k > 0; --k) list.push_back(value(1));
        ops[op] = list;
      } else if (op == "$exists") {
        ops[op] = random_.below(2) == 0;
      } else if (op == "$type") {
        ops[op] = kTypes[random_.below(6)];
      } else if (op == "$prefix") {
        static const char* const kPrefixes[] = {"", "a", "ab", "\xc3"};
        ops[op] = kPrefixes[random_.below(4)];
      } else {
        ops[op] = value(1);
      }
    }
    return ops;
  }

  Random random_;
};

TEST(Filter, AgreesWithAReferenceReadingOnRandomDocuments) {
  Generator generate(17);
  std::vector<Json> documents;
  for (int i = 0; i < 300; ++i) documents.push_back(generate.object(3));
  std::size_t matched = 0;
  std::size_t checked = 0;
  for (int f = 0; f < 40; ++f) {
    const Json filter_json = generate.filter(2);
    auto filter = QueryFilter::compile(filter_json);
    ASSERT_TRUE(filter.has_value()) << filter.error().text() << " " << dump_compact(filter_json);
    for (const Json& document : documents) {
      const bool expected = reference_matches(filter_json, document);
      ASSERT_EQ(matches_both(*filter, document, "x"), expected)
          << dump_compact(filter_json) << " on " << dump_compact(document);
      matched += expected ? 1 : 0;
      ++checked;
    }
  }
  // Both outcomes must be common for the comparison to mean anything.
  EXPECT_GT(matched, checked / 20);
  EXPECT_LT(matched, checked - checked / 20);
}

}  // namespace
}  // namespace tovik
