#include "server/write_groups.h"

#include <exception>
#include <utility>
#include <vector>

namespace tovik::server {

struct WriteGroups::Writer {
  const SessionState* session = nullptr;
  const Command* command = nullptr;
  ExecuteResult result;
  std::optional<Response> response;  // nullopt once done: no reply
  bool done = false;
  std::condition_variable wake;
};

namespace {

ExecuteResult failed(StoreError error) {
  return std::unexpected(std::string(store_error_text(error)));
}

}  // namespace

std::optional<Response> WriteGroups::write(const SessionState& session, const Command& command) {
  Writer self;
  self.session = &session;
  self.command = &command;
  std::unique_lock lock(mutex_);
  queue_.push_back(&self);
  while (!self.done && queue_.front() != &self) self.wake.wait(lock);
  if (self.done) return std::move(self.response);

  // This writer leads: it takes what has queued up so far. Writers that
  // arrive from now on queue behind the group and wait for its commit.
  const std::size_t count = std::min(queue_.size(), limits_.max_writes);
  const std::deque<Writer*> candidates(queue_.begin(),
                                       queue_.begin() + static_cast<std::ptrdiff_t>(count));
  lock.unlock();
  const std::size_t taken = lead(candidates);
  lock.lock();
  for (std::size_t i = 0; i < taken; ++i) {
    Writer* writer = queue_.front();
    queue_.pop_front();
    writer->done = true;
    if (writer != &self) writer->wake.notify_one();
  }
  // The next writer in line leads the next group.
  if (!queue_.empty()) queue_.front()->wake.notify_one();
  return std::move(self.response);
}

std::size_t WriteGroups::queued() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t WriteGroups::lead(const std::deque<Writer*>& queued) {
  std::unique_lock lock(store_lock_.mutex);
  const auto end_connections = [&] {
    for (Writer* writer : queued) writer->response.reset();
    return queued.size();
  };
  if (store_lock_.broken) return end_connections();
  try {
    WriteBatch batch(store_, max_document_bytes_);
    std::vector<Writer*> staged;
    std::size_t taken = 0;
    for (Writer* writer : queued) {
      const std::size_t mark = batch.mark();
      ExecuteResult result = stage_document_write(batch, *writer->session, *writer->command);
      // The first write always goes; later ones only while the group stays
      // within its bounds and the store's batch limit.
      if (taken > 0 &&
          (batch.records() > kMaxBatchMutations || batch.staged_bytes() > limits_.max_bytes)) {
        batch.rollback(mark);
        break;
      }
      ++taken;
      if (result) staged.push_back(writer);
      writer->result = std::move(result);
    }
    if (!staged.empty()) {
      const auto started = std::chrono::steady_clock::now();
      auto committed = batch.commit();
      if (observer_) observer_(std::chrono::steady_clock::now() - started);
      if (!committed && committed.error() == StoreError::Full && staged.size() > 1) {
        commit_one_by_one(staged);
      } else if (!committed) {
        for (Writer* writer : staged) writer->result = failed(committed.error());
      } else {
        for (Writer* writer : staged) {
          complete_document_write(*writer->result, *writer->command, store_.generation());
        }
      }
    }
    for (std::size_t i = 0; i < taken; ++i) queued[i]->response = to_response(queued[i]->result);
    return taken;
  } catch (...) {
    store_lock_.broken = true;
    return end_connections();
  }
}

// Each write alone, in order: what it would have been answered without the
// others.
void WriteGroups::commit_one_by_one(const std::vector<Writer*>& staged) {
  for (Writer* writer : staged) {
    WriteBatch batch(store_, max_document_bytes_);
    ExecuteResult result = stage_document_write(batch, *writer->session, *writer->command);
    if (result) {
      const auto started = std::chrono::steady_clock::now();
      auto committed = batch.commit();
      if (observer_) observer_(std::chrono::steady_clock::now() - started);
      if (!committed) {
        result = failed(committed.error());
      } else {
        complete_document_write(*result, *writer->command, store_.generation());
      }
    }
    writer->result = std::move(result);
  }
}

}  // namespace tovik::server
