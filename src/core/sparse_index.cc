#include "core/sparse_index.h"

#include <algorithm>

namespace tovik::snapshot_io {

std::uint64_t stride_for(std::uint64_t records, std::uint64_t index_entries) {
  const std::uint64_t entries = std::max<std::uint64_t>(index_entries, 1);
  return std::max<std::uint64_t>((records + entries - 1) / entries, 1);
}

std::size_t entries_at_or_below(const SparseIndex& index, std::string_view key) {
  std::size_t lo = 0;
  std::size_t hi = index.size();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (index[mid].key <= key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void thin(SparseIndex& index, std::uint64_t index_entries, std::uint64_t stride) {
  if (index.size() <= 2 * std::max<std::uint64_t>(index_entries, 1)) return;
  std::size_t kept = 0;
  for (std::size_t e = 1; e < index.size(); ++e) {
    if (index[kept].records + index[e].records <= 2 * stride) {
      index[kept].records += index[e].records;
    } else {
      index[++kept] = std::move(index[e]);
    }
  }
  index.resize(kept + 1);
}

}  // namespace tovik::snapshot_io
