#include "document/jsonl.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/documents.h"

namespace tovik {
namespace {

using testing::parse;

struct LineCase {
  std::string_view line;
  std::string_view id_field;
  std::string_view refusal;  // empty: accepted
};

// Each line is read by a fresh reader after a line with the id "seen".
TEST(DocumentLineReader, RefusesEachFaultWithItsMessage) {
  const std::vector<LineCase> cases = {
      {R"({"id":"a","n":1})", "id", ""},
      {"\t \r", "id", ""},
      {R"({"id":"a",)", "id", "EOF while parsing an object at column 11"},
      {R"([{"id":"a"}])", "id", "not a JSON object"},
      {R"({"n":1})", "id", R"(no "id" member)"},
      {R"({"id":7})", "id", R"("id" is not a string)"},
      {R"({"id":""})", "id", R"("id" is not a valid id (empty or holding NUL))"},
      {R"({"id":"a\u0000b"})", "id", R"("id" is not a valid id (empty or holding NUL))"},
      {R"({"id":"seen"})", "id", "repeats the id of line 1"},
      {R"({"_id":"a","n":1})", "_id", ""},
      {R"({"id":"a"})", "_id", R"(no "_id" member)"},
      {R"({"_id":"a","id":"a"})", "_id", R"(member id collides with the id field "_id")"},
      {R"({"_id":"seen"})", "_id", "repeats the id of line 1"},
      {"{\"id\":\"\xC3\x28\"}", "id", "invalid UTF-8 at column 8"},
  };
  for (const LineCase& c : cases) {
    DocumentLineReader reader(c.id_field);
    const std::string first = "{\"" + std::string(c.id_field) + "\":\"seen\"}";
    ASSERT_TRUE(reader.read(first, 1).has_value()) << first;
    auto read = reader.read(c.line, 2);
    if (c.refusal.empty()) {
      EXPECT_TRUE(read.has_value()) << c.line << ": " << read.error().text();
    } else {
      ASSERT_FALSE(read.has_value()) << c.line;
      EXPECT_EQ(read.error(), c.refusal) << c.line;
    }
  }
  DocumentLineReader other("_id");
  auto read = other.read(R"({"_id":"k","b":[1],"a":{}})", 1);
  ASSERT_TRUE(read.has_value() && *read);
  EXPECT_EQ((*read)->id, "k");
  EXPECT_EQ((*read)->document, parse(R"({"a":{},"b":[1]})"));
}

TEST(DatabaseLineReader, ReadsTheClosedFormOnly) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases = {
      {R"({"den":"d","document":{"id":"a"},"warren":"w"})", ""},
      {R"({"den":"d","document":{"id":"a"},"warren":"w","x":1})", R"(unknown member "x")"},
      {R"({"den":"d","document":{"id":"a"}})", R"("warren" must be a string)"},
      {R"({"den":1,"document":{"id":"a"},"warren":"w"})", R"("den" must be a string)"},
      {R"({"den":"d","document":[],"warren":"w"})", R"("document" must be an object)"},
      {R"({"den":"d","document":{"n":1},"warren":"w"})", R"(document: no "id" member)"},
      {R"({"den":"a/b","document":{"id":"a"},"warren":"w"})", "invalid warren or den name"},
      {R"({"den":"a/b","document":{"id":"a"},"warren":"default"})", ""},
      {R"({"den":"d","document":{"id":"a"},"warren":""})", "invalid warren or den name"},
      {R"({"den":"d","document":{"id":"seen"},"warren":"w"})", "repeats the id of line 4"},
  };
  for (const auto& [line, refusal] : cases) {
    DatabaseLineReader reader;
    ASSERT_TRUE(reader.read(R"({"den":"d","document":{"id":"seen"},"warren":"w"})", 4));
    // The same id in another den is another document.
    ASSERT_TRUE(reader.read(R"({"den":"e","document":{"id":"seen"},"warren":"w"})", 5));
    auto read = reader.read(line, 6);
    if (refusal.empty()) {
      EXPECT_TRUE(read.has_value()) << line << ": " << read.error().text();
    } else {
      ASSERT_FALSE(read.has_value()) << line;
      EXPECT_EQ(read.error(), refusal) << line;
    }
  }
}

// Stored texts are sorted, so "id" may stand first, between or last.
TEST(ExportLine, PutsTheIdFirstAndKeepsTheRestAsStored) {
  struct Case {
    std::string_view stored;
    std::string_view id_field;
    std::string_view line;
  };
  const std::vector<Case> cases = {
      {R"({"id":"a"})", "id", R"({"id":"a"})"},
      {R"({"a":1,"id":"x\"y"})", "id", R"({"id":"x\"y","a":1})"},
      {R"({"a":[1,{"id":2}],"id":"k","z":"é"})", "id", R"({"id":"k","a":[1,{"id":2}],"z":"é"})"},
      {R"({"id":"k","z":null})", "id", R"({"id":"k","z":null})"},
      {R"({"a":1,"id":"k"})", "_id", R"({"_id":"k","a":1})"},
      {R"({"id":"k"})", "_id", R"({"_id":"k"})"},
      // Not compact (never written so, but readable): rebuilt.
      {R"({ "b" : 2, "id" : "k" })", "id", R"({"id":"k","b":2})"},
  };
  for (const Case& c : cases) {
    auto line = document_export_line(c.stored, c.id_field);
    ASSERT_TRUE(line.has_value()) << c.stored << ": " << line.error().text();
    EXPECT_EQ(*line, c.line);
  }
  EXPECT_EQ(document_export_line(R"({"_id":1,"id":"k"})", "_id").error(),
            "member _id collides with the id field");
  EXPECT_EQ(document_export_line(R"({"a":1})").error(), "database corruption detected");
  EXPECT_EQ(database_export_line("w", "d\"", R"({"id":"k"})"),
            R"({"den":"d\"","document":{"id":"k"},"warren":"w"})");
}

