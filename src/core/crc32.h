// CRC-32 of the ISO-HDLC standard (reflected polynomial 0xEDB88320, initial
// value and final exclusive-or 0xFFFFFFFF): the checksum of every header and
// record in the database file. Pure functions, callable from any thread.
#pragma once

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

}  // namespace tovik
