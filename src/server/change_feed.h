// The change feed: what the server's recent commits changed, kept in memory
// for the clients that watch.
//
// The store tells the feed of every commit once it is durable
// (Store::set_commit_observer); the feed keeps one Change per document the
// commit wrote or removed: its generation, warren, den, id, kind and, for a
// put, the stored text. A commit's changes are in key order and numbered
// from 0, so (generation, ordinal) names each one; a document written twice
// within one commit is one change, what the commit left. Markers (creating
// or dropping an empty warren or den) are no changes, but their commits
// still move the feed's generation.
//
// Positions: a reader stands at (after, skip): it has seen every change of
// the generations up to `after`, except that with skip > 0 it has seen only
// the first `skip` changes of `after` itself. A position below `floor` (the
// generation the feed was started at, raised to every generation dropped
// since) can no longer be served; neither can one beyond `latest`.
//
// Bounds: once the feed holds more than FeedLimits allow, the oldest
// generations are dropped whole. Nothing is kept across restarts.
//
// Threads: committed() runs on the committing thread (under the server's
// store lock); read, wait_beyond and figures from any connection thread
// without that lock. One mutex guards the feed; a condition variable wakes
// waiters at every commit and at close().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/store.h"
#include "document/filter.h"

namespace tovik::server {

struct FeedLimits {
  std::size_t max_changes = 100'000;
  std::uint64_t max_bytes = 64 * 1'024 * 1'024;
};

enum class ChangeKind : std::uint8_t { Put, Delete };

struct Change {
  std::uint64_t generation = 0;
  std::uint64_t ordinal = 0;  // its place in its commit, from 0
  bool last_of_commit = false;
  ChangeKind kind = ChangeKind::Put;
  std::string warren;
  std::string den;
  std::string id;
  std::string document;  // the stored text of a put; empty for a delete
};

struct FeedPosition {
  std::uint64_t after = 0;
  std::uint64_t skip = 0;
};

// Where a reader looks: everything, one warren, or one den of it.
struct FeedScope {
  std::optional<std::string> warren;
  std::optional<std::string> den;  // only with a warren
  bool covers(const Change& change) const;
};

// What one read selects, and where the next read goes on from.
struct ChangesPage {
  std::vector<std::shared_ptr<const Change>> changes;
  FeedPosition next;
};

struct FeedFigures {
  std::uint64_t changes = 0;
  std::uint64_t bytes = 0;
  std::uint64_t oldest = 0;  // the floor: the oldest generation one may read after
  std::uint64_t waiting = 0;
};

// What a read asks for beyond its position.
struct FeedSelection {
  FeedScope scope;
  const QueryFilter* filter = nullptr;  // null: every put
  std::size_t limit = 100;
  std::size_t byte_budget = 0;  // of the selected changes' texts; at least one always
};

class ChangeFeed {
 public:
  // `generation`: the store's generation when the feed starts.
  ChangeFeed(std::uint64_t generation, FeedLimits limits);

  // Records a durable commit (the store's observer).
  void committed(std::uint64_t generation, std::span<const Mutation* const> changed);

  // The changes after `from` that the selection takes, oldest first, at
  // most limit of them and within the byte budget (but at least one).
  // Fails with the message a client sees when `from` is out of reach.
  [[nodiscard]] std::expected<ChangesPage, std::string> read(FeedPosition from,
                                                             const FeedSelection& selection);

  // Waits until a commit beyond `generation` arrives (true), or until the
  // deadline passes, the feed closes or `abandon` says so (false). abandon
  // is asked at least every poll interval.
  bool wait_beyond(std::uint64_t generation, std::chrono::steady_clock::time_point deadline,
                   std::chrono::milliseconds poll, const std::function<bool()>& abandon);

  // Ends every wait at once, and every later one before it starts.
  void close();

  std::uint64_t latest();
  FeedFigures figures();

 private:
  [[nodiscard]] std::expected<void, std::string> reachable(FeedPosition at) const;
  void prune();

  FeedLimits limits_;
  std::mutex mutex_;
  std::condition_variable commits_;
  std::deque<std::shared_ptr<const Change>> changes_;
  std::uint64_t bytes_ = 0;
  std::uint64_t floor_ = 0;
  std::uint64_t latest_ = 0;
  std::uint64_t waiting_ = 0;
  bool closed_ = false;
};

// The refusals of a read.
std::string no_longer_available(std::uint64_t after, std::uint64_t oldest);
std::string not_yet_committed(std::uint64_t after, std::uint64_t latest);

}  // namespace tovik::server
