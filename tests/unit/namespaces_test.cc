#include "document/namespaces.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "doc_fixture.h"
#include "document/documents.h"
#include "server/protocol.h"

namespace tovik {
namespace {

using namespace std::string_literals;
using testing::DocFixture;
using testing::parse;

class Namespaces : public DocFixture {
 protected:
  static SessionState at(std::optional<std::string> warren, std::optional<std::string> den = {}) {
    return SessionState{std::move(warren), std::move(den)};
  }

  template <typename T>
  std::string failure(const std::expected<T, DocError>& result) {
    EXPECT_FALSE(result.has_value());
    return result ? "" : result.error().text();
  }

  // Listings are read as clients see them: through the response encoders.
  Json names(ListingKind kind, const SessionState& session) {
    auto listed = list_names(store(), kind, session);
    EXPECT_TRUE(listed.has_value()) << (listed ? "" : listed.error().text());
    return listed ? server::listing_data(kind, *listed) : Json();
  }

  Json collections() { return server::collections_data(*list_collections(store())); }

  void create_markers(std::size_t count) {
    std::vector<Mutation> markers;
    for (std::size_t i = 0; i < count; ++i) {
      markers.push_back(Mutation{*marker_key(numbered_id("w", i), std::nullopt), ""});
    }
    put_raw(std::move(markers));
  }

  void poison() {
    io().fail_writes(true);
    EXPECT_FALSE(put_document(store(), "default", "d", "x", Json::object()).has_value());
    io().fail_writes(false);
    ASSERT_TRUE(store().poisoned());
  }
};

TEST_F(Namespaces, CreateTwiceWritesOnce) {
  const SessionState session;
  EXPECT_EQ(*create_namespace(store(), NamespaceKind::Warren, "a", session),
            parse(R"({"created":"a"})"));
  const auto generation = store().generation();
  EXPECT_EQ(*create_namespace(store(), NamespaceKind::Warren, "a", session),
            parse(R"({"created":"a"})"));
  EXPECT_EQ(store().generation(), generation);
}

TEST_F(Namespaces, DenCreateWritesMissingWarrenMarkerInSameCommit) {
  const auto generation = store().generation();
  EXPECT_EQ(*create_namespace(store(), NamespaceKind::Den, "d", at("w")),
            parse(R"({"created":"d"})"));
  EXPECT_EQ(store().generation(), generation + 1);
  EXPECT_EQ(store().records(), 2u);
  EXPECT_EQ(*store().get(*marker_key("w", std::nullopt)), ""s);
  EXPECT_EQ(*store().get(*marker_key("w", "d")), ""s);
  SessionState session;
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Warren, "w", session)),
            "namespace is not empty");
  EXPECT_TRUE(check_documents(store()).has_value());
}

TEST_F(Namespaces, NameAndPositionChecks) {
  for (const std::string& name :
       {""s, std::string(257, 'x'), ".."s, "a/b"s, "a\tb"s, "a\x7F"s, "a\xC2\x85"s}) {
    EXPECT_EQ(failure(create_namespace(store(), NamespaceKind::Warren, name, {})),
              "invalid namespace name");
    SessionState session = at("w");
    EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Den, name, session)),
              "invalid namespace name");
  }
  for (const std::string& name : {"."s, "a b"s, "a\xC2\xA0"s}) {
    EXPECT_TRUE(create_namespace(store(), NamespaceKind::Warren, name, {}).has_value()) << name;
  }
  EXPECT_EQ(failure(create_namespace(store(), NamespaceKind::Den, "d", {})),
            "select a warren first");
  SessionState nowhere;
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Den, "d", nowhere)),
            "select a warren first");
}

TEST_F(Namespaces, DropEmptyChecksContentBeforeExistence) {
  SessionState session;
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Warren, "w", session)),
            "namespace does not exist");
  put_raw({doc_record("w", "d", "1")});
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Warren, "w", session)),
            "namespace is not empty");
  session = at("w");
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Den, "d", session)),
            "namespace is not empty");
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Den, "e", session)),
            "namespace does not exist");
  // Documents of the default warren need no marker to keep it alive.
  put_raw({doc_record("default", "orders", "1")});
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Warren, "default", session)),
            "namespace is not empty");
  // A warren whose name extends another's is not its content.
  ASSERT_TRUE(create_namespace(store(), NamespaceKind::Warren, "v", {}).has_value());
  put_raw({doc_record("v2", "d", "1")});
  EXPECT_TRUE(drop_empty_namespace(store(), NamespaceKind::Warren, "v", session).has_value());
  EXPECT_EQ(session.warren, "w");
}

TEST_F(Namespaces, DropEmptyMovesTheSessionOff) {
  SessionState session = at("w", "d");
  ASSERT_TRUE(create_namespace(store(), NamespaceKind::Den, "d", session).has_value());
  EXPECT_EQ(*drop_empty_namespace(store(), NamespaceKind::Den, "d", session),
            parse(R"({"den":null,"dropped":"d","warren":"w"})"));
  EXPECT_EQ(session.warren, "w");
  EXPECT_FALSE(session.den.has_value());

  session = at("w", "e");
  EXPECT_EQ(*drop_empty_namespace(store(), NamespaceKind::Warren, "w", session),
            parse(R"({"den":null,"dropped":"w","warren":null})"));
  EXPECT_FALSE(session.warren.has_value());
  EXPECT_FALSE(session.den.has_value());
  EXPECT_EQ(store().records(), 0u);
}

