#include "document/queries.h"

#include <utility>

#include "core/utf8.h"
#include "document/documents.h"
#include "document/keys.h"

namespace tovik {
namespace {

struct Examined {
  std::string id;
  std::optional<Json> match;  // the document, when it matches the filter
};

// The walk over one den in key order. Records before the start key are
// passed over by the store; the first key outside the den ends the walk.
class DenWalk {
 public:
  static std::expected<DenWalk, DocError> start(Store& store, std::string prefix,
                                                std::string_view start_key) {
    if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
    auto cursor = store.scan_from(start_key);
    if (!cursor) return std::unexpected(cursor.error());
    return DenWalk(std::move(*cursor), std::move(prefix));
  }

  // True with key() set when another record of the den is there.
  std::expected<bool, StoreError> next() {
    auto more = cursor_.next();
    if (!more) return std::unexpected(more.error());
    return *more && cursor_.key().starts_with(prefix_);
  }

  std::string_view key() const { return cursor_.key(); }

  // Decodes the current record and tests it against filter. Only the
  // filter's member is decoded until the document is known to match, so a
  // selective find costs a check of each record rather than a build of it.
  std::expected<Examined, StoreError> examine(const std::optional<Filter>& filter) const {
    const auto id = document_id_of(cursor_.key(), decoded_prefix_);
    if (!id) return std::unexpected(StoreError::Corrupt);
    if (filter) {
      auto member = read_stored_member_text(cursor_.value(), *id, filter->field);
      if (!member) return std::unexpected(member.error());
      if (!*member || !json_text_equal(**member, filter->value)) {
        return Examined{std::string(*id), std::nullopt};
      }
    }
    auto document = read_stored_document(cursor_.value(), *id);
    if (!document) return std::unexpected(document.error());
    return Examined{std::string(*id), std::move(*document)};
  }

 private:
  DenWalk(Store::Cursor cursor, std::string prefix)
      : cursor_(std::move(cursor)), prefix_(std::move(prefix)) {}

  Store::Cursor cursor_;
  std::string prefix_;
  mutable std::string decoded_prefix_;  // see document_id_of
};

std::expected<DenWalk, DocError> walk_den(Store& store, std::string_view warren,
                                          std::string_view den) {
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return std::unexpected(prefix.error());
  const std::string start_key = *prefix;
  return DenWalk::start(store, std::move(*prefix), start_key);
}

}  // namespace

bool matches_filter(const Json& document, const std::optional<Filter>& filter) {
  if (!filter) return true;
  if (!document.is_object()) return false;
  const auto& members = *document.get_ptr<const Json::object_t*>();
  const auto found = members.find(filter->field);
  return found != members.end() && json_equal(found->second, filter->value);
}

std::expected<Json, DocError> query_documents(Store& store, std::string_view warren,
                                              std::string_view den,
                                              const std::optional<Filter>& filter) {
  auto walk = walk_den(store, warren, den);
  if (!walk) return std::unexpected(walk.error());
  Json documents = Json::array();
  std::uint64_t examined = 0;
  std::uint64_t matches = 0;
  std::size_t bytes_used = 0;
  bool byte_limited = false;
  bool truncated = false;
  for (;;) {
    auto more = walk->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    // Reaching a limit only truncates when the den still had this record.
    if (examined >= kQueryExaminationLimit || matches >= kQueryResultLimit) {
      truncated = true;
      break;
    }
    auto decoded = walk->examine(filter);
    if (!decoded) return std::unexpected(decoded.error());
    ++examined;
    if (!decoded->match) continue;
    // Dropped documents still count, so the walk stops after as many
    // matches as it would have returned without the byte limit.
    ++matches;
    if (byte_limited) continue;
    const std::size_t size = dump_compact(*decoded->match).size();
    if (size > kQueryByteLimit - bytes_used) {
      byte_limited = true;
      continue;
    }
    bytes_used += size;
    documents.push_back(std::move(*decoded->match));
  }
  return Json{{"documents", std::move(documents)},
              {"examined", examined},
              {"result_limit", static_cast<std::uint64_t>(kQueryResultLimit)},
              {"examination_limit", static_cast<std::uint64_t>(kQueryExaminationLimit)},
              {"byte_limited", byte_limited},
              {"possibly_truncated", byte_limited || truncated}};
}

std::expected<Json, DocError> page_documents(Store& store, std::string_view warren,
                                             std::string_view den, std::uint64_t limit,
                                             const std::optional<std::string>& cursor,
                                             const std::optional<Filter>& filter) {
  if (limit < 1 || limit > kMaxPageSize) return std::unexpected(StoreError::Invalid);
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return std::unexpected(prefix.error());
  std::string start_key = *prefix;
  if (cursor) {
    auto key = document_key(warren, den, *cursor);
    if (!key) return std::unexpected(key.error());
    start_key = std::move(*key);
  }
  auto walk = DenWalk::start(store, std::move(*prefix), start_key);
  if (!walk) return std::unexpected(walk.error());

  Json documents = Json::array();
  std::uint64_t examined = 0;
  std::size_t bytes_used = 0;
  std::optional<std::string> last_id;
  Json next_after = nullptr;
  for (;;) {
    auto more = walk->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    // The page begins strictly after the cursor, whether or not it exists.
    if (cursor && walk->key() == start_key) continue;
    if (documents.size() == limit || examined == kQueryExaminationLimit) {
      next_after = last_id ? Json(*last_id) : Json(nullptr);
      break;
    }
    auto decoded = walk->examine(filter);
    if (!decoded) return std::unexpected(decoded.error());
    ++examined;
    if (!decoded->match) {
      last_id = std::move(decoded->id);
      continue;
    }
    const std::size_t size = dump_compact(*decoded->match).size();
    if (size > kQueryByteLimit) return std::unexpected(StoreError::Full);
    if (size > kQueryByteLimit - bytes_used) {
      // The next page starts with this document.
      next_after = last_id ? Json(*last_id) : Json(nullptr);
      break;
    }
    bytes_used += size;
    documents.push_back(std::move(*decoded->match));
    last_id = std::move(decoded->id);
  }
  return Json{{"documents", std::move(documents)},
              {"next_after", std::move(next_after)},
              {"examined", examined}};
}

std::expected<std::uint64_t, DocError> walk_documents(Store& store, std::string_view warren,
                                                      std::string_view den,
                                                      const std::optional<Filter>& filter,
                                                      std::uint64_t limit,
                                                      const DocumentSink& sink) {
  auto walk = walk_den(store, warren, den);
  if (!walk) return std::unexpected(walk.error());
  std::uint64_t examined = 0;
  std::uint64_t matches = 0;
  while (examined < kQueryExaminationLimit && matches < limit) {
    auto more = walk->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    auto decoded = walk->examine(filter);
    if (!decoded) return std::unexpected(decoded.error());
    ++examined;
    if (!decoded->match) continue;
    ++matches;
    sink(*decoded->match);
  }
  return examined;
}

}  // namespace tovik