// The den and database walks see what the writes stored, in key order.
class Walks : public testing::DocFixture {};

TEST_F(Walks, DenAndDatabaseInKeyOrder) {
  auto empty = holds_no_den(store());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(*empty);
  put_raw(*marker_key("w", std::nullopt), "");
  EXPECT_TRUE(*holds_no_den(store()));
  put_raw({doc_record("w", "d", "b"), doc_record("w", "d", "a"), doc_record("default", "c", "z"),
           doc_record("w", "e", "a")});
  EXPECT_FALSE(*holds_no_den(store()));
  std::vector<std::string> seen;
  ASSERT_TRUE(walk_den(store(), "w", "d", [&](std::string_view id, std::string_view stored) {
    seen.push_back(std::string(id) + " " + std::string(stored));
    return std::expected<void, std::string>();
  }));
  EXPECT_EQ(seen, (std::vector<std::string>{R"(a {"id":"a"})", R"(b {"id":"b"})"}));
  seen.clear();
  ASSERT_TRUE(
      walk_database(store(), [&](std::string_view w, std::string_view d, std::string_view stored) {
        seen.push_back(database_export_line(w, d, stored));
        return std::expected<void, std::string>();
      }));
  EXPECT_EQ(seen, (std::vector<std::string>{
                      R"({"den":"d","document":{"id":"a"},"warren":"w"})",
                      R"({"den":"d","document":{"id":"b"},"warren":"w"})",
                      R"({"den":"e","document":{"id":"a"},"warren":"w"})",
                      R"({"den":"c","document":{"id":"z"},"warren":"default"})",
                  }));
  put_raw(*document_key("w", "d", "c"), R"({"id":"other"})");
  // A record that is not the document its key names: the export line says so.
  EXPECT_EQ(
      walk_den(store(), "w", "d",
               [](std::string_view id, std::string_view stored) {
                 auto line = document_export_line(stored, "id", id);
                 if (!line)
                   return std::expected<void, std::string>(std::unexpected(line.error().text()));
                 return std::expected<void, std::string>();
               })
          .error(),
      "database corruption detected");
}

}  // namespace
}  // namespace tovik