TEST_F(Namespaces, FailedDropLeavesSessionAndFile) {
  put_raw({doc_record("w", "d", "1")});
  SessionState session = at("w", "d");
  const auto generation = store().generation();
  EXPECT_FALSE(drop_empty_namespace(store(), NamespaceKind::Den, "d", session).has_value());
  EXPECT_EQ(session.den, "d");
  EXPECT_EQ(store().generation(), generation);
}

TEST_F(Namespaces, MarkerWithValueIsCorruption) {
  put_raw(*marker_key("w", std::nullopt), "x");
  EXPECT_EQ(failure(create_namespace(store(), NamespaceKind::Warren, "w", {})),
            "database corruption detected");
  EXPECT_EQ(failure(create_namespace(store(), NamespaceKind::Den, "d", at("w"))),
            "database corruption detected");
  EXPECT_EQ(failure(list_names(store(), ListingKind::Warrens, {})), "database corruption detected");
  EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt);
}

TEST_F(Namespaces, StrayRecordUnderZeroByteIsCorruption) {
  put_raw("\0X9\0w"s, "");
  EXPECT_EQ(failure(list_names(store(), ListingKind::Warrens, {})), "database corruption detected");
  EXPECT_EQ(check_documents(store()).error(), StoreError::Corrupt);
}

TEST_F(Namespaces, ListingsShowImplicitAndExplicitNamespaces) {
  ASSERT_TRUE(create_namespace(store(), NamespaceKind::Den, "marked", at("default")).has_value());
  ASSERT_TRUE(create_namespace(store(), NamespaceKind::Warren, "empty", {}).has_value());
  put_raw({doc_record("shop", "orders", "1"), doc_record("shop", "orders", "2"),
           doc_record("default", "users", "u"), doc_record("default", "a/b", "x")});
  EXPECT_EQ(names(ListingKind::Warrens, {}),
            parse(R"({"examination_limit":10000,"kind":"warrens","limit":100,
                      "names":["default","empty","shop"],"truncated":false})"));
  EXPECT_EQ(names(ListingKind::Dens, at("default"))["names"], parse(R"(["a/b","marked","users"])"));
  EXPECT_EQ(names(ListingKind::Dens, at("shop"))["names"], parse(R"(["orders"])"));
  EXPECT_EQ(names(ListingKind::Dens, at("nowhere"))["names"], Json::array());
  EXPECT_EQ(collections(), parse(R"({"collections":["a/b","users"],"truncated":false})"));
  EXPECT_EQ(*list_all_collections(store()), (std::vector<std::string>{"a/b", "users"}));
  EXPECT_EQ(names(ListingKind::Shinies, at("shop", "orders")),
            parse(R"({"examination_limit":10000,"kind":"shinies","limit":100,
                      "names":["1","2"],"truncated":false})"));
}

TEST_F(Namespaces, ListingPreconditions) {
  EXPECT_EQ(failure(list_names(store(), ListingKind::Dens, {})), "select a warren with use <name>");
  EXPECT_EQ(failure(list_names(store(), ListingKind::Shinies, {})), "select a warren first");
  EXPECT_EQ(failure(list_names(store(), ListingKind::Shinies, at("w"))),
            "select a den with use <name>");
}

TEST_F(Namespaces, WarrenListingStopsAtOneHundredNames) {
  create_markers(100);
  Json listed = names(ListingKind::Warrens, {});
  EXPECT_EQ(listed["names"].size(), 100u);
  EXPECT_FALSE(listed["truncated"].get<bool>());
  create_markers(101);
  listed = names(ListingKind::Warrens, {});
  EXPECT_EQ(listed["names"].size(), 100u);
  EXPECT_EQ(listed["names"].back(), "w00099");
  EXPECT_TRUE(listed["truncated"].get<bool>());
}

