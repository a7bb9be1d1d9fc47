// Command execution: runs one decoded Command of an authenticated session
// against the shared store and that session's navigation state.
//
// The result is either the data of a success response or the message of an
// "operation_failed" failure; the caller (the server loop) wraps it. A
// failed command leaves the SessionState as it was: only navigate, use and
// a successful drop_empty or drop change it.
//
// Two commands are special for the server loop, which may look at the
// command before calling execute:
//   - auth: the loop handles the first request of a connection itself (it
//     must be auth and is verified there, never here). Inside an
//     authenticated session execute answers any auth with the failure
//     "session is already authenticated"; the session continues.
//   - quit: execute answers {"bye": true}; the loop writes that response
//     and then closes the connection.
//
// Requires: the caller has exclusive use of the store for the whole call
// (the server's store lock). The maximum document size is the store's own
// max_value_len (the server opens its store with that limit). Never throws.
#pragma once

#include <chrono>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/file_system.h"
#include "core/store.h"
#include "document/documents.h"
#include "document/json.h"
#include "document/namespaces.h"
#include "server/change_feed.h"
#include "server/protocol.h"

namespace tovik::server {

// Messages owned by the executor.
inline constexpr std::string_view kSelectCollection = "select a collection with use <collection>";
inline constexpr std::string_view kAlreadyAuthenticated = "session is already authenticated";
inline constexpr std::string_view kInvalidNavigateName =
    "name must be 1-256 bytes with no slash or control characters";
inline constexpr std::string_view kInvalidCollectionName =
    "invalid collection name (1-512 bytes, no NUL)";

inline constexpr std::string_view kWriteNeedsOperations = "write needs at least one operation";
inline constexpr std::string_view kTooManyWriteOperations = "at most 1024 operations in one write";

// Data on success, the failure message otherwise.
using ExecuteResult = std::expected<ResponseData, std::string>;

// What the operator's commands (backup, server) need beyond the store: the
// running server's backup directory (empty: online backup is off), the file
// seam the copy goes through (null: the real one) and the server's current
// figures (empty: no server is running, the command fails).
struct OperatorContext {
  std::string backup_dir;
  FileSystem* file_system = nullptr;
  std::function<ServerFigures()> figures;
};

inline constexpr std::string_view kNoServerStatus = "server status is not available";
inline constexpr std::string_view kNoChangeFeed = "the change feed is not available";
inline constexpr std::string_view kChangesLimitOutOfRange = "limit must be between 1 and 1000";
inline constexpr std::string_view kChangesWaitOutOfRange = "wait_ms must be between 0 and 30000";
inline constexpr std::string_view kChangesSkipNeedsAfter = "skip needs after";
inline constexpr std::string_view kChangesBadAfter =
    "after must be a generation (an integer of 0 or more)";
inline constexpr std::string_view kChangesBadSkip = "skip must be an integer of 0 or more";
inline constexpr std::uint64_t kDefaultChangesLimit = 100;
inline constexpr std::uint64_t kMaxChangesLimit = 1'000;
inline constexpr std::uint64_t kMaxChangesWaitMs = 30'000;

// max_document_bytes bounds the stored text that put, insert, update and
// update_many may write (a server may allow less than its store holds). context may be
// null: as if no server ran.
[[nodiscard]] ExecuteResult execute(Store& store, SessionState& session, const Command& command,
                                    std::uint64_t max_document_bytes = kNoDocumentLimit,
                                    const OperatorContext* context = nullptr);

// The commands that write documents (put, insert, update, delete, write): the ones
// the server may stage together with other sessions' writes and commit as
// one batch. The filtered writes (update_many, delete_many) are not among
// them: they walk the den and commit alone, in bulk, under the store lock.
bool is_document_write(const Command& command);

// Stages a document write of a session into batch, testing the command's
// preconditions first as execute does; the data to answer once the batch
// has committed, or the failure (then nothing of it is staged). execute of
// a document write is stage_document_write into a batch of its own, then
// its commit. Requires: is_document_write(command).
[[nodiscard]] ExecuteResult stage_document_write(WriteBatch& batch, const SessionState& session,
                                                 const Command& command);

// Stages the operations of one write on (warren, den) in order, each seeing
// the ones before it. At the first that fails, everything this call staged
// is rolled back and the failure is "operation <n>: <message>" (n from 1);
// what was staged in batch before the call stays. Commits nothing: the
// caller commits the batch, alone or together with other writes.
[[nodiscard]] std::expected<void, std::string> stage_write_ops(WriteBatch& batch,
                                                               std::string_view warren,
                                                               std::string_view den,
                                                               std::span<const DocumentWrite> ops);

// Completes the answer of a staged document write once its batch has
// committed as `generation` (write answers with the generation it made).
void complete_document_write(ResponseData& data, const Command& command, std::uint64_t generation);

// changes: reads the feed at the session's place (its den, its warren, or
// everything) and, when nothing is there yet, waits for commits up to the
// request's wait_ms, asking `abandon` at least every poll interval whether
// to give up (the server stopping, the client gone). Takes no store lock;
// execute answers it with kNoChangeFeed.
[[nodiscard]] ExecuteResult execute_changes(ChangeFeed& feed, const SessionState& session,
                                            const Changes& command, std::chrono::milliseconds poll,
                                            const std::function<bool()>& abandon);

// Wraps an ExecuteResult as the response the server writes: success with
// the data, or "operation_failed" with the message.
Response to_response(const ExecuteResult& result);

}  // namespace tovik::server
