// Store::open and verify on a two-slot file (slot size 4096) whose slot
// starts are overwritten by the input: the headers and the first records of
// both snapshots. Bit flags in the first byte re-seal what the input broke
// (header CRCs, record CRCs) so that the fuzzer gets past the checksums into
// the rules behind them:
//
//   byte 0, bit 0/1   recompute the CRC of the slot 0/1 header
//           bit 2/3   recompute the CRC of every record of slot 0/1 that
//                     the header's live_bytes covers
//           bit 4     after a successful open, commit once and reopen
//           bit 5-6   sparse index target: 0, 1, 3 or 64 entries
//   then    the bytes for the start of slot 0 and the start of slot 1, half
//           and half.
//
// A store that opens must agree with itself: verify passes, a full scan walks
// exactly `records` keys in ascending order, and get finds each one. A
// commit on it must be durable: the file reopens at the next generation.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/crc32.h"
#include "core/posix_file.h"
#include "core/store.h"
#include "fuzz_check.h"

using tovik::fuzz::require;

namespace {

constexpr std::uint64_t kSlot = 4096;
constexpr std::size_t kHeader = 64;
const tovik::StoreConfig kConfig{kSlot, 64, 512};
constexpr std::array<std::uint64_t, 4> kIndexEntries = {0, 1, 3, 64};

std::string g_path;
std::vector<char> g_base;

void remove_scratch() {
  if (!g_path.empty()) ::unlink(g_path.c_str());
}

std::uint64_t load_le(const char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

void store_le32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

void reseal_header(char* header) {
  store_le32(header + 60, tovik::crc32(std::span<const char>(header, 60)));
}

void reseal_records(char* slot) {
  const std::uint64_t live = std::min<std::uint64_t>(load_le(slot + 24, 8), kSlot - kHeader);
  char* area = slot + kHeader;
  std::uint64_t p = 0;
  while (p + 12 <= live) {
    const std::uint64_t length = 12 + load_le(area + p, 4) + load_le(area + p + 4, 4);
    if (length > live - p) break;
    std::uint32_t crc = tovik::crc32(std::span<const char>(area + p, 8));
    crc = tovik::crc32_extend(crc, std::span<const char>(area + p + 12, length - 12));
    store_le32(area + p + 8, crc);
    p += length;
  }
}

int open_scratch() {
  const int fd = ::open(g_path.c_str(), O_RDWR | O_CLOEXEC);
  require(fd >= 0, "the scratch file opens");
  return fd;
}

void write_scratch(const std::vector<char>& bytes) {
  const int fd = ::open(g_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  require(fd >= 0, "the scratch file opens for writing");
  require(tovik::pwrite_full(fd, 0, bytes).has_value(), "the scratch file takes the bytes");
  ::close(fd);
}

[[nodiscard]] bool apply_ok(tovik::Store& store, std::vector<tovik::Mutation> batch) {
  return store.apply(batch).has_value();
}

// Three commits: generation 3 in slot 0 and generation 2 in slot 1, both
// with records, so either slot can be chosen once the other is damaged.
void build_base() {
  write_scratch({});
  auto store = tovik::Store::open(tovik::UniqueFd(open_scratch()), kConfig, 4);
  require(store.has_value(), "a new scratch store opens");
  require(apply_ok(*store, {{"alpha", "1"}, {"beta", "22"}, {"gamma", std::string(40, 'g')}}),
          "the base's first commit");
  require(apply_ok(*store, {{"beta", std::nullopt}, {"delta", "4444"}, {"zeta", ""}}),
          "the base's second commit");
  store = std::unexpected(tovik::StoreError::Io);  // close before reading back
  g_base.assign(2 * kSlot, 0);
  const int fd = open_scratch();
  auto read = tovik::pread_full(fd, 0, g_base);
  ::close(fd);
  require(read.has_value() && *read == g_base.size(), "the base reads back");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/dev/shm/tovik-fuzz-store-XXXXXX";
  const int fd = ::mkstemp(name);
  require(fd >= 0, "a scratch file can be made");
  ::close(fd);
  g_path = name;
  std::atexit(remove_scratch);
  build_base();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const char* body = reinterpret_cast<const char*>(data + 1);
  const std::size_t body_size = size - 1;
  const std::size_t first = std::min<std::size_t>(body_size / 2, kSlot);
  const std::size_t second = std::min<std::size_t>(body_size - body_size / 2, kSlot);

  std::vector<char> file = g_base;
  std::memcpy(file.data(), body, first);
  std::memcpy(file.data() + kSlot, body + body_size / 2, second);
  for (std::uint64_t slot = 0; slot < 2; ++slot) {
    char* start = file.data() + slot * kSlot;
    if (flags & (4u << slot)) reseal_records(start);
    if (flags & (1u << slot)) reseal_header(start);
  }
  write_scratch(file);

  const std::uint64_t index_entries = kIndexEntries[(flags >> 5) & 3];
  auto store = tovik::Store::open(tovik::UniqueFd(open_scratch()), kConfig, index_entries);
  if (!store) return 0;

  require(store->verify([](std::string_view, std::string_view) { return true; }).has_value(),
          "a store that opened verifies");
  require(store->test_index().size() <= std::max<std::uint64_t>(index_entries, 1),
          "the sparse index stays within its target");

  auto cursor = store->scan_from("");
  require(cursor.has_value(), "a scan starts");
  std::vector<std::pair<std::string, std::string>> seen;
  while (true) {
    auto more = cursor->next();
    require(more.has_value(), "a verified snapshot scans without error");
    if (!*more) break;
    require(seen.empty() || seen.back().first < cursor->key(), "keys ascend");
    seen.emplace_back(cursor->key(), cursor->value());
  }
  require(seen.size() == store->records(), "a scan walks every record");
  for (const auto& [key, value] : seen) {
    auto got = store->get(key);
    require(got.has_value() && *got == value, "get finds every scanned record");
  }

  if ((flags & 0x10) == 0) return 0;
  const std::uint64_t generation = store->generation();
  std::vector<tovik::Mutation> batch;
  if (!seen.empty() && seen.front().first != "~fuzz") {
    batch.push_back({seen.front().first, std::nullopt});
  }
  batch.push_back({"~fuzz", "committed"});
  std::sort(batch.begin(), batch.end(),
            [](const tovik::Mutation& a, const tovik::Mutation& b) { return a.key < b.key; });
  if (!store->apply(batch).has_value()) return 0;
  store = std::unexpected(tovik::StoreError::Io);

  auto reopened = tovik::Store::open(tovik::UniqueFd(open_scratch()), kConfig, index_entries);
  require(reopened.has_value(), "a committed store reopens");
  require(reopened->generation() == generation + 1, "the commit is the newest snapshot");
  auto got = reopened->get("~fuzz");
  require(got.has_value() && *got == std::optional<std::string>("committed"),
          "the committed record is there");
  return 0;
}
