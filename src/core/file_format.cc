#include "core/file_format.h"

#include <algorithm>
#include <cstring>

#include "core/crc32.h"

namespace tovik {
namespace {

// Header field offsets, as in the table of file_format.h.
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kGenerationAt = 16;
constexpr std::size_t kLiveBytesAt = 24;
constexpr std::size_t kRecordsAt = 32;
constexpr std::size_t kSlotSizeAt = 40;
constexpr std::size_t kHeaderCrcAt = 60;

void put_u32(char* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void put_u64(char* at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint64_t get_u64(const char* at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(at[i]);
  return v;
}

}  // namespace

HeaderBytes encode_header(const CommitHeader& header) {
  HeaderBytes bytes{};
  std::memcpy(bytes.data() + kMagicAt, kMagic.data(), kMagic.size());
  put_u32(bytes.data() + kVersionAt, header.version);
  put_u64(bytes.data() + kGenerationAt, header.generation);
  put_u64(bytes.data() + kLiveBytesAt, header.live_bytes);
  put_u64(bytes.data() + kRecordsAt, header.records);
  put_u64(bytes.data() + kSlotSizeAt, header.slot_size);
  put_u32(bytes.data() + kHeaderCrcAt, crc32(std::span<const char>(bytes.data(), kHeaderCrcAt)));
  return bytes;
}

DecodedHeader decode_header(std::span<const char, kHeaderSize> bytes) {
  DecodedHeader decoded;
  const bool magic_ok = std::string_view(bytes.data() + kMagicAt, kMagic.size()) == kMagic;
  const bool crc_ok = magic_ok && get_u32(bytes.data() + kHeaderCrcAt) ==
                                      crc32(std::span<const char>(bytes.data(), kHeaderCrcAt));
  if (!crc_ok) {
    const bool all_zero = std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
    decoded.state = all_zero ? HeaderState::Empty : HeaderState::Torn;
    return decoded;
  }
  decoded.state = HeaderState::Sealed;
  decoded.header.version = get_u32(bytes.data() + kVersionAt);
  decoded.header.generation = get_u64(bytes.data() + kGenerationAt);
  decoded.header.live_bytes = get_u64(bytes.data() + kLiveBytesAt);
  decoded.header.records = get_u64(bytes.data() + kRecordsAt);
  decoded.header.slot_size = get_u64(bytes.data() + kSlotSizeAt);
  return decoded;
}

std::expected<void, StoreError> check_header(const CommitHeader& header, std::uint64_t slot,
                                             std::uint64_t slot_size) {
  if (header.version != kStorageVersion) return std::unexpected(StoreError::Version);
  if (header.slot_size != slot_size) return std::unexpected(StoreError::Invalid);
  if (header.live_bytes > slot_size - kHeaderSize) return std::unexpected(StoreError::Corrupt);
  if (header.records > header.live_bytes / kRecordHeaderSize) {
    return std::unexpected(StoreError::Corrupt);
  }
  if (header.generation == 0) return std::unexpected(StoreError::Corrupt);
  if (header.generation % 2 != (slot == 0 ? 1u : 0u)) return std::unexpected(StoreError::Corrupt);
  return {};
}

void encode_record(std::string_view key, std::string_view value, std::span<char> out) {
  char* at = out.data();
  put_u32(at + kKeyLenAt, static_cast<std::uint32_t>(key.size()));
  put_u32(at + kValueLenAt, static_cast<std::uint32_t>(value.size()));
  if (!key.empty()) std::memcpy(at + kRecordHeaderSize, key.data(), key.size());
  if (!value.empty()) std::memcpy(at + kRecordHeaderSize + key.size(), value.data(), value.size());
  const std::uint32_t lengths_crc = crc32_8(at);
  put_u32(at + kRecordCrcAt,
          crc32_extend(lengths_crc,
                       std::span<const char>(at + kRecordHeaderSize, key.size() + value.size())));
}

std::string encode_record(std::string_view key, std::string_view value) {
  std::string out(record_size(key.size(), value.size()), '\0');
  encode_record(key, value, std::span<char>(out.data(), out.size()));
  return out;
}

}  // namespace tovik
