#include "document/keys.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tovik {
namespace {

using namespace std::string_literals;

TEST(NameRules, NamespaceNames) {
  for (const std::string& name :
       {"."s, "a b"s, "a\xC2\xA0"s, "\xC3\xA9t\xC3\xA9"s, "..."s, std::string(256, 'n'), "~"s}) {
    EXPECT_TRUE(is_valid_name(name)) << name;
  }
  for (const std::string& name : {""s, std::string(257, 'n'), ".."s, "a/b"s, "a\tb"s, "a\x7F"s,
                                  "a\xC2\x85"s, "a\xC2\x9F"s, "a\0b"s, "\x1F"s, "a\xFF"s}) {
    EXPECT_FALSE(is_valid_name(name)) << name;
  }
}

TEST(NameRules, CollectionNamesAndIds) {
  EXPECT_TRUE(is_valid_collection_name("a/b\t.."));
  EXPECT_TRUE(is_valid_collection_name(std::string(512, 'c')));
  EXPECT_FALSE(is_valid_collection_name(std::string(513, 'c')));
  EXPECT_FALSE(is_valid_collection_name(""));
  EXPECT_FALSE(is_valid_collection_name("a\0b"s));
  EXPECT_TRUE(is_valid_document_id("a/b c"));
  EXPECT_FALSE(is_valid_document_id(""));
  EXPECT_FALSE(is_valid_document_id("a\0"s));
}

TEST(KeyEncoding, ByteLayout) {
  EXPECT_EQ(*marker_key("w", std::nullopt), "\0C1\0w"s);
  EXPECT_EQ(*marker_key("w", "d"), "\0C1\0w\0d"s);
  EXPECT_EQ(*collection_prefix("w", "d"), "\0W1\0w\0d\0"s);
  EXPECT_EQ(*collection_prefix("default", "d"), "d\0"s);
  EXPECT_EQ(*document_key("w", "d", "x/y"), "\0W1\0w\0d\0x/y"s);
  EXPECT_EQ(*document_key("default", "orders", "a1"), "orders\0a1"s);
  // Only the exact 7 bytes name the default warren.
  EXPECT_EQ(*document_key("Default", "d", "i"), "\0W1\0Default\0d\0i"s);
}

TEST(KeyEncoding, RefusesWhatCannotBeDecoded) {
  EXPECT_EQ(marker_key("", std::nullopt).error(), StoreError::Invalid);
  EXPECT_EQ(marker_key(std::string(257, 'w'), std::nullopt).error(), StoreError::Invalid);
  EXPECT_EQ(marker_key("w\0x"s, std::nullopt).error(), StoreError::Invalid);
  EXPECT_EQ(marker_key("w", ""s).error(), StoreError::Invalid);
  EXPECT_EQ(collection_prefix("w", std::string(257, 'd')).error(), StoreError::Invalid);
  EXPECT_TRUE(collection_prefix("default", std::string(600, 'd')).has_value());
  EXPECT_EQ(collection_prefix("default", "a\0b"s).error(), StoreError::Invalid);
  EXPECT_EQ(document_key("w", "d", "").error(), StoreError::Invalid);
  EXPECT_EQ(document_key("w", "d", "i\0"s).error(), StoreError::Invalid);
  EXPECT_EQ(document_key("w", "", "i").error(), StoreError::Invalid);
}

TEST(KeyEncoding, GroupsSortContiguously) {
  std::vector<std::string> keys = {
      *document_key("default", "a", "zzz"), *document_key("default", "a b", "1"),
      *document_key("default", "ab", "0"),  *document_key("default", "\x01", "x"),
      *document_key("w", "d", "2"),         *document_key("w", "d", "10"),
      *document_key("w", "d b", "0"),       *document_key("v", "d", "9"),
      *marker_key("w", std::nullopt),       *marker_key("w", "d"),
      *marker_key("w!", std::nullopt),      *marker_key("v", "zz"),
  };
  std::sort(keys.begin(), keys.end());
  const std::vector<std::string> expected = {
      "\0C1\0v\0zz"s,     "\0C1\0w"s,          "\0C1\0w\0d"s,      "\0C1\0w!"s,
      "\0W1\0v\0d\0009"s, "\0W1\0w\0d\00010"s, "\0W1\0w\0d\0002"s, "\0W1\0w\0d b\0000"s,
      "\x01\0x"s,         "a\0zzz"s,           "a b\0001"s,        "ab\0000"s,
  };
  EXPECT_EQ(keys, expected);
  // Plain keys are exactly those at or above the one-byte key 01.
  for (const auto& key : keys) {
    EXPECT_EQ(key >= kFirstPlainKey, key[0] != '\0') << key;
  }
}

TEST(KeyDecoding, MarkersRoundTripAndRefuseValues) {
  auto warren = decode_marker_key("\0C1\0w"s, "");
  ASSERT_TRUE(warren.has_value());
  EXPECT_EQ(warren->warren, "w");
  EXPECT_FALSE(warren->den.has_value());
  auto den = decode_marker_key("\0C1\0w\0d"s, "");
  ASSERT_TRUE(den.has_value());
  EXPECT_EQ(den->den, "d");
  for (const std::string& bad : {"\0C1\0"s, "\0C1\0\0d"s, "\0C1\0w\0"s, "\0C1\0w\0d\0e"s,
                                 "\0C1\0w\xFF"s, "\0C1\0"s + std::string(257, 'w')}) {
    EXPECT_EQ(decode_marker_key(bad, "").error(), StoreError::Corrupt) << bad;
  }
  EXPECT_EQ(decode_marker_key("\0C1\0w"s, "x").error(), StoreError::Corrupt);
}

TEST(KeyDecoding, DocumentKeysRoundTrip) {
  auto plain = decode_document_key("orders\0a/1"s);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->warren, "default");
  EXPECT_EQ(plain->den, "orders");
  EXPECT_EQ(plain->id, "a/1");
  auto namespaced = decode_document_key(*document_key("shop", "d", "i d"));
  ASSERT_TRUE(namespaced.has_value());
  EXPECT_EQ(namespaced->warren, "shop");
  EXPECT_EQ(namespaced->den, "d");
  EXPECT_EQ(namespaced->id, "i d");
  for (const std::string& bad :
       {"orders"s, "orders\0"s, "\0a"s, "a\0b\0c"s, "a\0\xFF"s, "\0W1\0default\0d\0i"s,
        "\0W1\0w\0d\0"s, "\0W2\0w\0d\0i"s, "\0W1\0\0d\0i"s, "\0W1\0w\0d\0i\0j"s, "\0C1\0w"s}) {
    EXPECT_EQ(decode_document_key(bad).error(), StoreError::Corrupt) << bad;
  }
}

}  // namespace
}  // namespace tovik