// Listings of warrens and dens seek from one name's keys to the next: they
// are complete however many records the names hold, and read a few records
// per name.
TEST_F(Namespaces, WarrenAndDenListingsAreCompleteAtAnySize) {
  seed_documents("default", "d", 12'000);
  seed_documents("w", "big", 12'000);
  put_raw({doc_record("default", "d\x01", "1"), doc_record("default", "e", "1"),
           doc_record("w", "small", "1"), doc_record("zz", "only", "1"),
           Mutation{*marker_key("empty", std::nullopt), ""},
           Mutation{*marker_key("w", "marked"), ""}});
  const auto reads = store().test_record_reads();
  EXPECT_EQ(names(ListingKind::Warrens, {}),
            parse(R"({"examination_limit":10000,"kind":"warrens","limit":100,
                      "names":["default","empty","w","zz"],"truncated":false})"));
  EXPECT_EQ(names(ListingKind::Dens, at("default"))["names"], parse(R"(["d","d\u0001","e"])"));
  EXPECT_EQ(names(ListingKind::Dens, at("w")),
            parse(R"({"examination_limit":10000,"kind":"dens","limit":100,
                      "names":["big","marked","small"],"truncated":false})"));
  EXPECT_EQ(names(ListingKind::Dens, at("empty")),
            parse(R"({"examination_limit":10000,"kind":"dens","limit":100,
                      "names":[],"truncated":false})"));
  EXPECT_LT(store().test_record_reads() - reads, 3'000u);
}

// Past 100 names a listing keeps the 100 smallest, whichever keys name them.
TEST_F(Namespaces, DenListingKeepsTheHundredSmallestNames) {
  std::vector<Mutation> records;
  for (std::size_t i = 0; i < 100; ++i) {
    if (i % 2 == 0) {
      records.push_back(doc_record("w", numbered_id("d", i), "1"));
    } else {
      records.push_back(Mutation{*marker_key("w", numbered_id("d", i)), ""});
    }
  }
  put_raw(std::move(records));
  Json listed = names(ListingKind::Dens, at("w"));
  EXPECT_EQ(listed["names"].size(), 100u);
  EXPECT_FALSE(listed["truncated"].get<bool>());
  put_raw({doc_record("w", "a", "1"), Mutation{*marker_key("w", "b"), ""}});
  listed = names(ListingKind::Dens, at("w"));
  EXPECT_EQ(listed["names"].size(), 100u);
  EXPECT_EQ(listed["names"][0], "a");
  EXPECT_EQ(listed["names"][1], "b");
  EXPECT_EQ(listed["names"].back(), "d00097");
  EXPECT_TRUE(listed["truncated"].get<bool>());
}

TEST_F(Namespaces, ShiniesListingStopsAtOneHundredIdsWithinItsDen) {
  seed_documents("w", "d", 101);
  seed_documents("w", "d2", 5);
  seed_documents("w", "c", 5);
  Json listed = names(ListingKind::Shinies, at("w", "d"));
  EXPECT_EQ(listed["names"].size(), 100u);
  EXPECT_EQ(listed["names"].front(), "00000");
  EXPECT_EQ(listed["names"].back(), "00099");
  EXPECT_TRUE(listed["truncated"].get<bool>());
  listed = names(ListingKind::Shinies, at("w", "d2"));
  EXPECT_EQ(listed["names"].size(), 5u);
  EXPECT_FALSE(listed["truncated"].get<bool>());
}

TEST_F(Namespaces, CollectionsStopAtOneThousandNames) {
  std::vector<Mutation> records;
  for (std::size_t i = 0; i < 1'001; ++i)
    records.push_back(doc_record("default", numbered_id("c", i), "1"));
  put_raw(std::move(records));
  const Json listed = collections();
  EXPECT_EQ(listed["collections"].size(), 1'000u);
  EXPECT_TRUE(listed["truncated"].get<bool>());
  EXPECT_EQ(list_all_collections(store())->size(), 1'001u);
}

TEST_F(Namespaces, CollectionsStopBeforeReachingTheByteLimit) {
  // 523 names of 1,000 bytes are 523 * 1,002 = 524,046 bytes as JSON
  // literals, leaving 242: a last name written in exactly 242 bytes would
  // reach the limit and is left out; one byte shorter fits.
  std::vector<Mutation> records;
  for (std::size_t i = 0; i < 523; ++i) {
    std::string den = numbered_id("a", i);
    den.resize(1'000, 'x');
    records.push_back(doc_record("default", den, "1"));
  }
  std::string last = "b\x01";  // the control byte is written as \u0001
  last.resize(240 - 5, 'y');   // 235 bytes + 5 for the escape + 2 quotes
  records.push_back(doc_record("default", last, "1"));
  put_raw(std::move(records));
  Json listed = collections();
  EXPECT_EQ(listed["collections"].size(), 523u);
  EXPECT_TRUE(listed["truncated"].get<bool>());

  ASSERT_TRUE(delete_document(store(), "default", last, "1").has_value());
  last.pop_back();
  put_raw({doc_record("default", last, "1")});
  listed = collections();
  EXPECT_EQ(listed["collections"].size(), 524u);
  EXPECT_FALSE(listed["truncated"].get<bool>());
}

TEST_F(Namespaces, PoisonedStoreRefusesListingsAndCreates) {
  poison();
  EXPECT_EQ(failure(list_names(store(), ListingKind::Warrens, {})),
            "commit failed; close and reopen before further access");
  EXPECT_EQ(failure(list_collections(store())),
            "commit failed; close and reopen before further access");
  EXPECT_EQ(failure(create_namespace(store(), NamespaceKind::Warren, "w", {})),
            "commit failed; close and reopen before further access");
  SessionState session = at("default");
  EXPECT_EQ(failure(drop_empty_namespace(store(), NamespaceKind::Warren, "default", session)),
            "commit failed; close and reopen before further access");
  EXPECT_EQ(session.warren, "default");
}

}  // namespace
}  // namespace tovik
