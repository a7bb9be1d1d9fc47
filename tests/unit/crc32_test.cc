#include "core/crc32.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace tovik {
namespace {

// Bit-at-a-time reference: reflected polynomial 0xEDB88320.
std::uint32_t reference_crc(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFF;
}

TEST(Crc32, KnownVectors) {
  EXPECT_EQ(crc32(std::string_view("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(std::string_view("")), 0u);
  EXPECT_EQ(crc32(std::string_view("a")), 0xE8B7BE43u);
}

TEST(Crc32, MatchesReferenceOverLengthsAndAlignments) {
  std::string data;
  for (int i = 0; i < 5000; ++i) data.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
  for (std::size_t start : {0u, 1u, 3u, 7u}) {
    for (std::size_t len : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 1000u, 4993u}) {
      const std::string piece = data.substr(start, len);
      EXPECT_EQ(crc32(std::string_view(piece)), reference_crc(piece)) << start << "+" << len;
    }
  }
}

TEST(Crc32, EightByteFormMatchesTheGeneralOne) {
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::string bytes(8, '\0');
    for (int b = 0; b < 8; ++b) bytes[b] = static_cast<char>((x >> (8 * b)) & 0xFF);
    ASSERT_EQ(crc32_8(bytes.data()), reference_crc(bytes)) << i;
  }
  EXPECT_EQ(crc32_8(std::string(8, '\0').data()), reference_crc(std::string(8, '\0')));
}

TEST(Crc32, ExtendEqualsWholeAtEverySplit) {
  const std::string data = "the quick brown fox jumps over the lazy dog";
  const std::uint32_t whole = crc32(std::string_view(data));
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    const std::string_view view(data);
    EXPECT_EQ(crc32_extend(crc32(view.substr(0, cut)), view.substr(cut)), whole) << cut;
  }
}

}  // namespace
}  // namespace tovik
