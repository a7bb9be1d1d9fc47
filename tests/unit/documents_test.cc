#include "document/documents.h"

#include <string>

#include <gtest/gtest.h>

#include "doc_fixture.h"

namespace tovik {
namespace {

using namespace std::string_literals;
using testing::DocFixture;
using testing::parse;

class Documents : public DocFixture {
 protected:
  std::string stored_text(std::string_view warren, std::string_view den, std::string_view id) {
    auto value = store().get(*document_key(warren, den, id));
    EXPECT_TRUE(value.has_value() && value->has_value());
    return value && *value ? **value : "";
  }

  template <typename T>
  static std::string failure(const std::expected<T, DocError>& result) {
    EXPECT_FALSE(result.has_value());
    return result ? "" : result.error().text();
  }

  Json get(std::string_view den, std::string_view id, std::string_view warren = "default") {
    auto document = get_document(store(), warren, den, id);
    EXPECT_TRUE(document.has_value());
    return document && *document ? **document : Json();
  }
};

constexpr std::string_view kInvalid = "invalid input or configuration";
constexpr std::string_view kCorrupt = "database corruption detected";

TEST_F(Documents, PutStoresCompactSortedTextWithId) {
  EXPECT_EQ(*put_document(store(), "default", "d", "a", parse(R"({"name":"x"})")),
            parse(R"({"stored":"a"})"));
  EXPECT_EQ(stored_text("default", "d", "a"), R"({"id":"a","name":"x"})");
  EXPECT_EQ(dump_compact(get("d", "a")), R"({"id":"a","name":"x"})");

  ASSERT_TRUE(put_document(store(), "shop", "orders", "o/1 x",
                           parse(R"({ "z": {"b":1.5,"a":[true,null]}, "id":"o/1 x",
                                      "s":"\u00e9\t/\u0007", "z": 2, "n":-3 })"))
                  .has_value());
  EXPECT_EQ(stored_text("shop", "orders", "o/1 x"),
            "{\"id\":\"o/1 x\",\"n\":-3,\"s\":\"\xC3\xA9\\t/\\u0007\",\"z\":2}");
  EXPECT_EQ(get("orders", "o/1 x", "shop")["n"], Json(-3));
  // The same den name in another warren is another den.
  EXPECT_FALSE(get_document(store(), "default", "orders", "o/1 x")->has_value());
}

TEST_F(Documents, PutRefusesWhatIsNotItsObject) {
  EXPECT_TRUE(put_document(store(), "default", "d", "a", parse(R"({"id":"a","n":1})")).has_value());
  for (const char* text : {R"({"id":"a","n":1})", R"({"id":5})", "[1]", R"("a")", "null"}) {
    EXPECT_EQ(failure(put_document(store(), "default", "d", "b", parse(text))), kInvalid) << text;
  }
  EXPECT_EQ(failure(put_document(store(), "default", "d", "", Json::object())), kInvalid);
  EXPECT_EQ(failure(put_document(store(), "default", "d", "a\0b"s, Json::object())), kInvalid);
  EXPECT_EQ(failure(put_document(store(), "w", std::string(257, 'd'), "a", Json::object())),
            kInvalid);
  EXPECT_EQ(store().records(), 1u);
}

TEST_F(Documents, PutRefusesNamesThatCouldNotBeReadBack) {
  // Not UTF-8: the record could be written but never decoded again.
  EXPECT_EQ(failure(put_document(store(), "default", "d", "a\xFF", Json::object())), kInvalid);
  EXPECT_EQ(failure(put_document(store(), "default", "d\xC3", "a", Json::object())), kInvalid);
  EXPECT_EQ(store().records(), 0u);
  EXPECT_TRUE(check_documents(store()).has_value());
}

TEST_F(Documents, ValueLengthLimitIsExact) {
  const std::string overhead = R"({"id":"a","p":""})";
  Json document = {{"p", std::string(262'144 - overhead.size(), 'x')}};
  ASSERT_TRUE(put_document(store(), "default", "d", "a", document).has_value());
  EXPECT_EQ(stored_text("default", "d", "a").size(), 262'144u);
  document["p"] = std::string(262'144 - overhead.size() + 1, 'x');
  EXPECT_EQ(failure(put_document(store(), "default", "d", "b", document)), kInvalid);
  // The whole key must fit 1,024 bytes: den + 00 + id.
  EXPECT_TRUE(
      put_document(store(), "default", "d", std::string(1'022, 'i'), Json::object()).has_value());
  EXPECT_EQ(failure(put_document(store(), "default", "d", std::string(1'023, 'i'), Json::object())),
            kInvalid);
  EXPECT_EQ(store().records(), 2u);
}

TEST_F(Documents, InsertOnlyWhenNew) {
  EXPECT_EQ(*insert_document(store(), "default", "d", "a", parse(R"({"n":1})")),
            parse(R"({"inserted":"a"})"));
  const auto generation = store().generation();
  EXPECT_EQ(failure(insert_document(store(), "default", "d", "a", parse(R"({"n":2})"))),
            "shiny already exists");
  EXPECT_EQ(store().generation(), generation);
  EXPECT_EQ(stored_text("default", "d", "a"), R"({"id":"a","n":1})");
  EXPECT_EQ(failure(insert_document(store(), "default", "d", "b", parse("[]"))), kInvalid);
}

TEST_F(Documents, UpdateReplacesTopLevelMembersWhole) {
  ASSERT_TRUE(
      put_document(store(), "w", "d", "a", parse(R"({"id":"a","n":1,"o":{"p":1},"t":["x"]})"))
          .has_value());
  EXPECT_EQ(*update_document(store(), "w", "d", "a", parse(R"({"n":2,"t":null})")),
            parse(R"({"updated":"a"})"));
  EXPECT_EQ(stored_text("w", "d", "a"), R"({"id":"a","n":2,"o":{"p":1},"t":null})");
  EXPECT_TRUE(update_document(store(), "w", "d", "a", parse(R"({"o":{"q":2}})")).has_value());
  EXPECT_EQ(stored_text("w", "d", "a"), R"({"id":"a","n":2,"o":{"q":2},"t":null})");
}

TEST_F(Documents, UpdateRefusals) {
  ASSERT_TRUE(put_document(store(), "default", "d", "a", Json::object()).has_value());
  const auto generation = store().generation();
  for (const char* fields : {"{}", R"({"id":"a"})", "[1]", "5"}) {
    EXPECT_EQ(failure(update_document(store(), "default", "d", "a", parse(fields))), kInvalid)
        << fields;
  }
  EXPECT_EQ(failure(update_document(store(), "default", "d", "b", parse(R"({"n":1})"))),
            "shiny does not exist");
  EXPECT_EQ(store().generation(), generation);
}

TEST_F(Documents, GetAndDeleteOfAbsentIds) {
  EXPECT_FALSE(get_document(store(), "default", "d", "nope")->has_value());
  EXPECT_EQ(failure(get_document(store(), "default", "d", "")), kInvalid);
  const auto generation = store().generation();
  EXPECT_EQ(*delete_document(store(), "default", "d", "nope"), parse(R"({"deleted":"nope"})"));
  EXPECT_EQ(store().generation(), generation + 1);
  ASSERT_TRUE(put_document(store(), "default", "d", "a", Json::object()).has_value());
  ASSERT_TRUE(delete_document(store(), "default", "d", "a").has_value());
  EXPECT_FALSE(get_document(store(), "default", "d", "a")->has_value());
  EXPECT_EQ(failure(delete_document(store(), "default", "d", "a\0"s)), kInvalid);
}

TEST_F(Documents, StoredValueThatIsNotItsDocumentIsCorruption) {
  const std::string key = *document_key("default", "d", "a");
  for (const char* value :
       {R"({"id":"b"})", R"({"n":1})", R"({"id":1})", "[]", "{", "", R"({"id":"a"} x)"}) {
    put_raw(key, value);
    EXPECT_EQ(failure(get_document(store(), "default", "d", "a")), kCorrupt) << value;
    EXPECT_EQ(failure(update_document(store(), "default", "d", "a", parse(R"({"n":1})"))),
              kCorrupt);
    EXPECT_EQ(failure(insert_document(store(), "default", "d", "a", Json::object())), kCorrupt);
    EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt) << value;
  }
  // Surrounding whitespace and a repeated key (last wins) still read.
  put_raw(key, R"( {"id":"x","id":"a"} )");
  EXPECT_EQ(get("d", "a"), parse(R"({"id":"a"})"));
  EXPECT_TRUE(check_documents(store()).has_value());
}

TEST_F(Documents, CheckNeedsWarrenMarkersOnlyBeforeDenMarkers) {
  seed_documents("w", "d", 3);
  seed_documents("default", "d", 3);
  EXPECT_TRUE(check_documents(store()).has_value());

  put_raw(*marker_key("v", std::nullopt), "");
  put_raw(*marker_key("v", "d"), "");
  EXPECT_TRUE(check_documents(store()).has_value());

  put_raw(*marker_key("w", "d"), "");  // "w" has no marker of its own
  EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt);
  put_raw(*marker_key("w", std::nullopt), "");
  EXPECT_TRUE(check_documents(store()).has_value());

  put_raw(*marker_key("a", "d"), "");  // before any warren marker
  EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt);
}

TEST_F(Documents, CheckRefusesUndecodableKeys) {
  put_raw("orders"s, R"({"id":"orders"})");
  EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt);
}

TEST_F(Documents, FailedCommitPoisonsAndLosesNothing) {
  ASSERT_TRUE(put_document(store(), "default", "d", "a", parse(R"({"n":1})")).has_value());
  io().fail_writes(true);
  EXPECT_EQ(failure(put_document(store(), "default", "d", "a", parse(R"({"n":2})"))),
            "storage I/O or locking failure");
  io().fail_writes(false);
  EXPECT_EQ(failure(get_document(store(), "default", "d", "a")),
            "commit failed; close and reopen before further access");
  EXPECT_EQ(check_documents(store()).error(), StoreError::Poisoned);
  reopen();
  EXPECT_EQ(get("d", "a"), parse(R"({"id":"a","n":1})"));
}

// Each staged write sees the ones before it; a failed write and a rolled
// back group leave nothing staged; the whole batch is one commit.
TEST_F(Documents, BatchWritesSeeEachOtherAndCommitOnce) {
  ASSERT_TRUE(put_document(store(), "default", "d", "old", parse(R"({"n":1})")).has_value());
  const std::uint64_t generation = store().generation();
  WriteBatch batch(store(), 40);
  struct Step {
    WriteKind kind;
    const char* id;
    const char* document;
    const char* answer;  // the failure text when it fails
  } steps[] = {
      {WriteKind::Delete, "old", "null", R"({"deleted":"old"})"},
      {WriteKind::Insert, "old", R"({"n":2})", R"({"inserted":"old"})"},
      {WriteKind::Put, "a", R"({"n":1,"s":"x"})", R"({"stored":"a"})"},
      {WriteKind::Update, "a", R"({"n":3})", R"({"updated":"a"})"},
      {WriteKind::Insert, "a", R"({})", "shiny already exists"},
      {WriteKind::Update, "b", R"({"n":1})", "shiny does not exist"},
      {WriteKind::Put, "b", R"({"s":"longer than the forty byte limit"})", kInvalid.data()},
  };
  for (const Step& step : steps) {
    auto answer = batch.stage("default", "d", {step.kind, step.id, parse(step.document)});
    EXPECT_EQ(answer ? dump_compact(*answer) : answer.error().text(), step.answer) << step.id;
  }
  const std::size_t mark = batch.mark();
  ASSERT_TRUE(batch.stage("default", "d", {WriteKind::Put, "c", parse("{}")}).has_value());
  ASSERT_TRUE(batch.stage("default", "d", {WriteKind::Delete, "a", Json()}).has_value());
  batch.rollback(mark);
  EXPECT_EQ(batch.records(), 2u);
  EXPECT_EQ(store().generation(), generation);
  ASSERT_TRUE(batch.commit().has_value());
  EXPECT_EQ(store().generation(), generation + 1);
  EXPECT_EQ(stored_text("default", "d", "old"), R"({"id":"old","n":2})");
  EXPECT_EQ(stored_text("default", "d", "a"), R"({"id":"a","n":3,"s":"x"})");
  EXPECT_FALSE(get_document(store(), "default", "d", "c")->has_value());
}

}  // namespace
}  // namespace tovik
