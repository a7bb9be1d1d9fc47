#include "document/filtered_writes.h"

#include <string>
#include <utility>

#include "document/filter_scan.h"
#include "document/update_operators.h"

namespace tovik {
namespace {

// A document's own failure, named by its id; storage errors stay as they
// are, for they are not the document's.
DocError document_failure(std::string_view id, const DocError& error) {
  if (error.is_store() && error.store() != StoreError::Invalid) return error;
  std::string text = "document ";
  text += id;
  text += ": ";
  text += error.text();
  return DocError::message(text);
}

}  // namespace

std::expected<UpdateManyResult, DocError> stage_update_many(WriteBatch& batch, Store& store,
                                                            std::string_view warren,
                                                            std::string_view den,
                                                            const QueryFilter& filter,
                                                            const Json& update) {
  auto compiled = DocumentUpdate::compile(update);
  if (!compiled) return std::unexpected(compiled.error());
  const std::size_t mark = batch.mark();
  UpdateManyResult result;
  auto walked = scan_matches(
      store, warren, den, filter,
      [&](std::string_view id, std::string_view stored) -> std::expected<void, DocError> {
        ++result.matched;
        auto document = read_stored_document(stored, id);
        if (!document) return std::unexpected(document.error());
        if (auto applied = compiled->apply(*document); !applied) {
          return std::unexpected(document_failure(id, applied.error()));
        }
        // Unchanged documents are not written (a rewrite would change
        // nothing but the generation).
        std::string text = dump_compact(*document);
        if (text == stored) return {};
        auto staged = batch.stage_put_text(warren, den, id, std::move(text));
        if (!staged) return std::unexpected(document_failure(id, staged.error()));
        ++result.modified;
        return {};
      });
  if (!walked) {
    batch.rollback(mark);
    return std::unexpected(walked.error());
  }
  return result;
}

std::expected<DeleteManyResult, DocError> stage_delete_many(WriteBatch& batch, Store& store,
                                                            std::string_view warren,
                                                            std::string_view den,
                                                            const QueryFilter& filter) {
  const std::size_t mark = batch.mark();
  DeleteManyResult result;
  auto walked =
      scan_matches(store, warren, den, filter,
                   [&](std::string_view id, std::string_view) -> std::expected<void, DocError> {
                     auto staged = batch.stage(warren, den, WriteKind::Delete, id, Json());
                     if (!staged) return std::unexpected(document_failure(id, staged.error()));
                     ++result.deleted;
                     return {};
                   });
  if (!walked) {
    batch.rollback(mark);
    return std::unexpected(walked.error());
  }
  return result;
}

std::expected<UpdateManyResult, DocError> update_many(Store& store, std::string_view warren,
                                                      std::string_view den,
                                                      const QueryFilter& filter, const Json& update,
                                                      std::uint64_t max_document_bytes) {
  WriteBatch batch(store, max_document_bytes);
  auto result = stage_update_many(batch, store, warren, den, filter, update);
  if (!result) return result;
  if (auto committed = batch.commit_bulk(); !committed) return std::unexpected(committed.error());
  result->generation = store.generation();
  return result;
}

std::expected<DeleteManyResult, DocError> delete_many(Store& store, std::string_view warren,
                                                      std::string_view den,
                                                      const QueryFilter& filter) {
  WriteBatch batch(store);
  auto result = stage_delete_many(batch, store, warren, den, filter);
  if (!result) return result;
  if (auto committed = batch.commit_bulk(); !committed) return std::unexpected(committed.error());
  result->generation = store.generation();
  return result;
}

}  // namespace tovik
