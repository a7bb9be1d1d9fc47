#include "document/queries.h"

#include <utility>

#include "core/utf8.h"
#include "document/documents.h"
#include "document/keys.h"

namespace tovik {
namespace {

// One record of the den: its id and, when it matches the filter, the text
// handed out for it (stored_document_text). Both views are valid until the
// walk moves on.
struct Examined {
  std::string_view id;
  std::optional<std::string_view> match;
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
  std::string_view value() const { return cursor_.value(); }
  // The id of the current record, nullopt when its key does not decode.
  std::optional<std::string_view> id() const {
    return document_id_of(cursor_.key(), decoded_prefix_);
  }

  // Checks the current record as a stored document and tests it against
  // filter. Nothing is built: the record is outlined, and only the filter's
  // member is decoded where its text does not settle the comparison. Only a
  // match stored in another form than the compact one is rewritten.
  std::expected<Examined, StoreError> examine(const std::optional<Filter>& filter) const {
    const auto id = document_id_of(cursor_.key(), decoded_prefix_);
    if (!id) return std::unexpected(StoreError::Corrupt);
    const std::string_view text = cursor_.value();
    if (!filter) {
      auto handed = stored_document_text(text, *id, rewritten_);
      if (!handed) return std::unexpected(handed.error());
      return Examined{*id, *handed};
    }
    bool canonical = false;
    auto member = read_stored_member_text(text, *id, filter->field, &canonical);
    if (!member) return std::unexpected(member.error());
    if (!*member || !json_text_equal(**member, filter->value)) return Examined{*id, std::nullopt};
    if (canonical) return Examined{*id, text};
    auto handed = compact_stored_text(text, rewritten_);
    if (!handed) return std::unexpected(handed.error());
    return Examined{*id, *handed};
  }

 private:
  DenWalk(Store::Cursor cursor, std::string prefix)
      : cursor_(std::move(cursor)), prefix_(std::move(prefix)) {}

  Store::Cursor cursor_;
  std::string prefix_;
  mutable std::string decoded_prefix_;  // see document_id_of
  mutable std::string rewritten_;       // a match's compact form, when not stored so
};

std::expected<DenWalk, DocError> walk_den(Store& store, std::string_view warren,
                                          std::string_view den) {
  auto prefix = collection_prefix(warren, den);
  if (!prefix) return std::unexpected(prefix.error());
  const std::string start_key = *prefix;
  return DenWalk::start(store, std::move(*prefix), start_key);
}

}  // namespace

std::expected<QueryResult, DocError> query_documents(Store& store, std::string_view warren,
                                                     std::string_view den,
                                                     const std::optional<Filter>& filter,
                                                     std::size_t byte_budget) {
  auto walk = walk_den(store, warren, den);
  if (!walk) return std::unexpected(walk.error());
  QueryResult result;
  std::uint64_t matches = 0;
  std::size_t bytes_used = 0;
  for (;;) {
    auto more = walk->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    // Reaching a limit only truncates when the den still had this record.
    if (result.examined >= kQueryExaminationLimit || matches >= kQueryResultLimit) {
      result.truncated = true;
      break;
    }
    auto examined = walk->examine(filter);
    if (!examined) return std::unexpected(examined.error());
    ++result.examined;
    if (!examined->match) continue;
    // Dropped documents still count, so the walk stops after as many
    // matches as it would have returned without the byte limit.
    ++matches;
    if (result.byte_limited) continue;
    const std::size_t size = examined->match->size();
    if (size > byte_budget - bytes_used) {
      result.byte_limited = true;
      result.truncated = true;
      continue;
    }
    bytes_used += size;
    result.documents.emplace_back(*examined->match);
  }
  return result;
}

std::expected<PageResult, DocError> page_documents(Store& store, std::string_view warren,
                                                   std::string_view den, std::uint64_t limit,
                                                   const std::optional<std::string>& cursor,
                                                   const std::optional<Filter>& filter,
                                                   std::size_t byte_budget) {
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

  PageResult page;
  std::size_t bytes_used = 0;
  std::optional<std::string> last_id;
  for (;;) {
    auto more = walk->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    // The page begins strictly after the cursor, whether or not it exists.
    if (cursor && walk->key() == start_key) continue;
    if (page.documents.size() == limit || page.examined == kQueryExaminationLimit) {
      page.next_after = std::move(last_id);
      break;
    }
    auto examined = walk->examine(filter);
    if (!examined) return std::unexpected(examined.error());
    ++page.examined;
    if (examined->match) {
      const std::size_t size = examined->match->size();
      if (size > byte_budget) return std::unexpected(DocError::message(kDocumentOverPageBudget));
      if (size > byte_budget - bytes_used) {
        // The next page starts with this document.
        page.next_after = std::move(last_id);
        break;
      }
      bytes_used += size;
      page.documents.emplace_back(*examined->match);
    }
    last_id = std::string(examined->id);
  }
  return page;
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
    auto record = walk->examine(filter);
    if (!record) return std::unexpected(record.error());
    ++examined;
    if (!record->match) continue;
    ++matches;
    sink(*record->match);
  }
  return examined;
}

namespace {

// The walk of a compiled filter over one den: it seeks to the later of the
// cursor and the filter's lower id bound, passes over a start that is
// excluded, and tells where the filter's id range ends.
class FilterWalk {
 public:
  enum class Step : std::uint8_t { End, PastRange, Record };

