// Command execution: runs one decoded Command of an authenticated session
// against the shared store and that session's navigation state.
//
// The result is either the data of a success response or the message of an
// "operation_failed" failure; the caller (the server loop) wraps it. A
// failed command leaves the SessionState as it was: only navigate, use and
// a successful drop_empty change it.
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

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "core/store.h"
#include "document/documents.h"
#include "document/json.h"
#include "document/namespaces.h"
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

// max_document_bytes bounds the stored text that put, insert and update
// may write (a server may allow less than its store holds).
[[nodiscard]] ExecuteResult execute(Store& store, SessionState& session, const Command& command,
                                    std::uint64_t max_document_bytes = kNoDocumentLimit);

// Stages the operations of one write on (warren, den) in order, each seeing
// the ones before it. At the first that fails, everything this call staged
// is rolled back and the failure is "operation <n>: <message>" (n from 1);
// what was staged in batch before the call stays. Commits nothing: the
// caller commits the batch, alone or together with other writes.
[[nodiscard]] std::expected<void, std::string> stage_write_ops(WriteBatch& batch,
                                                               std::string_view warren,
                                                               std::string_view den,
                                                               std::span<const DocumentWrite> ops);

// Wraps an ExecuteResult as the response the server writes: success with
// the data, or "operation_failed" with the message.
Response to_response(const ExecuteResult& result);

}  // namespace tovik::server
