#include "core/file_format.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "core/crc32.h"

namespace tovik {
namespace {

std::string le(std::uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}

std::string as_string(const HeaderBytes& bytes) { return std::string(bytes.data(), bytes.size()); }

DecodedHeader decode(const std::string& bytes) {
  return decode_header(std::span<const char, kHeaderSize>(bytes.data(), kHeaderSize));
}

// Recomputes the header CRC after a field was edited in place.
std::string reseal(std::string bytes) {
  const std::string crc = le(crc32(std::string_view(bytes).substr(0, 60)), 4);
  bytes.replace(60, 4, crc);
  return bytes;
}

TEST(FileFormatHeader, EncodesEveryFieldAtItsOffset) {
  const CommitHeader header{1, 0x0102030405060708, 25, 1, 16'777'216};
  const std::string bytes = as_string(encode_header(header));
  std::string expected = "TOVIK001" + le(1, 4) + le(0, 4) + le(0x0102030405060708, 8) + le(25, 8) +
                         le(1, 8) + le(16'777'216, 8) + std::string(12, '\0');
  expected += le(crc32(std::string_view(expected)), 4);
  ASSERT_EQ(bytes.size(), kHeaderSize);
  EXPECT_EQ(bytes, expected);
}

TEST(FileFormatHeader, DecodeClassifiesEmptyTornAndSealed) {
  EXPECT_EQ(decode(std::string(64, '\0')).state, HeaderState::Empty);

  const std::string sealed = as_string(encode_header({1, 7, 100, 3, 4096}));
  const DecodedHeader decoded = decode(sealed);
  ASSERT_EQ(decoded.state, HeaderState::Sealed);
  EXPECT_EQ(decoded.header.generation, 7u);
  EXPECT_EQ(decoded.header.live_bytes, 100u);
  EXPECT_EQ(decoded.header.records, 3u);
  EXPECT_EQ(decoded.header.slot_size, 4096u);

  for (std::size_t at : {0u, 9u, 20u, 59u, 63u}) {
    std::string damaged = sealed;
    damaged[at] = static_cast<char>(damaged[at] ^ 1);
    EXPECT_EQ(decode(damaged).state, HeaderState::Torn) << at;
  }
  // A single non-zero byte in an otherwise empty header is torn, not empty.
  std::string nearly_empty(64, '\0');
  nearly_empty[40] = 1;
  EXPECT_EQ(decode(nearly_empty).state, HeaderState::Torn);
  // Right CRC but wrong magic is still torn.
  std::string bad_magic = sealed;
  bad_magic[0] = 'X';
  EXPECT_EQ(decode(reseal(bad_magic)).state, HeaderState::Torn);
}

TEST(FileFormatHeader, ReservedBytesAreNotChecked) {
  std::string bytes = as_string(encode_header({1, 3, 0, 0, 4096}));
  bytes[12] = 'r';
  bytes[50] = 'r';
  const DecodedHeader decoded = decode(reseal(bytes));
  ASSERT_EQ(decoded.state, HeaderState::Sealed);
  EXPECT_TRUE(check_header(decoded.header, 0, 4096).has_value());
}

TEST(FileFormatHeader, RulesApplyInOrder) {
  auto check = [](CommitHeader h, std::uint64_t slot) { return check_header(h, slot, 4096); };
  EXPECT_TRUE(check({1, 1, 0, 0, 4096}, 0).has_value());
  EXPECT_TRUE(check({1, 2, 4032, 336, 4096}, 1).has_value());
  // Version wins over everything after it, slot size over the size rules.
  EXPECT_EQ(check({2, 0, 99999, 99999, 1}, 0).error(), StoreError::Version);
  EXPECT_EQ(check({1, 0, 99999, 99999, 8192}, 0).error(), StoreError::Invalid);
  EXPECT_EQ(check({1, 1, 4033, 0, 4096}, 0).error(), StoreError::Corrupt);
  EXPECT_EQ(check({1, 1, 24, 3, 4096}, 0).error(), StoreError::Corrupt);
  EXPECT_TRUE(check({1, 1, 24, 2, 4096}, 0).has_value());
  EXPECT_EQ(check({1, 0, 0, 0, 4096}, 1).error(), StoreError::Corrupt);
  EXPECT_EQ(check({1, 2, 0, 0, 4096}, 0).error(), StoreError::Corrupt);
  EXPECT_EQ(check({1, 3, 0, 0, 4096}, 1).error(), StoreError::Corrupt);
}

TEST(FileFormatRecord, EncodesLengthsCrcKeyAndValue) {
  const std::string record = encode_record("abc", "0123456789");
  const std::string lengths = le(3, 4) + le(10, 4);
  const std::string expected =
      lengths + le(crc32(std::string_view(lengths + "abc0123456789")), 4) + "abc0123456789";
  EXPECT_EQ(record, expected);
  EXPECT_EQ(record.size(), record_size(3, 10));
  EXPECT_EQ(record.size(), 25u);
}

TEST(FileFormatRecord, EmptyValueOccupiesTwelvePlusKey) {
  const std::string record = encode_record("k", "");
  ASSERT_EQ(record.size(), 13u);
  auto prefix = decode_record_prefix(std::span<const char, 12>(record.data(), 12), 13, 1024, 0);
  ASSERT_TRUE(prefix.has_value());
  EXPECT_TRUE(record_crc_matches(*prefix, record));
  EXPECT_EQ(record_key(*prefix, record), "k");
  EXPECT_EQ(record_value(*prefix, record), "");
}

TEST(FileFormatRecord, PrefixRejectsImpossibleLengths) {
  auto decode_prefix = [](const std::string& record, std::uint64_t remaining,
                          std::uint64_t max_key = 1024, std::uint64_t max_value = 100) {
    return decode_record_prefix(std::span<const char, 12>(record.data(), 12), remaining, max_key,
                                max_value);
  };
  const std::string good = encode_record("key", "value");  // 20 bytes
  EXPECT_TRUE(decode_prefix(good, 20).has_value());
  EXPECT_EQ(decode_prefix(good, 19).error(), StoreError::Corrupt);  // runs past live_bytes
  EXPECT_EQ(decode_prefix(good, 20, 2).error(), StoreError::Corrupt);
  EXPECT_EQ(decode_prefix(good, 20, 1024, 4).error(), StoreError::Corrupt);
  std::string no_key = le(0, 4) + le(0, 4) + le(0, 4);
  EXPECT_EQ(decode_prefix(no_key, 12).error(), StoreError::Corrupt);
  // Lengths near 2^32 must not wrap the bounds arithmetic.
  std::string huge = le(0xFFFFFFFF, 4) + le(0xFFFFFFFF, 4) + le(0, 4);
  EXPECT_EQ(decode_prefix(huge, 1000, 0xFFFFFFFF, 0xFFFFFFFF).error(), StoreError::Corrupt);
}

TEST(FileFormatRecord, CrcCoversLengthsKeyAndValue) {
  const std::string good = encode_record("key", "value");
  auto prefix = decode_record_prefix(std::span<const char, 12>(good.data(), 12), 20, 1024, 100);
  ASSERT_TRUE(prefix.has_value());
  for (std::size_t at = 0; at < good.size(); ++at) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
    auto p = decode_record_prefix(std::span<const char, 12>(damaged.data(), 12), 100, 1024, 100);
    // Either the lengths no longer add up or the CRC catches the flip.
    EXPECT_TRUE(!p || p->length != damaged.size() || !record_crc_matches(*p, damaged)) << at;
  }
}

}  // namespace
}  // namespace tovik