  static std::expected<FilterWalk, DocError> start(Store& store, std::string_view warren,
                                                   std::string_view den, const QueryFilter& filter,
                                                   const std::optional<std::string>& cursor) {
    auto prefix = collection_prefix(warren, den);
    if (!prefix) return std::unexpected(prefix.error());
    std::string_view from;
    bool strict = false;
    if (cursor) {
      // As page does: a cursor must be a possible id.
      auto key = document_key(warren, den, *cursor);
      if (!key) return std::unexpected(key.error());
      from = *cursor;
      strict = true;
    }
    if (const auto& bound = filter.id_start(); bound) {
      if (!cursor || bound->id > from) {
        from = bound->id;
        strict = bound->strict;
      } else if (bound->id == from) {
        strict = strict || bound->strict;
      }
    }
    std::string start_key = *prefix;
    start_key += from;
    auto walk = DenWalk::start(store, std::move(*prefix), start_key);
    if (!walk) return std::unexpected(walk.error());
    std::optional<std::string> skip;
    if (strict) skip = std::move(start_key);
    return FilterWalk(std::move(*walk), filter, std::move(skip));
  }

  std::expected<Step, StoreError> next() {
    for (;;) {
      auto more = walk_.next();
      if (!more) return std::unexpected(more.error());
      if (!*more) return Step::End;
      if (skip_ && walk_.key() == *skip_) continue;
      id_ = walk_.id();
      if (!id_) return std::unexpected(StoreError::Corrupt);
      return filter_.past_id_range(*id_) ? Step::PastRange : Step::Record;
    }
  }

  // Requires: next() returned Record.
  std::expected<bool, StoreError> matches() const {
    return filter_.matches_stored(walk_.value(), *id_);
  }
  std::string_view id() const { return *id_; }
  // The filter reads without validating; what is handed out is checked,
  // and given in the compact form (stored_document_text).
  std::expected<std::string_view, StoreError> handed_text() const {
    return stored_document_text(walk_.value(), *id_, rewritten_);
  }

 private:
  FilterWalk(DenWalk walk, const QueryFilter& filter, std::optional<std::string> skip)
      : walk_(std::move(walk)), filter_(filter), skip_(std::move(skip)) {}

  DenWalk walk_;
  const QueryFilter& filter_;
  std::optional<std::string> skip_;
  std::optional<std::string_view> id_;
  mutable std::string rewritten_;
};

}  // namespace

std::expected<PageResult, DocError> query_page(Store& store, std::string_view warren,
                                               std::string_view den, const QueryFilter& filter,
                                               const Projection* fields, std::uint64_t limit,
                                               const std::optional<std::string>& cursor,
                                               std::size_t byte_budget) {
  if (limit < 1 || limit > kMaxPageSize) return std::unexpected(StoreError::Invalid);
  auto walk = FilterWalk::start(store, warren, den, filter, cursor);
  if (!walk) return std::unexpected(walk.error());
  PageResult page;
  std::size_t bytes_used = 0;
  std::optional<std::string> last_id;
  for (;;) {
    auto step = walk->next();
    if (!step) return std::unexpected(step.error());
    if (*step == FilterWalk::Step::End) break;
    if (*step == FilterWalk::Step::PastRange) {
      if (page.examined < kQueryExaminationLimit) ++page.examined;
      break;
    }
    if (page.documents.size() == limit || page.examined == kQueryExaminationLimit) {
      page.next_after = std::move(last_id);
      break;
    }
    auto matched = walk->matches();
    if (!matched) return std::unexpected(matched.error());
    ++page.examined;
    if (*matched) {
      auto text = walk->handed_text();
      if (!text) return std::unexpected(text.error());
      std::string document;
      if (fields != nullptr) {
        auto projected = fields->apply_stored(*text);
        if (!projected) return std::unexpected(projected.error());
        document = std::move(*projected);
      } else {
        document = *text;
      }
      if (document.size() > byte_budget) {
        return std::unexpected(DocError::message(kDocumentOverPageBudget));
      }
      if (document.size() > byte_budget - bytes_used) {
        page.next_after = std::move(last_id);
        break;
      }
      bytes_used += document.size();
      page.documents.push_back(std::move(document));
    }
    last_id = std::string(walk->id());
  }
  return page;
}

std::expected<CountResult, DocError> count_documents(Store& store, std::string_view warren,
                                                     std::string_view den,
                                                     const QueryFilter& filter) {
  auto walk = FilterWalk::start(store, warren, den, filter, std::nullopt);
  if (!walk) return std::unexpected(walk.error());
  CountResult result;
  for (;;) {
    auto step = walk->next();
    if (!step) return std::unexpected(step.error());
    if (*step == FilterWalk::Step::End) break;
    if (*step == FilterWalk::Step::PastRange) {
      if (result.examined < kCountExaminationLimit) ++result.examined;
      break;
    }
    if (result.examined == kCountExaminationLimit) {
      result.complete = false;
      break;
    }
    auto matched = walk->matches();
    if (!matched) return std::unexpected(matched.error());
    ++result.examined;
    if (*matched) ++result.count;
  }
  return result;
}

std::expected<std::uint64_t, DocError> walk_query(Store& store, std::string_view warren,
                                                  std::string_view den, const QueryFilter& filter,
                                                  std::uint64_t limit, const DocumentSink& sink) {
  auto walk = FilterWalk::start(store, warren, den, filter, std::nullopt);
  if (!walk) return std::unexpected(walk.error());
  std::uint64_t examined = 0;
  std::uint64_t matches = 0;
  while (examined < kQueryExaminationLimit && matches < limit) {
    auto step = walk->next();
    if (!step) return std::unexpected(step.error());
    if (*step == FilterWalk::Step::End) break;
    ++examined;
    if (*step == FilterWalk::Step::PastRange) break;
    auto matched = walk->matches();
    if (!matched) return std::unexpected(matched.error());
    if (!*matched) continue;
    auto text = walk->handed_text();
    if (!text) return std::unexpected(text.error());
    ++matches;
    sink(*text);
  }
  return examined;
}

}  // namespace tovik
