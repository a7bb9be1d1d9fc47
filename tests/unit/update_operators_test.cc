#include "document/update_operators.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/documents.h"

namespace tovik {
namespace {

using testing::DocFixture;
using testing::parse;

class UpdateOperators : public DocFixture {
 protected:
  std::string stored(std::string_view id = "a") {
    auto value = store().get(*document_key("default", "d", id));
    return value && *value ? **value : "";
  }
  // Puts `before` under "a", applies `update`; the stored text or the
  // refusal's message.
  std::string run(const std::string& before, const std::string& update,
                  std::uint64_t max_bytes = kNoDocumentLimit) {
    EXPECT_TRUE(put_document(store(), "default", "d", "a", parse(before)).has_value());
    auto updated = update_document(store(), "default", "d", "a", parse(update), max_bytes);
    if (updated) return stored();
    return "refused: " + updated.error().text();
  }
};

struct Row {
  std::string before;
  std::string update;
  std::string after;  // the stored text, or "refused: <message>"
};

TEST_F(UpdateOperators, Table) {
  const std::string u64max = "18446744073709551615";
  const std::string i64min = "-9223372036854775808";
  const std::vector<Row> rows = {
      // A plain merge is unchanged.
      {R"({"n":1,"o":{"p":1}})", R"({"o":{"q":2}})", R"({"id":"a","n":1,"o":{"q":2}})"},
      {"{}", R"({"$set":{"n":2,"o.p.q":[1],"s":{"$x":1}}})",
       R"({"id":"a","n":2,"o":{"p":{"q":[1]}},"s":{"$x":1}})"},
      {R"({"o":{"x":1}})", R"({"$set":{"o.y":2}})", R"({"id":"a","o":{"x":1,"y":2}})"},
      {R"({"n":1,"o":{"p":1,"q":2}})", R"({"$unset":{"n":"","o.p":true,"m.x":1,"n2.x":1}})",
       R"({"id":"a","o":{"q":2}})"},
      {R"({"n":1,"t":[{"p":1}]})", R"({"$unset":{"n.x":1,"t.p":1}})",
       R"({"id":"a","n":1,"t":[{"p":1}]})"},
      {R"({"n":1,"k":5})", R"({"$inc":{"n":2,"m":-5,"k":-7}})",
       R"({"id":"a","k":-2,"m":-5,"n":3})"},
      {R"({"n":1,"f":1.5})", R"({"$inc":{"n":0.5,"f":1.5}})", R"({"f":3.0,"id":"a","n":1.5})"},
      {R"({"n":9223372036854775807})", R"({"$inc":{"n":1}})",
       R"({"id":"a","n":9223372036854775808})"},
      {R"({"n":)" + u64max + "}", R"({"$inc":{"n":)" + i64min + "}}",
       R"({"id":"a","n":9223372036854775807})"},
      {R"({"t":["x"]})", R"({"$push":{"t":"x","u":{"a":1}}})",
       R"({"id":"a","t":["x","x"],"u":[{"a":1}]})"},
      {R"({"t":[1,"x"]})", R"({"$addToSet":{"t":1.0,"u":[2]}})",
       R"({"id":"a","t":[1,"x",1.0],"u":[[2]]})"},
      {R"({"t":[1,"x",{"a":1}]})", R"({"$addToSet":{"t":{"a":1}}})",
       R"({"id":"a","t":[1,"x",{"a":1}]})"},
      {R"({"t":[1,2,1,[1],{"a":1},1.0]})", R"({"$pull":{"t":1,"m":1,"m2.x":1}})",
       R"({"id":"a","t":[2,[1],{"a":1},1.0]})"},
      {R"({"a":1,"o":{"b":2}})", R"({"$rename":{"a":"o.c","o.b":"z","nope":"y"}})",
       R"({"id":"a","o":{"c":1},"z":2})"},
      {R"({"n":1,"t":[]})", R"({"$inc":{"n":1},"$push":{"t":"a"},"$set":{"s":"x"}})",
       R"({"id":"a","n":2,"s":"x","t":["a"]})"},
      {R"({"n":1})", R"({"$set":{},"$unset":{}})", R"({"id":"a","n":1})"},
      {R"({"n":1})", R"({"$set":{"o":1,"op":2,"o2.p":3}})",
       R"({"id":"a","n":1,"o":1,"o2":{"p":3},"op":2})"},
      // Refused whatever the document holds.
      {R"({"n":1})", R"({"$set":{"n":2},"m":2})",
       "refused: cannot mix operators and fields in update"},
      {R"({"n":1})", R"({"$foo":{"n":1}})", "refused: unknown update operator $foo"},
      {R"({"n":1})", R"({"$set":5})", "refused: $set needs an object of paths"},
      {R"({"n":1})", R"({"$set":{"":1}})", "refused: $set needs a non-empty path"},
      {R"({"n":1})", R"({"$unset":{"a..b":1}})", "refused: $unset has an empty step at a..b"},
      {R"({"n":1})", R"({"$set":{"id":"b"}})", "refused: cannot update id"},
      {R"({"n":1})", R"({"$unset":{"id.x":1}})", "refused: cannot update id"},
      {R"({"n":1})", R"({"$rename":{"n":"id"}})", "refused: cannot update id"},
      {R"({"n":1})", R"({"$rename":{"id":"x"}})", "refused: cannot update id"},
      {R"({"n":1})", R"({"$set":{"n":1},"$inc":{"n":1}})", "refused: conflicting update at n"},
      {R"({"n":1})", R"({"$set":{"o":1,"o.p":2}})", "refused: conflicting update at o.p"},
      {R"({"n":1})", R"({"$set":{"o.p":1},"$unset":{"o":1}})",
       "refused: conflicting update at o.p"},
      {R"({"n":1})", R"({"$rename":{"n":"b"},"$set":{"b":1}})", "refused: conflicting update at b"},
      {R"({"n":1})", R"({"$rename":{"n":"n"}})", "refused: conflicting update at n"},
      {R"({"n":1})", R"({"$inc":{"n":"1"}})", "refused: $inc needs a number operand at n"},
      {R"({"n":1})", R"({"$rename":{"n":5}})", "refused: $rename needs a path string at n"},
      {R"({"n":1})", R"({"$rename":{"n":"a..b"}})", "refused: $rename has an empty step at a..b"},
      // Refused by what the document holds.
      {R"({"n":1})", R"({"$set":{"n.p":1}})", "refused: $set needs an object at n"},
      {R"({"t":[{"p":1}]})", R"({"$set":{"t.p":1}})", "refused: $set needs an object at t"},
      {R"({"o":{"p":{"q":1}}})", R"({"$push":{"o.p.q.r":1}})",
       "refused: $push needs an object at o.p.q"},
      {R"({"o":{"p":"x"}})", R"({"$inc":{"o.p":1}})", "refused: $inc needs a number at o.p"},
      {R"({"b":true})", R"({"$inc":{"b":1}})", "refused: $inc needs a number at b"},
      {R"({"n":)" + u64max + "}", R"({"$inc":{"n":1}})", "refused: $inc: number out of range at n"},
      {R"({"n":)" + i64min + "}", R"({"$inc":{"n":-1}})",
       "refused: $inc: number out of range at n"},
      {R"({"f":1e308})", R"({"$inc":{"f":1e308}})", "refused: $inc: number out of range at f"},
      {R"({"t":"x"})", R"({"$push":{"t":1}})", "refused: $push needs an array at t"},
      {R"({"t":{}})", R"({"$addToSet":{"t":1}})", "refused: $addToSet needs an array at t"},
      {R"({"t":null})", R"({"$pull":{"t":1}})", "refused: $pull needs an array at t"},
      {R"({"n":1,"m":2})", R"({"$rename":{"n":"m.x"}})", "refused: $rename needs an object at m"},
      // One bad change refuses the others too.
      {R"({"n":1,"t":"x"})", R"({"$inc":{"n":1},"$push":{"t":1},"$set":{"s":1}})",
       "refused: $push needs an array at t"},
  };
  for (const Row& row : rows) {
    const std::string after = run(row.before, row.update);
    EXPECT_EQ(after, row.after) << row.before << " + " << row.update;
    if (row.after.starts_with("refused")) {
      // The document is as it was put.
      Json expected = parse(row.before);
      expected["id"] = "a";
      EXPECT_EQ(stored(), dump_compact(expected)) << row.update;
    }
  }
}

TEST_F(UpdateOperators, RefusalsComeBeforeTheDocumentAndChangeNothing) {
  ASSERT_TRUE(put_document(store(), "default", "d", "a", parse(R"({"n":1})")).has_value());
  const auto generation = store().generation();
  auto absent = update_document(store(), "default", "d", "b", parse(R"({"$foo":{"n":1}})"));
  EXPECT_EQ(absent.error().text(), "unknown update operator $foo");
  absent = update_document(store(), "default", "d", "b", parse(R"({"$inc":{"n":1}})"));
  EXPECT_EQ(absent.error().text(), "shiny does not exist");
  EXPECT_EQ(store().generation(), generation);
  // A staged batch: the refused update leaves the staged put in place.
  WriteBatch batch(store());
  ASSERT_TRUE(batch.stage("default", "d", WriteKind::Put, "c", parse(R"({"t":"x"})")));
  auto refused = batch.stage("default", "d", WriteKind::Update, "c", parse(R"({"$push":{"t":1}})"));
  EXPECT_EQ(refused.error().text(), "$push needs an array at t");
  ASSERT_TRUE(batch.stage("default", "d", WriteKind::Update, "c", parse(R"({"$set":{"t":[]}})")));
  ASSERT_TRUE(batch.stage("default", "d", WriteKind::Update, "c", parse(R"({"$push":{"t":1}})")));
  ASSERT_TRUE(batch.commit().has_value());
  EXPECT_EQ(stored("c"), R"({"id":"c","t":[1]})");
}

TEST_F(UpdateOperators, ResultKeepsTheLimitsOfPut) {
  // Size: the stored text is bounded as for put.
  EXPECT_EQ(run(R"({"t":[]})", R"({"$push":{"t":"xxxxxxxxxx"}})", 20),
            "refused: invalid input or configuration");
  // Depth: a path of 127 steps holds a number at level 127, one more is refused.
  std::string path = "p";
  for (std::size_t i = 1; i < kMaxJsonDepth; ++i) path += ".p";
  EXPECT_FALSE(run("{}", R"({"$inc":{")" + path + R"(":1}})").starts_with("refused"));
  EXPECT_TRUE(parse_json(stored()).has_value());
  EXPECT_EQ(run("{}", R"({"$inc":{"p.)" + path + R"(":1}})"),
            "refused: $inc nests deeper than 127 levels at p." + path);
  EXPECT_EQ(run("{}", R"({"$push":{")" + path + R"(":1}})"),
            "refused: $push nests deeper than 127 levels at " + path);
  EXPECT_EQ(run(R"({"o":[[1]]})", R"({"$rename":{"o":")" + path + R"("}})"),
            "refused: $rename nests deeper than 127 levels at " + path);
}

// ---------------------------------------------------------------------------
// Differential: random operator updates on random small documents, against
// a reference evaluator that walks paths recursively.

struct Reference {
  // Applies op at path below node; false when it must be refused.
  static bool apply(Json& node, std::span<const std::string> path, const std::string& op,
                    const Json& operand) {
    const bool removes = op == "$unset" || op == "$pull";
    if (path.size() > 1) {
      if (!node.contains(path[0])) {
        if (removes) return true;
        node[path[0]] = Json::object();
      }
      if (!node[path[0]].is_object()) return removes;
      return apply(node[path[0]], path.subspan(1), op, operand);
    }
    const std::string& key = path[0];
    const bool present = node.contains(key);
    if (op == "$set") node[key] = operand;
    if (op == "$unset") node.erase(key);
    if (op == "$inc") {
      if (!present) return node[key] = operand, true;
      if (!node[key].is_number()) return false;
      if (node[key].is_number_float() || operand.is_number_float()) {
        node[key] = node[key].get<double>() + operand.get<double>();
      } else {
        node[key] = node[key].get<std::int64_t>() + operand.get<std::int64_t>();
      }
    }
    if (op == "$push" || op == "$addToSet" || op == "$pull") {
      if (!present) {
        if (op != "$pull") node[key] = Json::array({operand});
        return true;
      }
      if (!node[key].is_array()) return false;
      Json kept = Json::array();
      bool seen = false;
      for (const Json& element : node[key]) {
        const bool equal = json_equal(element, operand);
        seen = seen || equal;
        if (!(op == "$pull" && equal)) kept.push_back(element);
      }
      if (op == "$push" || (op == "$addToSet" && !seen)) kept.push_back(operand);
      node[key] = kept;
    }
    return true;
  }

