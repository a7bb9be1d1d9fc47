// The bytes of the database file: commit headers and records, as pure
// functions over byte buffers (no I/O, callable from any thread).
//
// A file is two slots of slot_size S bytes each; slot k starts at k * S with
// its commit header, followed by its data area of S - 64 bytes. All integers
// are little-endian. Each slot holds one snapshot: the header and the
// snapshot's records packed back to back in strictly ascending key order
// (bytewise, unsigned, a prefix sorting first). Data-area bytes beyond
// live_bytes are left over from older snapshots and mean nothing.
//
// Commit header (kHeaderSize = 64 bytes, at k * S):
//
//   offset  size  field        content
//   0       8     magic        "TOVIK001"
//   8       4     version      1
//   12      4     reserved     written as zero, not checked
//   16      8     generation   commit number, >= 1; odd in slot 0, even in slot 1
//   24      8     live_bytes   bytes of record data in the data area
//   32      8     records      number of records
//   40      8     slot_size    S the file was made with
//   48      12    reserved     written as zero, not checked
//   60      4     crc          CRC-32 of bytes 0..59
//
// An all-zero header marks an empty slot. A header that is neither empty nor
// sealed (magic and crc right) is torn.
//
// Record (kRecordHeaderSize = 12 bytes of prefix, then key and value):
//
//   offset  size  field        content
//   0       4     key_len      K, 1 <= K <= max_key_len
//   4       4     value_len    V, 0 <= V <= max_value_len
//   8       4     crc          CRC-32 of bytes 0..7, then the key, then the value
//   12      K     key
//   12 + K  V     value
//
// A record occupies 12 + K + V bytes; the next one starts right after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "core/crc32.h"
#include "core/store_error.h"

namespace tovik {

inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kRecordHeaderSize = 12;
inline constexpr std::string_view kMagic = "TOVIK001";
inline constexpr std::uint32_t kStorageVersion = 1;
// The smallest slot holds its header and a little data; the largest keeps
// 2 * S within a signed file offset's reach of the u64 arithmetic.
inline constexpr std::uint64_t kMinSlotSize = 128;
inline constexpr std::uint64_t kMaxSlotSize = 0x7FFF'FFFF'FFFF'FFFF;
// Key and value lengths are stored in 32 bits.
inline constexpr std::uint64_t kMaxFieldLength = 0xFFFF'FFFF;

struct CommitHeader {
  std::uint32_t version = kStorageVersion;
  std::uint64_t generation = 0;
  std::uint64_t live_bytes = 0;
  std::uint64_t records = 0;
  std::uint64_t slot_size = 0;
};

using HeaderBytes = std::array<char, kHeaderSize>;

// The 64 header bytes, reserved bytes zero, CRC filled in.
HeaderBytes encode_header(const CommitHeader& header);

enum class HeaderState {
  Empty,   // all 64 bytes zero
  Torn,    // some byte non-zero, magic or crc wrong
  Sealed,  // magic and crc right; the fields still need check_header
};

struct DecodedHeader {
  HeaderState state = HeaderState::Empty;
  CommitHeader header;  // meaningful only when Sealed
};

DecodedHeader decode_header(std::span<const char, kHeaderSize> bytes);

// The rules a sealed header of slot `slot` must meet, in order: version 1
// (else Version), the configured slot size (else Invalid), live_bytes within
// the data area, records <= live_bytes / 12, generation non-zero and of the
// slot's parity (else Corrupt).
[[nodiscard]] std::expected<void, StoreError> check_header(const CommitHeader& header,
                                                           std::uint64_t slot,
                                                           std::uint64_t slot_size);

struct RecordPrefix {
  std::uint32_t key_len = 0;
  std::uint32_t value_len = 0;
  std::uint32_t crc = 0;
  std::uint64_t length = 0;  // 12 + key_len + value_len
};

inline constexpr std::uint64_t record_size(std::uint64_t key_len, std::uint64_t value_len) {
  return kRecordHeaderSize + key_len + value_len;
}

// Record field offsets, as in the table above.
inline constexpr std::size_t kKeyLenAt = 0;
inline constexpr std::size_t kValueLenAt = 4;
inline constexpr std::size_t kRecordCrcAt = 8;
inline constexpr std::size_t kRecordLengthsSize = 8;
static_assert(kRecordLengthsSize == 8, "record checks take the lengths' CRC with crc32_8");

// The little-endian u32 at `at`.
inline std::uint32_t get_u32(const char* at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(at[i]);
  return v;
}

// The record functions below run once per record of every walk over a
// snapshot, so they are defined here where the walks can inline them.

// Decodes the 12-byte prefix of a record that has `remaining` bytes before
// live_bytes (remaining >= 12) and checks its lengths: key_len non-zero and
// within max_key_len, value_len within max_value_len, the whole record within
// `remaining`. Any failure is Corrupt.
[[nodiscard]] inline std::expected<RecordPrefix, StoreError> decode_record_prefix(
    std::span<const char, kRecordHeaderSize> bytes, std::uint64_t remaining,
    std::uint64_t max_key_len, std::uint64_t max_value_len) {
  RecordPrefix prefix;
  prefix.key_len = get_u32(bytes.data() + kKeyLenAt);
  prefix.value_len = get_u32(bytes.data() + kValueLenAt);
  prefix.crc = get_u32(bytes.data() + kRecordCrcAt);
  prefix.length = record_size(prefix.key_len, prefix.value_len);
  if (prefix.key_len == 0 || prefix.key_len > max_key_len || prefix.value_len > max_value_len ||
      prefix.length > remaining) {
    return std::unexpected(StoreError::Corrupt);
  }
  return prefix;
}

// True when `record` (all prefix.length bytes of it) carries the right CRC.
inline bool record_crc_matches(const RecordPrefix& prefix, std::span<const char> record) {
  if (record.size() < prefix.length) return false;
  const std::uint32_t lengths_crc = crc32_8(record.data());
  const std::uint32_t crc = crc32_extend(
      lengths_crc, record.subspan(kRecordHeaderSize, prefix.length - kRecordHeaderSize));
  return crc == prefix.crc;
}

// The key and value of a verified record's bytes.
inline std::string_view record_key(const RecordPrefix& prefix, std::span<const char> record) {
  return std::string_view(record.data() + kRecordHeaderSize, prefix.key_len);
}
inline std::string_view record_value(const RecordPrefix& prefix, std::span<const char> record) {
  return std::string_view(record.data() + kRecordHeaderSize + prefix.key_len, prefix.value_len);
}

// Writes the record for key and value into `out`, which must be exactly
// record_size(key.size(), value.size()) bytes.
void encode_record(std::string_view key, std::string_view value, std::span<char> out);
std::string encode_record(std::string_view key, std::string_view value);

}  // namespace tovik
