// CRC-32 of the ISO-HDLC standard (reflected polynomial 0xEDB88320, initial
// value and final exclusive-or 0xFFFFFFFF): the checksum of every header and
// record in the database file. Pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace tovik {

// The CRC-32 of `bytes`.
std::uint32_t crc32(std::span<const char> bytes);
inline std::uint32_t crc32(std::string_view bytes) {
  return crc32(std::span<const char>(bytes.data(), bytes.size()));
}

// Continues `crc` (the finished CRC-32 of the bytes so far, 0 for none) over
// `bytes`: crc32_extend(crc32(a), b) == crc32(a + b).
std::uint32_t crc32_extend(std::uint32_t crc, std::span<const char> bytes);
inline std::uint32_t crc32_extend(std::uint32_t crc, std::string_view bytes) {
  return crc32_extend(crc, std::span<const char>(bytes.data(), bytes.size()));
}

namespace crc32_detail {

// Slicing tables: kTables[0] is the byte-at-a-time table; kTables[k][b] is
// the CRC state of byte b followed by k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t crc = b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    tables[0][b] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t b = 0; b < 256; ++b) {
      const std::uint32_t prev = tables[k - 1][b];
      tables[k][b] = (prev >> 8) ^ tables[0][prev & 0xFF];
    }
  }
  return tables;
}

inline constexpr auto kTables = make_tables();

}  // namespace crc32_detail

// The CRC-32 of exactly 8 bytes, as crc32 would give it. A general call
// starts slowly on so few bytes; records begin with 8 bytes of lengths that
// every record check covers first, so this short case gets its own path.
inline std::uint32_t crc32_8(const char* bytes) {
  const auto& t = crc32_detail::kTables;
  auto byte = [bytes](int i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  const std::uint32_t lo = (byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24) ^ 0xFFFFFFFFu;
  const std::uint32_t crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^
                            t[4][lo >> 24] ^ t[3][byte(4)] ^ t[2][byte(5)] ^ t[1][byte(6)] ^
                            t[0][byte(7)];
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace tovik
