#include "document/sorted_query.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "document/documents.h"
#include "document/filter_scan.h"
#include "document/keys.h"

namespace tovik {
namespace {

// The best `capacity` positions offered so far, as a heap with the worst
// of them on top, so each offer costs one comparison unless it is kept.
class BestPositions {
 public:
  struct Less {
    const SortOrder* order;
    bool operator()(const SortPosition& a, const SortPosition& b) const {
      return order->compare(a, b) < 0;
    }
  };

  BestPositions(const SortOrder& order, std::size_t capacity)
      : order_(order), capacity_(capacity) {}

  // Copies key and id only when they are kept.
  void offer(const SortKey& key, std::string_view id) {
    ++offered_;
    if (heap_.size() == capacity_) {
      const SortPosition& worst = heap_.front();
      if (order_.compare(key, id, worst.key, worst.id) >= 0) return;
      std::pop_heap(heap_.begin(), heap_.end(), Less{&order_});
      heap_.back().key = key;
      heap_.back().id = id;
    } else {
      heap_.push_back(SortPosition{key, std::string(id)});
    }
    std::push_heap(heap_.begin(), heap_.end(), Less{&order_});
  }

  std::uint64_t offered() const { return offered_; }

  // The kept positions, best first.
  std::vector<SortPosition> take() {
    std::sort_heap(heap_.begin(), heap_.end(), Less{&order_});
    return std::move(heap_);
  }

 private:
  const SortOrder& order_;
  std::size_t capacity_;
  std::uint64_t offered_ = 0;
  std::vector<SortPosition> heap_;
};

// The text a page hands out for the document at a kept position: read
// again by its key (the walk kept no texts), in the compact form,
// projected when asked.
std::expected<std::string, DocError> page_text(Store& store, std::string_view warren,
                                               std::string_view den, std::string_view id,
                                               const Projection* fields) {
  auto key = document_key(warren, den, id);
  if (!key) return std::unexpected(key.error());
  auto value = store.get(*key);
  if (!value) return std::unexpected(value.error());
  // The walk just met it and nothing has committed since.
  if (!*value) return std::unexpected(StoreError::Corrupt);
  std::string rewritten;
  auto text = stored_document_text(**value, id, rewritten);
  if (!text) return std::unexpected(text.error());
  if (fields == nullptr) return std::string(*text);
  auto projected = fields->apply_stored(*text);
  if (!projected) return std::unexpected(projected.error());
  return std::move(*projected);
}

}  // namespace

std::expected<PageResult, DocError> sorted_query_page(
    Store& store, std::string_view warren, std::string_view den, const QueryFilter& filter,
    const SortOrder& sort, const Projection* fields, std::uint64_t skip, std::uint64_t limit,
    const std::optional<std::string>& cursor, std::size_t byte_budget) {
  if (skip > kMaxSkip) return std::unexpected(DocError::message(kSkipOutOfRange));
  if (limit < 1 || limit > kMaxPageSize) {
    return std::unexpected(DocError::message(kSortedLimitOutOfRange));
  }
  std::optional<SortPosition> after;
  if (cursor) {
    auto decoded = sort.decode_cursor(*cursor);
    if (!decoded) return std::unexpected(DocError::message(decoded.error()));
    after = std::move(*decoded);
    skip = 0;
  }

  BestPositions best(sort, skip + limit);
  SortKey key;
  auto examined = scan_matches(
      store, warren, den, filter,
      [&](std::string_view id, std::string_view stored) -> std::expected<void, DocError> {
        if (auto read = sort.key_of_stored(stored, key); !read) {
          return std::unexpected(read.error());
        }
        if (after && sort.compare(key, id, after->key, after->id) <= 0) return {};
        best.offer(key, id);
        return {};
      });
  if (!examined) return std::unexpected(examined.error());

  PageResult page;
  page.examined = *examined;
  std::vector<SortPosition> kept = best.take();
  std::size_t bytes_used = 0;
  bool cut = best.offered() > skip + limit;
  const SortPosition* last = nullptr;
  for (std::size_t i = skip; i < kept.size(); ++i) {
    auto text = page_text(store, warren, den, kept[i].id, fields);
    if (!text) return std::unexpected(text.error());
    if (text->size() > byte_budget) {
      return std::unexpected(DocError::message(kDocumentOverPageBudget));
    }
    if (text->size() > byte_budget - bytes_used) {
      cut = true;  // the next page starts with this document
      break;
    }
    bytes_used += text->size();
    page.documents.push_back(std::move(*text));
    last = &kept[i];
  }
  if (cut && last != nullptr) page.next_after = sort.encode_cursor(*last);
  return page;
}

}  // namespace tovik
