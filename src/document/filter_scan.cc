#include "document/filter_scan.h"

#include <string>

#include "document/keys.h"

namespace tovik {

std::expected<std::uint64_t, DocError> scan_matches(Store& store, std::string_view warren,
                                                    std::string_view den, const QueryFilter& filter,
                                                    const MatchVisitor& visit) {
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return std::unexpected(prefix.error());
  if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
  std::string start_key = *prefix;
  const auto& bound = filter.id_start();
  if (bound) start_key += bound->id;
  auto cursor = store.scan_from(start_key);
  if (!cursor) return std::unexpected(cursor.error());

  std::string decoded_prefix;  // see document_id_of
  std::uint64_t examined = 0;
  for (;;) {
    auto more = cursor->next();
    if (!more) return std::unexpected(more.error());
    if (!*more || !cursor->key().starts_with(*prefix)) break;
    if (bound && bound->strict && cursor->key() == start_key) continue;
    const auto id = document_id_of(cursor->key(), decoded_prefix);
    if (!id) return std::unexpected(StoreError::Corrupt);
    ++examined;
    if (filter.past_id_range(*id)) break;
    auto matched = filter.matches_stored(cursor->value(), *id);
    if (!matched) return std::unexpected(matched.error());
    if (!*matched) continue;
    auto visited = visit(*id, cursor->value());
    if (!visited) return std::unexpected(visited.error());
  }
  return examined;
}

}  // namespace tovik
