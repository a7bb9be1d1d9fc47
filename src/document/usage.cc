#include "document/usage.h"

#include <optional>
#include <string_view>

#include "core/file_format.h"
#include "document/keys.h"

namespace tovik {
namespace {

// The warren and den a record belongs to. A catalog record's bytes belong
// to its warren; a den marker still names its den.
struct Owner {
  std::string warren;
  std::optional<std::string> den;
  bool catalog = false;
};

std::expected<Owner, StoreError> owner_of(std::string_view key, std::string_view value) {
  if (is_marker_key(key)) {
    auto marker = decode_marker_key(key, value);
    if (!marker) return std::unexpected(marker.error());
    return Owner{std::move(marker->warren), std::move(marker->den), true};
  }
  if (key.starts_with(kNamespacedPrefix)) {
    auto document = decode_document_key(key);
    if (!document) return std::unexpected(document.error());
    return Owner{std::move(document->warren), std::move(document->den), false};
  }
  if (key < kFirstPlainKey) return std::unexpected(StoreError::Corrupt);
  const std::size_t separator = key.find('\0');
  if (separator == std::string_view::npos) return std::unexpected(StoreError::Corrupt);
  return Owner{std::string(kDefaultWarren), std::string(key.substr(0, separator)), false};
}

}  // namespace

std::expected<UsageReport, DocError> measure_usage(Store& store) {
  UsageReport report;
  report.capacity_bytes = store.config().slot_size - kHeaderSize;
  report.live_bytes = store.live_bytes();
  report.records = store.records();
  auto cursor = store.scan_from("");
  if (!cursor) return std::unexpected(cursor.error());
  while (true) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    auto owner = owner_of(cursor->key(), cursor->value());
    if (!owner) return std::unexpected(owner.error());
    const std::uint64_t bytes = kRecordHeaderSize + cursor->key().size() + cursor->value().size();
    WarrenUsage& warren = report.warrens[owner->warren];
    warren.bytes += bytes;
    if (!owner->den) continue;
    // A den marker lists its den even while it holds nothing.
    DenUsage& den = warren.dens[*owner->den];
    if (owner->catalog) continue;
    ++den.documents;
    den.bytes += bytes;
  }
  return report;
}

}  // namespace tovik
