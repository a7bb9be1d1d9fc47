#include "document/queries.h"

#include <utility>

#include "document/documents.h"
#include "document/keys.h"

namespace tovik {
namespace {

// How a walk reads the records it examines.
enum class Reading : std::uint8_t {
  // find, scan and page: every examined record is checked in full as a
  // stored document, in the same pass that finds the filter's members.
  Checked,
  // query and count: the filter steps over the stored text unchecked, which
  // is what lets them examine ten times as many records; only the documents
  // handed out are checked.
  Stepped,
};

// The one walk of every query over one den, in key order: it seeks to the
// later of the cursor and the filter's lower id bound (records before it
// are never read), passes over a start that is excluded, tells where the
// filter's id range ends, and tests each record with the filter. The first
// key outside the den ends it.
class QueryWalk {
 public:
  enum class Step : std::uint8_t { End, PastRange, Record };

  static std::expected<QueryWalk, DocError> start(Store& store, std::string_view warren,
                                                  std::string_view den, const QueryFilter& filter,
                                                  Reading reading,
                                                  const std::optional<std::string>& cursor) {
    auto prefix = collection_prefix(warren, den);
    if (!prefix) return std::unexpected(prefix.error());
    std::string_view from;
    bool strict = false;
    if (cursor) {
      // A cursor must be a possible id.
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
    if (store.poisoned()) return std::unexpected(StoreError::Poisoned);
    std::string start_key = *prefix;
    start_key += from;
    auto cursor_at = store.scan_from(start_key);
    if (!cursor_at) return std::unexpected(cursor_at.error());
    std::optional<std::string> skip;
    if (strict) skip = std::move(start_key);
    return QueryWalk(std::move(*cursor_at), std::move(*prefix), filter, reading, std::move(skip));
  }

  // Stepped walks decode each key as they meet it, to test the filter's id
  // range; checked walks when they examine the record (their filters have
  // no range), so a limit that ends the walk first leaves it unread.
  std::expected<Step, StoreError> next() {
    for (;;) {
      auto more = cursor_.next();
      if (!more) return std::unexpected(more.error());
      if (!*more || !cursor_.key().starts_with(prefix_)) return Step::End;
      if (skip_ && cursor_.key() == *skip_) continue;
      id_.reset();
      if (reading_ == Reading::Checked) return Step::Record;
      id_ = document_id_of(cursor_.key(), decoded_prefix_);
      if (!id_) return std::unexpected(StoreError::Corrupt);
      return filter_.past_id_range(*id_) ? Step::PastRange : Step::Record;
    }
  }

  // Requires: next() returned Record. Whether the record matches the
  // filter; a checked walk also checks the record here.
  std::expected<bool, StoreError> test() {
    if (!id_) id_ = document_id_of(cursor_.key(), decoded_prefix_);
    if (!id_) return std::unexpected(StoreError::Corrupt);
    if (reading_ == Reading::Stepped) return filter_.matches_stored(cursor_.value(), *id_);
    return filter_.matches_checked(cursor_.value(), *id_, &canonical_);
  }

  // Requires: next() returned Record. test(), and for a match the text
  // handed out for it: the compact form (stored_document_text), valid until
  // the walk moves on. Nothing is built unless a match is stored in another
  // form.
  std::expected<std::optional<std::string_view>, StoreError> examine() {
    auto matched = test();
    if (!matched) return std::unexpected(matched.error());
    if (!*matched) return std::nullopt;
    const std::string_view text = cursor_.value();
    // A stepped walk has read the text unchecked; a checked one knows its form.
    if (reading_ == Reading::Stepped) return stored_document_text(text, *id_, rewritten_);
    if (canonical_) return text;
    return compact_stored_text(text, rewritten_);
  }

  // Requires: examine() succeeded for the current record.
  std::string_view id() const { return *id_; }

 private:
  QueryWalk(Store::Cursor cursor, std::string prefix, const QueryFilter& filter, Reading reading,
            std::optional<std::string> skip)
      : cursor_(std::move(cursor)),
        prefix_(std::move(prefix)),
        filter_(filter),
        reading_(reading),
        skip_(std::move(skip)) {}

  Store::Cursor cursor_;
  std::string prefix_;
  const QueryFilter& filter_;
  Reading reading_;
  std::optional<std::string> skip_;
  std::optional<std::string_view> id_;
  std::string decoded_prefix_;  // see document_id_of
  std::string rewritten_;       // a match's compact form, when not stored so
  bool canonical_ = false;      // checked walks: the record is in the compact form
};

QueryFilter filter_of(const std::optional<Filter>& filter) {
  return filter ? QueryFilter::member_equals(filter->field, filter->value)
                : QueryFilter::everything();
}

// One page: page_documents and query_page.
std::expected<PageResult, DocError> page_of(QueryWalk& walk, const Projection* fields,
                                            std::uint64_t limit, std::size_t byte_budget) {
  PageResult page;
  std::size_t bytes_used = 0;
  std::optional<std::string> last_id;
  for (;;) {
    auto step = walk.next();
    if (!step) return std::unexpected(step.error());
    if (*step == QueryWalk::Step::End) break;
    if (*step == QueryWalk::Step::PastRange) {
      if (page.examined < kQueryExaminationLimit) ++page.examined;
      break;
    }
    if (page.documents.size() == limit || page.examined == kQueryExaminationLimit) {
      page.next_after = std::move(last_id);
      break;
    }
    auto match = walk.examine();
    if (!match) return std::unexpected(match.error());
    ++page.examined;
    if (*match) {
      std::string document;
      if (fields != nullptr) {
        auto projected = fields->apply_stored(**match);
        if (!projected) return std::unexpected(projected.error());
        document = std::move(*projected);
      } else {
        document = **match;
      }
      if (document.size() > byte_budget) {
        return std::unexpected(DocError::message(kDocumentOverPageBudget));
      }
      if (document.size() > byte_budget - bytes_used) {
        // The next page starts with this document.
        page.next_after = std::move(last_id);
        break;
      }
      bytes_used += document.size();
      page.documents.push_back(std::move(document));
    }
    last_id = std::string(walk.id());
  }
  return page;
}

// The offline walks: walk_documents and walk_query.
std::expected<std::uint64_t, DocError> hand_out(QueryWalk& walk, std::uint64_t limit,
                                                const DocumentSink& sink) {
  std::uint64_t examined = 0;
  std::uint64_t matches = 0;
  while (examined < kQueryExaminationLimit && matches < limit) {
    auto step = walk.next();
    if (!step) return std::unexpected(step.error());
    if (*step == QueryWalk::Step::End) break;
    ++examined;
    if (*step == QueryWalk::Step::PastRange) break;
    auto match = walk.examine();
    if (!match) return std::unexpected(match.error());
    if (!*match) continue;
    ++matches;
    sink(**match);
  }
  return examined;
}

}  // namespace

std::expected<QueryResult, DocError> query_documents(Store& store, std::string_view warren,
                                                     std::string_view den,
                                                     const std::optional<Filter>& filter,
                                                     std::size_t byte_budget) {
  const QueryFilter compiled = filter_of(filter);
  auto walk = QueryWalk::start(store, warren, den, compiled, Reading::Checked, std::nullopt);
  if (!walk) return std::unexpected(walk.error());
  QueryResult result;
  std::uint64_t matches = 0;
  std::size_t bytes_used = 0;
  for (;;) {
    auto step = walk->next();
    if (!step) return std::unexpected(step.error());
    if (*step == QueryWalk::Step::End) break;
    // Reaching a limit only truncates when the den still had this record.
    if (result.examined >= kQueryExaminationLimit || matches >= kQueryResultLimit) {
      result.truncated = true;
      break;
    }
    auto match = walk->examine();
    if (!match) return std::unexpected(match.error());
    ++result.examined;
    if (!*match) continue;
    // Dropped documents still count, so the walk stops after as many
    // matches as it would have returned without the byte limit.
    ++matches;
    if (result.byte_limited) continue;
    const std::size_t size = (*match)->size();
    if (size > byte_budget - bytes_used) {
      result.byte_limited = true;
      result.truncated = true;
      continue;
    }
    bytes_used += size;
    result.documents.emplace_back(**match);
  }
  return result;
}

std::expected<PageResult, DocError> page_documents(Store& store, std::string_view warren,
                                                   std::string_view den, std::uint64_t limit,
                                                   const std::optional<std::string>& cursor,
                                                   const std::optional<Filter>& filter,
                                                   std::size_t byte_budget) {
  if (limit < 1 || limit > kMaxPageSize) return std::unexpected(StoreError::Invalid);
  const QueryFilter compiled = filter_of(filter);
  auto walk = QueryWalk::start(store, warren, den, compiled, Reading::Checked, cursor);
  if (!walk) return std::unexpected(walk.error());
  return page_of(*walk, nullptr, limit, byte_budget);
}

std::expected<std::uint64_t, DocError> walk_documents(Store& store, std::string_view warren,
                                                      std::string_view den,
                                                      const std::optional<Filter>& filter,
                                                      std::uint64_t limit,
                                                      const DocumentSink& sink) {
  const QueryFilter compiled = filter_of(filter);
  auto walk = QueryWalk::start(store, warren, den, compiled, Reading::Checked, std::nullopt);
  if (!walk) return std::unexpected(walk.error());
  return hand_out(*walk, limit, sink);
}

std::expected<PageResult, DocError> query_page(Store& store, std::string_view warren,
                                               std::string_view den, const QueryFilter& filter,
                                               const Projection* fields, std::uint64_t limit,
                                               const std::optional<std::string>& cursor,
                                               std::size_t byte_budget) {
  if (limit < 1 || limit > kMaxPageSize) return std::unexpected(StoreError::Invalid);
  auto walk = QueryWalk::start(store, warren, den, filter, Reading::Stepped, cursor);
  if (!walk) return std::unexpected(walk.error());
  return page_of(*walk, fields, limit, byte_budget);
}

std::expected<CountResult, DocError> count_documents(Store& store, std::string_view warren,
                                                     std::string_view den,
                                                     const QueryFilter& filter) {
  auto walk = QueryWalk::start(store, warren, den, filter, Reading::Stepped, std::nullopt);
  if (!walk) return std::unexpected(walk.error());
  CountResult result;
  for (;;) {
    auto step = walk->next();
    if (!step) return std::unexpected(step.error());
    if (*step == QueryWalk::Step::End) break;
    if (*step == QueryWalk::Step::PastRange) {
      if (result.examined < kCountExaminationLimit) ++result.examined;
      break;
    }
    if (result.examined == kCountExaminationLimit) {
      result.complete = false;
      break;
    }
    auto matched = walk->test();
    if (!matched) return std::unexpected(matched.error());
    ++result.examined;
    if (*matched) ++result.count;
  }
  return result;
}

std::expected<std::uint64_t, DocError> walk_query(Store& store, std::string_view warren,
                                                  std::string_view den, const QueryFilter& filter,
                                                  std::uint64_t limit, const DocumentSink& sink) {
  auto walk = QueryWalk::start(store, warren, den, filter, Reading::Stepped, std::nullopt);
  if (!walk) return std::unexpected(walk.error());
  return hand_out(*walk, limit, sink);
}

}  // namespace tovik
