// Writes by filter: update or delete every document of a den that matches
// a QueryFilter, as one commit or not at all.
//
//   - The den is walked once, as it stands in the store (filter_scan.h,
//     no examination limit), and each match is staged into a WriteBatch as
//     it is met: an update is DocumentUpdate applied to the stored document
//     and staged as a put, exactly what WriteBatch::stage does for one
//     WriteKind::Update; a delete stages the document's delete.
//   - The first document that fails fails the whole request with the
//     message "document <id>: <its message>" (a storage error met on the
//     way, corruption included, stays that StoreError), and nothing of it
//     stays staged.
//   - A document the update leaves with the same stored text is counted as
//     matched but not modified, and is not written. When nothing is
//     written, nothing is committed: the generation stays as it was.
//   - There is no limit of 1,024 documents: the convenience forms commit
//     with WriteBatch::commit_bulk, bounded only by the database's capacity
//     (StoreError::Full, with nothing written).
//
// Requires: the caller holds the Store exclusively from the walk to the
// commit. The stage forms read the store's committed documents, not the
// batch's: stage into a batch that holds no writes to this den (a fresh
// one, usually), and commit it with commit_bulk.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "core/store.h"
#include "document/doc_error.h"
#include "document/documents.h"
#include "document/filter.h"
#include "document/json.h"

namespace tovik {

struct UpdateManyResult {
  std::uint64_t matched = 0;
  std::uint64_t modified = 0;  // documents whose stored text changed
  // The store's generation after the commit (update_many); 0 from the
  // stage form, which has not committed.
  std::uint64_t generation = 0;
};

struct DeleteManyResult {
  std::uint64_t deleted = 0;
  std::uint64_t generation = 0;  // as UpdateManyResult's
};

// Stages the update of every match of filter into batch. update is what
// update_document takes (a merge or operators); a refused update fails
// before the walk, with DocumentUpdate::compile's error unchanged.
[[nodiscard]] std::expected<UpdateManyResult, DocError> stage_update_many(
    WriteBatch& batch, Store& store, std::string_view warren, std::string_view den,
    const QueryFilter& filter, const Json& update);

// Stages the delete of every match of filter into batch.
[[nodiscard]] std::expected<DeleteManyResult, DocError> stage_delete_many(
    WriteBatch& batch, Store& store, std::string_view warren, std::string_view den,
    const QueryFilter& filter);

// stage_update_many into a fresh batch (documents of at most
// max_document_bytes), committed with commit_bulk.
[[nodiscard]] std::expected<UpdateManyResult, DocError> update_many(
    Store& store, std::string_view warren, std::string_view den, const QueryFilter& filter,
    const Json& update, std::uint64_t max_document_bytes = kNoDocumentLimit);

// stage_delete_many into a fresh batch, committed with commit_bulk.
[[nodiscard]] std::expected<DeleteManyResult, DocError> delete_many(Store& store,
                                                                    std::string_view warren,
                                                                    std::string_view den,
                                                                    const QueryFilter& filter);

}  // namespace tovik
