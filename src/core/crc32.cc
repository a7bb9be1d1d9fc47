#include "core/crc32.h"

#include <libdeflate.h>

namespace tovik {

// libdeflate takes and returns the finished (post-inverted) value, so chaining
// is a plain hand-over and 0 starts a fresh checksum.
std::uint32_t crc32_extend(std::uint32_t crc, std::span<const char> bytes) {
  return libdeflate_crc32(crc, bytes.data(), bytes.size());
}

std::uint32_t crc32(std::span<const char> bytes) { return crc32_extend(0, bytes); }

}  // namespace tovik