  static std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> steps;
    std::size_t start = 0;
    for (std::size_t dot; (dot = text.find('.', start)) != std::string::npos; start = dot + 1) {
      steps.push_back(text.substr(start, dot - start));
    }
    steps.push_back(text.substr(start));
    return steps;
  }

  static bool overlap(const std::string& a, const std::string& b) {
    return a == b || b.starts_with(a + ".") || a.starts_with(b + ".");
  }
};

Json random_value(std::mt19937& random, int depth) {
  switch (random() % (depth > 1 ? 5 : 7)) {
    case 0:
      return static_cast<int>(random() % 7) - 3;
    case 1:
      return 0.5;
    case 2:
      return "x";
    case 3:
      return nullptr;
    case 4:
      return random() % 2 == 0;
    case 5:
      return Json::array({random_value(random, depth + 1), 1});
    default:
      return Json{{"b", random_value(random, depth + 1)}};
  }
}

std::string random_path(std::mt19937& random) {
  static const char* const steps[] = {"a", "b", "c"};
  std::string path = steps[random() % 3];
  if (random() % 2 == 0) path += std::string(".") + steps[random() % 3];
  return path;
}

TEST_F(UpdateOperators, AgreesWithAReferenceEvaluator) {
  static const char* const ops[] = {"$set",  "$unset",    "$inc",   "$push",
                                    "$pull", "$addToSet", "$rename"};
  std::mt19937 random(29);
  int applied = 0;
  for (int round = 0; round < 600; ++round) {
    Json document = Json::object();
    for (int i = 0; i < 3; ++i)
      document[random_path(random).substr(0, 1)] = random_value(random, 0);
    Json update = Json::object();
    std::vector<std::string> paths;
    for (int i = 0, n = 1 + random() % 3; i < n; ++i) {
      const std::string op = ops[random() % 7];
      const std::string path = random_path(random);
      Json operand =
          op == "$inc" ? Json(static_cast<int>(random() % 5) - 2) : random_value(random, 0);
      if (op == "$inc" && random() % 4 == 0) operand = 1.5;
      if (op == "$rename") operand = random_path(random);
      update[op][path] = operand;
    }
    // The reference: conflicts first, then each change in operator order.
    Json expected = document;
    bool ok = true;
    for (const auto& [op, changes] : update.items()) {
      for (const auto& [path, operand] : changes.items()) {
        paths.push_back(path);
        if (op == "$rename") paths.push_back(operand.get<std::string>());
      }
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
      for (std::size_t j = i + 1; j < paths.size(); ++j)
        ok = ok && !Reference::overlap(paths[i], paths[j]);
    }
    for (const auto& [op, changes] : update.items()) {
      for (const auto& [path, operand] : changes.items()) {
        if (!ok) break;
        if (op != "$rename") {
          ok = Reference::apply(expected, Reference::split(path), op, operand);
          continue;
        }
        Json value;
        bool found = true;
        Json* node = &expected;
        for (const std::string& step : Reference::split(path)) {
          found = found && node->is_object() && node->contains(step);
          if (found) node = &(*node)[step];
        }
        if (!found) continue;
        value = *node;
        ok =
            Reference::apply(expected, Reference::split(path), "$unset", Json()) &&
            Reference::apply(expected, Reference::split(operand.get<std::string>()), "$set", value);
      }
    }
    expected["id"] = "a";
    Json before = document;
    before["id"] = "a";
    const std::string after = run(dump_compact(document), dump_compact(update));
    EXPECT_EQ(after, ok                             ? dump_compact(expected)
                     : after.starts_with("refused") ? after
                                                    : "refused")
        << dump_compact(document) << " + " << dump_compact(update);
    if (!ok) {
      EXPECT_EQ(stored(), dump_compact(before));
    }
    applied += ok ? 1 : 0;
  }
  // Both outcomes are exercised.
  EXPECT_GT(applied, 150);
  EXPECT_LT(applied, 550);
}

}  // namespace
}  // namespace tovik
