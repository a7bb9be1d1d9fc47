#include "server/change_feed.h"

#include <algorithm>
#include <utility>

#include "document/keys.h"

namespace tovik::server {

namespace {

// What one change costs the feed beyond its texts: the Change itself, its
// shared owner's control block and the deque's slot, rounded up.
constexpr std::uint64_t kChangeOverhead = 192;

// A read takes this many changes at a time under the feed's mutex, then
// tests them without it, so a long read never holds up a commit for long.
constexpr std::size_t kReadChunk = 256;

std::uint64_t cost(const Change& change) {
  return kChangeOverhead + change.warren.size() + change.den.size() + change.id.size() +
         change.document.size();
}

// Whether a reader at `at` has seen the change.
bool seen(const Change& change, FeedPosition at) {
  if (change.generation != at.after) return change.generation < at.after;
  return at.skip == 0 || change.ordinal < at.skip;
}

// The position just after the change.
FeedPosition after_change(const Change& change) {
  if (change.last_of_commit) return FeedPosition{change.generation, 0};
  return FeedPosition{change.generation, change.ordinal + 1};
}

bool selected(const Change& change, const FeedSelection& selection) {
  if (!selection.scope.covers(change)) return false;
  if (change.kind == ChangeKind::Delete || selection.filter == nullptr) return true;
  auto matches = selection.filter->matches_stored(change.document, change.id);
  return matches && *matches;
}

}  // namespace

bool FeedScope::covers(const Change& change) const {
  if (!warren) return true;
  if (change.warren != *warren) return false;
  return !den || change.den == *den;
}

std::string no_longer_available(std::uint64_t after, std::uint64_t oldest) {
  return "changes after generation " + std::to_string(after) +
         " are no longer available; the oldest is " + std::to_string(oldest);
}

std::string not_yet_committed(std::uint64_t after, std::uint64_t latest) {
  return "changes after generation " + std::to_string(after) +
         " are not available yet; the current generation is " + std::to_string(latest);
}

ChangeFeed::ChangeFeed(std::uint64_t generation, FeedLimits limits)
    : limits_(limits), floor_(generation), latest_(generation) {}

void ChangeFeed::committed(std::uint64_t generation, std::span<const Mutation* const> changed) {
  std::vector<std::shared_ptr<Change>> made;
  made.reserve(changed.size());
  for (const Mutation* mutation : changed) {
    if (is_marker_key(mutation->key)) continue;
    auto name = decode_document_key(mutation->key);
    if (!name) continue;
    auto change = std::make_shared<Change>();
    change->generation = generation;
    change->ordinal = made.size();
    change->kind = mutation->value ? ChangeKind::Put : ChangeKind::Delete;
    change->warren = std::move(name->warren);
    change->den = std::move(name->den);
    change->id = std::move(name->id);
    if (mutation->value) change->document = *mutation->value;
    made.push_back(std::move(change));
  }
  if (!made.empty()) made.back()->last_of_commit = true;
  {
    std::lock_guard lock(mutex_);
    for (auto& change : made) {
      bytes_ += cost(*change);
      changes_.push_back(std::move(change));
    }
    latest_ = generation;
    prune();
  }
  commits_.notify_all();
}

// Whole generations, oldest first, until the feed is within its bounds.
void ChangeFeed::prune() {
  while (!changes_.empty() &&
         (changes_.size() > limits_.max_changes || bytes_ > limits_.max_bytes)) {
    const std::uint64_t generation = changes_.front()->generation;
    while (!changes_.empty() && changes_.front()->generation == generation) {
      bytes_ -= cost(*changes_.front());
      changes_.pop_front();
    }
    floor_ = std::max(floor_, generation);
  }
}

std::expected<void, std::string> ChangeFeed::reachable(FeedPosition at) const {
  if (at.after > latest_) return std::unexpected(not_yet_committed(at.after, latest_));
  if (at.after < floor_ || (at.after == floor_ && at.skip > 0)) {
    return std::unexpected(no_longer_available(at.after, floor_));
  }
  return {};
}

std::expected<ChangesPage, std::string> ChangeFeed::read(FeedPosition from,
                                                         const FeedSelection& selection) {
  ChangesPage page;
  FeedPosition at = from;
  std::size_t bytes = 0;
  while (true) {
    std::vector<std::shared_ptr<const Change>> chunk;
    bool to_end = false;
    std::uint64_t latest = 0;
    {
      std::lock_guard lock(mutex_);
      if (auto ok = reachable(at); !ok) return std::unexpected(std::move(ok.error()));
      auto next = std::partition_point(
          changes_.begin(), changes_.end(),
          [at](const std::shared_ptr<const Change>& change) { return seen(*change, at); });
      const auto count =
          std::min<std::ptrdiff_t>(changes_.end() - next, static_cast<std::ptrdiff_t>(kReadChunk));
      chunk.assign(next, next + count);
      to_end = next + count == changes_.end();
      latest = latest_;
    }
    for (const auto& change : chunk) {
      if (selected(*change, selection)) {
        const std::size_t size = cost(*change);
        if (!page.changes.empty() && bytes + size > selection.byte_budget) {
          page.next = at;
          return page;
        }
        page.changes.push_back(change);
        bytes += size;
      }
      at = after_change(*change);
      if (page.changes.size() >= selection.limit) {
        page.next = at;
        return page;
      }
    }
    if (to_end) {
      page.next = FeedPosition{latest, 0};
      return page;
    }
  }
}

bool ChangeFeed::wait_beyond(std::uint64_t generation,
                             std::chrono::steady_clock::time_point deadline,
                             std::chrono::milliseconds poll, const std::function<bool()>& abandon) {
  std::unique_lock lock(mutex_);
  ++waiting_;
  bool arrived = false;
  while (true) {
    if (latest_ > generation) {
      arrived = true;
      break;
    }
    const auto now = std::chrono::steady_clock::now();
    if (closed_ || now >= deadline) break;
    commits_.wait_until(lock, std::min(deadline, now + poll));
    if (latest_ <= generation && !closed_ && abandon && abandon()) break;
  }
  --waiting_;
  return arrived;
}

void ChangeFeed::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  commits_.notify_all();
}

std::uint64_t ChangeFeed::latest() {
  std::lock_guard lock(mutex_);
  return latest_;
}

FeedFigures ChangeFeed::figures() {
  std::lock_guard lock(mutex_);
  return FeedFigures{changes_.size(), bytes_, floor_, waiting_};
}

}  // namespace tovik::server
