// Group commit: document writes from different sessions that wait at the
// same moment share one store commit.
//
//   - Writes queue in arrival order. The first in the queue leads: under
//     the store lock it stages every queued write it can take (up to
//     GroupLimits) into one WriteBatch, each against the state the earlier
//     ones left and each with its own result, commits the batch once, and
//     only then are the writes of the group answered. A write that fails
//     staging fails alone and changes nothing.
//   - A lone writer is not delayed: it leads at once. A group forms only
//     from writes that arrived while the commit before it was running.
//   - If the commit fails, every write of the group that staged gets that
//     failure (the store is poisoned as by any failed commit). If the group
//     does not fit the database, its writes are committed one by one, so
//     each gets the answer it would have had alone.
//   - Reads take the store lock as before; they see committed state only
//     and wait at most for one group's staging and commit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "core/store.h"
#include "server/dispatch.h"
#include "server/protocol.h"

namespace tovik::server {

// A mutex that remembers that a holder failed while holding it, so that
// later holders do not work on state that may be half-changed.
struct GuardedLock {
  std::mutex mutex;
  bool broken = false;
};

struct GroupLimits {
  std::size_t max_writes = 1'024;
  std::uint64_t max_bytes = 4 * 1'024 * 1'024;  // new document text
};

class WriteGroups {
 public:
  // Called by the leader with the store lock held, around each commit (for
  // figures); may be empty.
  using CommitObserver = std::function<void(std::chrono::steady_clock::duration)>;

  WriteGroups(Store& store, GuardedLock& store_lock, std::uint64_t max_document_bytes,
              GroupLimits limits = {}, CommitObserver observer = {})
      : store_(store),
        store_lock_(store_lock),
        max_document_bytes_(max_document_bytes),
        limits_(limits),
        observer_(std::move(observer)) {}

  // Runs one document write of a session (is_document_write) and returns
  // its response once the commit that carries it has returned; nullopt
  // when the store lock is broken (the connection ends without a reply).
  // The session must not change until this returns.
  std::optional<Response> write(const SessionState& session, const Command& command);

  // Writes waiting or being committed right now.
  std::size_t queued();

 private:
  struct Writer;
  // Stages and commits writers taken from the front of the queue; returns
  // how many it took (at least one).
  std::size_t lead(const std::deque<Writer*>& queued);
  void commit_one_by_one(const std::vector<Writer*>& staged);

  Store& store_;
  GuardedLock& store_lock_;
  std::uint64_t max_document_bytes_;
  GroupLimits limits_;
  CommitObserver observer_;
  std::mutex mutex_;  // guards queue_ and every queued Writer's answer
  std::deque<Writer*> queue_;
};

}  // namespace tovik::server
